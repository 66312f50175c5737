# -*- coding: utf-8 -*-
# Copyright: 2026 Zarvik
# What the collection's modules share: running zarvik with --json and
# reading its events.
#
# zarvik writes one JSON object a line; docs/zarvik-events.schema.json in the
# zarvik repository is the contract.  The collection reads only what that
# schema promises: the fields each event always carries (EVENT_FIELDS) and,
# where it looks for more, the optional ones the schema names
# (OPTIONAL_FIELDS).  An event of a kind it does not know is passed over, so
# that a newer zarvik with more events does not break this collection.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json
import subprocess
import threading

# Per event (or part of one, "event.part"), the fields read that it always
# carries.
EVENT_FIELDS = {
    'list': ('printers',),
    'list.printer': ('printer', 'serial', 'port', 'target', 'open_error'),
    'plan': ('files', 'total_bytes', 'checksum_list', 'printers'),
    'plan.file': ('local', 'name', 'size', 'sha256'),
    'plan.printer': ('printer', 'serial', 'port'),
    'error': ('message',),
    'done': ('printer', 'serial', 'port', 'succeed', 'installed', 'may_have_been_taken_up', 'not_installed'),
    'left_alone': ('printer', 'serial', 'port', 'reason'),
    'history_error': ('history', 'message'),
    'history': ('started', 'ended', 'printer', 'port_path', 'serial', 'vendor_id', 'product_id', 'outcome', 'files',
                'code', 'code_name', 'message', 'detail', 'log', 'run'),
    'history.file': ('local', 'name', 'size', 'sha256', 'state'),
}

# The fields read only where they are there.
OPTIONAL_FIELDS = {
    'error': ('exit_status', 'printer', 'code', 'code_name', 'file', 'detail'),
}

# zarvik's exit statuses.
EXIT_UPDATED = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_NO_PRINTER = 3
EXIT_ERROR = 4

# What the history says of a file.
FILE_INSTALLED = 'installed'
# Of a printer's update.
HISTORY_UPDATED = 'updated'

# A printer's outcome, as the modules return it.
UPDATED = 'updated'
FAILED = 'failed'
ALREADY_INSTALLED = 'already_installed'
ABSENT = 'absent'
WOULD_UPDATE = 'would_update'


class ZarvikError(Exception):
    """zarvik could not be run, or wrote something that is not its events."""


class Run(object):
    """One run of zarvik: its command, exit status, events and messages."""

    def __init__(self, cmd, rc, events, stderr):
        self.cmd = cmd
        self.rc = rc
        self.events = events
        self.stderr = stderr

    def of_kind(self, kind):
        return [e for e in self.events if e['event'] == kind]

    def first(self, kind):
        found = self.of_kind(kind)
        return found[0] if found else None

    def run_error(self):
        """The error event that ended the run early, or None."""
        for event in self.of_kind('error'):
            if 'exit_status' in event:
                return event
        return None

    def summary(self):
        return {'cmd': self.cmd, 'rc': self.rc, 'stderr_lines': self.stderr.splitlines()}


def read_events(stdout):
    """The events of zarvik's standard output, one JSON object a line."""
    events = []
    for number, line in enumerate(stdout.splitlines(), 1):
        if not line.strip():
            continue
        try:
            event = json.loads(line)
        except ValueError:
            raise ZarvikError("line %d of zarvik's output is not JSON: %s" % (number, line[:200]))
        if not isinstance(event, dict) or not isinstance(event.get('event'), str):
            raise ZarvikError("line %d of zarvik's output is not an event: %s" % (number, line[:200]))
        events.append(event)
    return events


def _text(data):
    return data.decode('utf-8', errors='replace') if isinstance(data, bytes) else data


