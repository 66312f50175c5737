#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: 2026 Zarvik

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: zarvik_info
short_description: The printers attached to a host and their update history
version_added: "1.0.0"
description:
  - Lists the supported printers attached to the host (C(zarvik list --json)) and reads the
    host's update history (C(zarvik history --json)), which printer received which files, when,
    and how it ended.
  - A printer cannot be asked which firmware it holds; the history is what this host's zarvik
    recorded. An update made by the window, by another account or on another host is not in it.
  - Nothing is sent to any printer; the module runs the same in check mode.
extends_documentation_fragment:
  - ansible.builtin.action_common_attributes
attributes:
  check_mode:
    support: full
    details: Reads only, and so runs in check mode too.
  diff_mode:
    support: none
  platform:
    platforms: posix
options:
  serials:
    description:
      - Only the history of the printers with these serial numbers.
    type: list
    elements: str
  since:
    description:
      - Only the history from this day or time on, in UTC (C(2026-12-09), C(2026-12-09 23:12)), as
        C(zarvik history --since) takes it.
    type: str
  executable:
    description:
      - The C(zarvik) program. By default C(zarvik) on the host's C(PATH).
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
seealso:
  - module: zarvik.firmware.zarvik_update
author:
  - Zarvik firmware team (@zarvik)
'''

EXAMPLES = r'''
- name: Which printer holds what
  zarvik.firmware.zarvik_info:
  register: printers

- name: Show each attached printer's last update
  ansible.builtin.debug:
    msg: "{{ item.serial }}: {{ item.last.outcome | default('no update recorded') }}"
  loop: "{{ printers.printers }}"

- name: The history of one printer this year
  zarvik.firmware.zarvik_info:
    serials: [FARM-A]
    since: "2026-01-01"
'''

RETURN = r'''
printers:
  description: The supported printers attached (C(zarvik list --json)), each with its newest record.
  returned: always
  type: list
  elements: dict
  contains:
    printer:
      description: Bus and address.
      type: str
      sample: "1:5"
    port:
      description: The port path it is plugged in at, or null when it is not known.
      type: str
      sample: "1-1.4"
    serial:
      description: Its serial number (empty when it has none).
      type: str
    target:
      description: Whether it is the model zarvik updates.
      type: bool
    open_error:
      description: Why it could not be opened (C(access denied), ...), or null.
      type: str
    last:
      description: Its newest record in the history (as in I(history)), or null.
      type: dict
  sample: [{"printer": "1:5", "bus": 1, "address": 5, "port": "1-1.1", "vendor_id": "2c7e",
            "product_id": "4201", "manufacturer": "Edvin Halvenn Tool Corporation",
            "product": "Halvenn Orbrey 3D Printer", "serial": "FARM-A", "target": true,
            "open_error": null, "last": null}]
history:
  description:
    - The history's records, newest first, one per printer and run, as C(zarvik history --json)
      gives them, C(event) left out.
    - Each has C(started), C(ended), C(printer), C(port_path), C(serial), C(vendor_id),
      C(product_id), C(outcome) (updated, failed, stopped, interrupted, running, unknown),
      C(files) (each with C(local), C(name), C(size), C(sha256) and C(state)), C(code),
      C(code_name), C(message), C(detail), C(log) and C(run).
  returned: always
  type: list
  elements: dict
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.zarvik.firmware.plugins.module_utils import zarvik as z


def record_of(event):
    return dict((k, v) for k, v in event.items() if k != 'event')


def main():
    module = AnsibleModule(
        argument_spec=dict(
            serials=dict(type='list', elements='str'),
            since=dict(type='str'),
            executable=dict(type='path'),
            history=dict(type='path'),
        ),
        supports_check_mode=True,
    )
    p = module.params
    executable = p['executable'] or module.get_bin_path('zarvik', required=True)
    try:
        attached, _ = z.list_printers(executable)
        if p['serials']:
            records = []
            for serial in p['serials']:
                records += z.read_history(executable, p['history'], serial, p['since'])[0]
            records.sort(key=lambda r: r['started'], reverse=True)
        else:
            records = z.read_history(executable, p['history'], since=p['since'])[0]
    except z.ZarvikError as e:
        module.fail_json(msg=str(e))
    printers = []
    for printer in attached:
        entry = dict(printer)
        last = z.last_record(records, printer)
        entry['last'] = record_of(last) if last else None
        printers.append(entry)
    module.exit_json(changed=False, printers=printers, history=[record_of(r) for r in records])


if __name__ == '__main__':
    main()
