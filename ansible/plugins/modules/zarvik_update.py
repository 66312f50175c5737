#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: 2026 Zarvik

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: zarvik_update
short_description: Update the firmware of the Halvenn Orbrey 3D printers attached to a host
version_added: "1.0.0"
description:
  - Installs a firmware folder on the printers attached to the host by USB, with the host's
    C(zarvik) program (C(zarvik update --json)), every chosen printer at the same time.
  - Every file of the folder is checked before any printer is taken (its SHA-256 against the
    folder's C(SHA256SUMS) when there is one); a folder that fails the check fails the task
    and nothing is sent.
  - The task is C(changed) only when a file was installed on a printer. It fails when a printer
    failed, and, unless I(allow_absent) is set, when no target printer is attached or a printer
    asked for by I(serials) or I(ports) is not.
  - With I(skip_installed) (the default) a printer whose history shows this very plan installed
    and taken up, with nothing after it, is left alone, so that a second run changes nothing.
    The history is the host's own; an update made by the window, by another account or on
    another host is not in it.
  - In check mode the module lists the printers (C(zarvik list)), plans the folder
    (C(zarvik plan)) and reads the history, and reports what an update would do. Nothing is
    sent to any printer.
extends_documentation_fragment:
  - ansible.builtin.action_common_attributes
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
  platform:
    platforms: posix
options:
  firmware:
    description:
      - The firmware folder on the host, as C(zarvik update --firmware) takes it.
    type: path
    required: true
  serials:
    description:
      - Update the printers with these serial numbers only.
      - Without I(serials) and I(ports), every attached target printer is updated.
    type: list
    elements: str
  ports:
    description:
      - Update the printers plugged in at these port paths only (C(1-1.4), as C(zarvik list)
        shows them).
    type: list
    elements: str
  skip_installed:
    description:
      - Leave alone a printer whose history shows that it already has exactly these files.
    type: bool
    default: true
  allow_absent:
    description:
      - Succeed, without a change, when no target printer is attached, or when a printer asked
        for by I(serials) or I(ports) is not attached (it is returned with the outcome
        C(absent)).
    type: bool
    default: false
  executable:
    description:
      - The C(zarvik) program. By default C(zarvik) on the host's C(PATH).
    type: path
  log_dir:
    description:
      - The folder of the update logs (C(zarvik update --log)); with several printers chosen by
        I(serials) or I(ports), each gets a folder of its own in it.
      - By default zarvik's own place (C(/var/log/zarvik) for root).
    type: path
  history:
    description:
      - The history file (C(zarvik --history)). By default zarvik's own
        (C(/var/lib/zarvik/history.sqlite) for root).
    type: path
requirements:
  - zarvik 1.1.0 or later on the host, with the history and port paths
notes:
  - The events read are the ones docs/zarvik-events.schema.json of zarvik promises.
  - An update of the main image completes when the printer is restarted; the module does not
    restart printers.
seealso:
  - module: zarvik.firmware.zarvik_info
author:
  - Zarvik firmware team (@zarvik)
'''

EXAMPLES = r'''
- name: Update every printer of the host
  zarvik.firmware.zarvik_update:
    firmware: /var/lib/zarvik/firmware/orbrey-2.4

- name: Update two printers, known by their serials
  zarvik.firmware.zarvik_update:
    firmware: /var/lib/zarvik/firmware/orbrey-2.4
    serials: [FARM-A, FARM-B]

- name: Update the printer at the host's first port, even if its history says it has the files
  zarvik.firmware.zarvik_update:
    firmware: /var/lib/zarvik/firmware/orbrey-2.4
    ports: ["1-1.1"]
    skip_installed: false

- name: What would change, nothing sent
  zarvik.firmware.zarvik_update:
    firmware: /var/lib/zarvik/firmware/orbrey-2.4
  check_mode: true
  register: would
'''

RETURN = r'''
msg:
  description: What became of the printers, in a few words.
  returned: always
  type: str
  sample: "2 printers: 1 updated, 1 already had these files"
printers:
  description: Each chosen printer and its outcome.
  returned: always
  type: list
  elements: dict
  contains:
    printer:
      description: Bus and address, as C(zarvik list) shows them; null for an absent printer.
      type: str
      sample: "1:5"
    serial:
      description: The printer's serial number (empty when it has none).
      type: str
      sample: FARM-A
    port:
      description: The port path the printer is plugged in at, or null when it is not known.
      type: str
      sample: "1-1.4"
    outcome:
      description:
        - C(updated), C(failed), C(already_installed) (left alone, its history shows these files),
          C(absent) (asked for, not attached); in check mode C(would_update).
      type: str
      sample: updated
    installed:
      description: The files installed and taken up, by their names on the printer.
      type: list
      elements: str
      sample: [orbrey.bin, fonts.xbf]
    may_have_been_taken_up:
      description: A file whose install failed after the printer was asked to take it up.
      type: list
      elements: str
    not_installed:
      description: The files of the plan not installed.
      type: list
      elements: str
    error:
      description: The printer's failure (message, code, code_name, file, detail), or null.
      type: dict
    reason:
      description: For C(already_installed), zarvik's reason, with when the history says the files were
        installed.
      type: str
      sample: "already has these files, installed 2026-12-10 09:40:15 UTC"
plan:
  description: The firmware folder's plan; null when zarvik refused the folder.
  returned: always
  type: dict
  contains:
    files:
      description: Each file to install, in order, with its local path, name on the printer, size
        and SHA-256.
      type: list
      elements: dict
    total_bytes:
      description: The bytes of all files.
      type: int
    checksum_list:
      description: The folder's C(SHA256SUMS) the files were checked against, or null.
      type: str
runs:
  description: Each run of zarvik, with its command, exit status and messages.
  returned: always
  type: list
  elements: dict
  sample: [{"cmd": ["zarvik", "update", "--firmware", "/fw", "--json", "--all"], "rc": 0, "stderr_lines": []}]
'''

import re

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.zarvik.firmware.plugins.module_utils import zarvik as z


def choices_of(params):
    """(kind, value) for each printer asked for, or None for every one."""
    if params['serials']:
        return [('serial', s) for s in params['serials']]
    if params['ports']:
        return [('port', p) for p in params['ports']]
    return None


def folder_name(kind, value):
    return kind + '-' + re.sub(r'[^A-Za-z0-9._-]', '_', value)


def describe(printers):
    counts = {}
    for p in printers:
        counts[p['outcome']] = counts.get(p['outcome'], 0) + 1
    words = [
        (z.UPDATED, 'updated'),
        (z.WOULD_UPDATE, 'would be updated'),
        (z.ALREADY_INSTALLED, 'already had these files'),
        (z.FAILED, 'failed'),
        (z.ABSENT, 'not attached'),
    ]
    parts = ['%d %s' % (counts[o], text) for o, text in words if counts.get(o)]
    return '%d printer%s: %s' % (len(printers), '' if len(printers) == 1 else 's', ', '.join(parts))


class Update(object):
    def __init__(self, module, executable):
        self.module = module
        self.params = module.params
        self.executable = executable
        self.printers = []
        self.problems = []
        self.plan = None
        self.runs = []
        self.none_attached = False
        self.warnings = []

    def update_args(self, log_dir):
        p = self.params
        args = [self.executable, 'update', '--firmware', p['firmware'], '--json']
        if p['skip_installed']:
            args.append('--skip-installed')
        if log_dir:
            args += ['--log', log_dir]
        if p['history']:
            args += ['--history', p['history']]
        return args

    def update(self):
        choices = choices_of(self.params)
        log_dir = self.params['log_dir']
        if choices is None:
            cmds = [self.update_args(log_dir) + ['--all']]
        else:
            cmds = []
            for kind, value in choices:
                own_log = log_dir + '/' + folder_name(kind, value) if log_dir and len(choices) > 1 else log_dir
                cmds.append(self.update_args(own_log) + ['--' + kind, value])
        runs = z.run_many(cmds)
        self.runs = runs
        for i, run in enumerate(runs):
            for event in run.of_kind('history_error'):
                self.warn('the history %s cannot be used (%s): every printer was updated' %
                          (event['history'], event['message']))
            if self.plan is None:
                self.plan = z.plan_result(run.first('plan'))
            self.printers.extend(z.printers_of_update(run))
            error = run.run_error()
            if error is not None and run.rc == z.EXIT_NO_PRINTER:
                if choices is None:
                    self.none_attached = True
                else:
                    kind, value = choices[i]
                    self.printers.append(z.printer_entry(None, value if kind == 'serial' else '',
                                                         value if kind == 'port' else None, z.ABSENT))
            elif error is not None or run.rc not in (z.EXIT_UPDATED, z.EXIT_FAILED):
                self.problem(z.failure_text(run, 'zarvik update'))

    def check(self):
        attached, list_run = z.list_printers(self.executable)
        plan_event, plan_run = z.plan_folder(self.executable, self.params['firmware'])
        self.runs = [list_run, plan_run]
        if plan_event is None:
            self.problem(z.failure_text(plan_run, 'zarvik plan'))
            return
        self.plan = z.plan_result(plan_event)
        files = [f['name'] for f in self.plan['files']]
        targets = [p for p in attached if p['target']]
        choices = choices_of(self.params)
        chosen = []
        if choices is None:
            chosen = targets
            self.none_attached = not chosen
        for kind, value in choices or []:
            found = [p for p in targets if p[kind] == value]
            if not found:
                self.printers.append(z.printer_entry(None, value if kind == 'serial' else '',
                                                     value if kind == 'port' else None, z.ABSENT))
            elif len(found) > 1:
                self.problem('several printers carry the %s %s' % (kind, value))
            else:
                chosen.append(found[0])
        last = self.last_records(chosen)
        for p in chosen:
            entry = z.printer_entry(p['printer'], p['serial'], p['port'], z.WOULD_UPDATE, files)
            record = last.get(p['printer'])
            if z.installed_exactly(record, self.plan['files']):
                entry.update(outcome=z.ALREADY_INSTALLED, not_installed=[],
                             reason='already has these files, installed ' + z.history_time(record['ended']))
            elif p['open_error'] is not None:
                entry['outcome'] = z.FAILED
                entry['error'] = {'message': 'the printer cannot be opened: ' + p['open_error'], 'code': None,
                                  'code_name': None, 'file': None, 'detail': None}
            self.printers.append(entry)

    def last_records(self, chosen):
        """With skip_installed, each chosen printer's newest record, by its place."""
        with_serial = [p for p in chosen if p['serial']]
        if not self.params['skip_installed'] or not with_serial:
            return {}
        cmds = [[self.executable, 'history', '--json'] + z.history_args(self.params['history']) +
                ['--serial', p['serial']] for p in with_serial]
        last = {}
        for p, run in zip(with_serial, z.run_many(cmds)):
            self.runs.append(run)
            if run.rc != z.EXIT_UPDATED:
                self.warn(z.failure_text(run, 'zarvik history') + ': counted as a printer to update')
                continue
            last[p['printer']] = z.last_record(run.of_kind('history'), p)
        return last

    def warn(self, text):
        if text not in self.warnings:
            self.warnings.append(text)

    def problem(self, text):
        if text not in self.problems:
            self.problems.append(text)

    def result(self):
        changed = any(p['installed'] for p in self.printers) or \
            any(p['outcome'] == z.WOULD_UPDATE for p in self.printers)
        failed = [p for p in self.printers if p['outcome'] == z.FAILED]
        absent = [p for p in self.printers if p['outcome'] == z.ABSENT]
        reasons = list(self.problems)
        for p in failed:
            who = p['serial'] or p['port'] or p['printer']
            reasons.append('%s: %s' % (who, p['error']['message'] if p['error'] else 'failed'))
        if not self.params['allow_absent']:
            for p in absent:
                reasons.append('%s is not attached' % (p['serial'] or p['port']))
        if self.printers:
            summary = [describe(self.printers)]
        elif self.none_attached:
            summary = ['no target printer attached']
        else:
            summary = []
        msg = '; '.join(summary + reasons)
        if self.none_attached and not self.params['allow_absent']:
            reasons.append('no target printer attached')
        return dict(changed=changed, msg=msg, printers=self.printers, plan=self.plan,
                    runs=[r.summary() for r in self.runs]), bool(reasons)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            firmware=dict(type='path', required=True),
            serials=dict(type='list', elements='str'),
            ports=dict(type='list', elements='str'),
            skip_installed=dict(type='bool', default=True),
            allow_absent=dict(type='bool', default=False),
            executable=dict(type='path'),
            log_dir=dict(type='path'),
            history=dict(type='path'),
        ),
        mutually_exclusive=[('serials', 'ports')],
        supports_check_mode=True,
    )
    executable = module.params['executable'] or module.get_bin_path('zarvik', required=True)
    job = Update(module, executable)
    try:
        if module.check_mode:
            job.check()
        else:
            job.update()
    except z.ZarvikError as e:
        module.fail_json(msg=str(e), changed=False, printers=job.printers, plan=job.plan,
                         runs=[r.summary() for r in job.runs])
    for text in job.warnings:
        module.warn(text)
    result, failed = job.result()
    if failed:
        module.fail_json(**result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