def run_many(cmds):
    """Runs the commands at the same time, each to its end; their Runs, in order.

    Each is one printer's update: none waits for another."""
    results = [None] * len(cmds)

    def one(index, cmd):
        try:
            process = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE)
            out, err = process.communicate()
            results[index] = (process.returncode, _text(out), _text(err))
        except OSError as e:
            results[index] = e

    threads = [threading.Thread(target=one, args=(i, cmd)) for i, cmd in enumerate(cmds)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    runs = []
    for cmd, result in zip(cmds, results):
        if isinstance(result, OSError):
            raise ZarvikError('cannot run %s: %s' % (cmd[0], result))
        rc, out, err = result
        runs.append(Run(cmd, rc, read_events(out), err))
    return runs


def run_one(cmd):
    return run_many([cmd])[0]


def failure_text(run, what):
    """What went wrong in a run: its error event, or else its last message."""
    error = run.run_error()
    if error is not None:
        text = error['message']
        if error.get('detail'):
            text += ': ' + error['detail']
        if error.get('file'):
            text += ' (' + error['file'] + ')'
        return '%s: %s' % (what, text)
    lines = [line for line in run.stderr.splitlines() if line.strip()]
    return '%s ended with status %d%s' % (what, run.rc, (': ' + lines[-1]) if lines else '')


def list_printers(executable):
    """The attached supported printers (the list event's entries) and the Run.

    No printer attached is no error here (zarvik's status 3)."""
    run = run_one([executable, 'list', '--json'])
    listed = run.first('list')
    if listed is None or run.rc not in (EXIT_UPDATED, EXIT_NO_PRINTER):
        raise ZarvikError(failure_text(run, 'zarvik list'))
    return listed['printers'], run


def plan_folder(executable, firmware):
    """The plan event of the folder (None when zarvik refuses it) and the Run."""
    run = run_one([executable, 'plan', '--firmware', firmware, '--json'])
    return (run.first('plan') if run.rc == EXIT_UPDATED else None), run


def history_args(history):
    return ['--history', history] if history else []


def read_history(executable, history=None, serial=None, since=None):
    """The history's records (history events), newest first, and the Run."""
    cmd = [executable, 'history', '--json'] + history_args(history)
    if serial is not None:
        cmd += ['--serial', serial]
    if since:
        cmd += ['--since', since]
    run = run_one(cmd)
    if run.rc != EXIT_UPDATED:
        raise ZarvikError(failure_text(run, 'zarvik history'))
    return run.of_kind('history'), run


def last_record(records, printer):
    """The newest record of this printer (by its serial and ids), or None."""
    if not printer['serial']:
        return None
    for r in records:
        if (r['serial'], r['vendor_id'], r['product_id']) == (printer['serial'], printer['vendor_id'],
                                                               printer['product_id']):
            return r
    return None


def installed_exactly(record, plan_files):
    """Whether the record is a finished update that installed exactly the
    plan: every name on the printer with its SHA-256, whatever the local
    names.  zarvik update --skip-installed leaves such a printer alone."""
    if record is None or record['outcome'] != HISTORY_UPDATED:
        return False
    if any(f['state'] != FILE_INSTALLED for f in record['files']):
        return False
    return sorted((f['name'], f['sha256']) for f in record['files']) == \
        sorted((f['name'], f['sha256']) for f in plan_files)


def history_time(utc):
    """'2026-12-10T09:40:15.123Z' as zarvik shows it: '2026-12-10 09:40:15 UTC'."""
    return utc[:10] + ' ' + utc[11:19] + ' UTC' if utc else utc


def plan_result(plan_event):
    """The plan as the modules return it."""
    if plan_event is None:
        return None
    return {
        'files': [{'name': f['name'], 'local': f['local'], 'size': f['size'], 'sha256': f['sha256']}
                  for f in plan_event['files']],
        'total_bytes': plan_event['total_bytes'],
        'checksum_list': plan_event['checksum_list'],
    }


def error_of(event):
    """A printer's error, as the modules return it."""
    return {
        'message': event['message'],
        'code': event.get('code'),
        'code_name': event.get('code_name'),
        'file': event.get('file'),
        'detail': event.get('detail'),
    }


def printer_entry(printer, serial, port, outcome, not_installed=()):
    return {
        'printer': printer,
        'serial': serial,
        'port': port,
        'outcome': outcome,
        'installed': [],
        'may_have_been_taken_up': [],
        'not_installed': list(not_installed),
        'error': None,
        'reason': None,
    }


def printers_of_update(run):
    """Each printer's outcome in an update run, in the order of its plan.

    A printer of the plan that has no done event (the run ended early) is
    failed with every file not installed; a printer left alone (its history
    shows the plan installed) comes after them."""
    plan_event = run.first('plan')
    if plan_event is None:
        return []
    files = [f['name'] for f in plan_event['files']]
    entries = {}
    order = []
    for p in plan_event['printers']:
        entries[p['printer']] = printer_entry(p['printer'], p['serial'], p['port'], FAILED, files)
        order.append(p['printer'])
    for event in run.events:
        if event['event'] == 'error' and event.get('printer') in entries:
            entries[event['printer']]['error'] = error_of(event)
        elif event['event'] == 'left_alone':
            entry = printer_entry(event['printer'], event['serial'], event['port'], ALREADY_INSTALLED)
            entry['reason'] = event['reason']
            entries[event['printer']] = entry
            order.append(event['printer'])
        elif event['event'] == 'done' and event['printer'] in entries:
            entry = entries[event['printer']]
            entry['outcome'] = UPDATED if event['succeed'] else FAILED
            for key in ('installed', 'may_have_been_taken_up', 'not_installed'):
                entry[key] = list(event[key])
    return [entries[p] for p in order]
