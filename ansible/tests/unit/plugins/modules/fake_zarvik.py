from __future__ import absolute_import, division, print_function
__metaclass__ = type

"""A zarvik that answers from a script, and the modules run in-process.

The script is a list of answers, each {"match": [ARG, ...], "rc": N,
"events": [...], "stderr": TEXT}: the first whose every ARG is among the
arguments is the answer.  Every call is written to the calls file.  The
events of each answer are checked against zarvik's schema
(docs/zarvik-events.schema.json) before they are used, so that the modules
are tested on what zarvik may write and nothing else.
"""

import json
import os

import jsonschema
import pytest

from ansible.module_utils import basic
from ansible.module_utils.common import warnings
from ansible.module_utils.common.text.converters import to_bytes

_repo = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..', '..', '..', '..'))
SCHEMA_PATH = os.path.join(_repo, 'docs', 'zarvik-events.schema.json')

with open(SCHEMA_PATH) as _f:
    SCHEMA = json.load(_f)
_validator = jsonschema.Draft202012Validator(SCHEMA)

PROGRAM = r'''#!/usr/bin/python3
import json, os, sys
here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(here, 'calls.jsonl'), 'a') as f:
    f.write(json.dumps(sys.argv[1:]) + '\n')
with open(os.path.join(here, 'script.json')) as f:
    script = json.load(f)
for answer in script:
    if all(a in sys.argv[1:] for a in answer['match']):
        for event in answer.get('events', []):
            sys.stdout.write(event if isinstance(event, str) else json.dumps(event))
            sys.stdout.write('\n')
        sys.stderr.write(answer.get('stderr', ''))
        sys.exit(answer['rc'])
sys.stderr.write('fake zarvik: no answer for %r\n' % sys.argv[1:])
sys.exit(99)
'''


def checked(event):
    """The event, once the schema says zarvik may write it."""
    errors = list(_validator.iter_errors(event))
    assert not errors, 'not an event zarvik writes: %s: %s' % (event, [e.message for e in errors])
    return event


class Zarvik:
    def __init__(self, folder):
        self.folder = str(folder)
        self.path = os.path.join(self.folder, 'zarvik')
        with open(self.path, 'w') as f:
            f.write(PROGRAM)
        os.chmod(self.path, 0o755)
        self.answer([])

    def answer(self, script):
        for answer in script:
            for event in answer.get('events', []):
                if not isinstance(event, str):
                    checked(event)
        with open(os.path.join(self.folder, 'script.json'), 'w') as f:
            json.dump(script, f)

    def calls(self):
        try:
            with open(os.path.join(self.folder, 'calls.jsonl')) as f:
                return [json.loads(line) for line in f]
        except FileNotFoundError:
            return []


class Exit(Exception):
    def __init__(self, failed, result):
        Exception.__init__(self, result.get('msg'))
        self.failed = failed
        self.result = result


def run_module(main, monkeypatch, args, check_mode=False):
    """Runs a module's main with the arguments: (failed, result)."""
    args = dict(args, _ansible_check_mode=check_mode, _ansible_remote_tmp='/tmp', _ansible_keep_remote_files=False)
    monkeypatch.setattr(basic, '_ANSIBLE_ARGS', to_bytes(json.dumps({'ANSIBLE_MODULE_ARGS': args})))

    monkeypatch.setattr(warnings, '_global_warnings', [])

    def exit_json(self, **result):
        result['warnings'] = list(warnings.get_warning_messages())
        raise Exit(False, result)

    def fail_json(self, msg, **result):
        result['msg'] = msg
        result['warnings'] = list(warnings.get_warning_messages())
        raise Exit(True, result)

    monkeypatch.setattr(basic.AnsibleModule, 'exit_json', exit_json)
    monkeypatch.setattr(basic.AnsibleModule, 'fail_json', fail_json)
    with pytest.raises(Exit) as end:
        main()
    # What a module returns goes to the controller as JSON.
    json.dumps(end.value.result)
    return end.value.failed, end.value.result


# Events as zarvik writes them.

def listed(serial, address, port, target=True, open_error=None):
    return {'printer': '1:%d' % address, 'bus': 1, 'address': address, 'port': port, 'vendor_id': '2c7e',
            'product_id': '4201' if target else '4203', 'manufacturer': 'Edvin Halvenn Tool Corporation',
            'product': 'Halvenn Orbrey 3D Printer', 'serial': serial, 'target': target, 'open_error': open_error}


FILES = [
    {'local': '/fw/Main-2.4.bin', 'name': 'orbrey.bin', 'size': 70000, 'sha256': 'a' * 64},
    {'local': '/fw/fonts.xbf', 'name': 'fonts.xbf', 'size': 9000, 'sha256': 'b' * 64},
]


def list_event(*printers):
    return {'event': 'list', 'printers': list(printers)}


def plan_event(*printers):
    return {'event': 'plan', 'files': FILES, 'total_bytes': 79000, 'checksum_list': '/fw/SHA256SUMS',
            'skipped': [{'name': 'SHA256SUMS', 'reason': 'the checksum list, checked and never sent'}],
            'printers': [{'printer': p['printer'], 'serial': p['serial'], 'port': p['port']} for p in printers]}


def done_event(p, installed=2, maybe=False):
    names = [f['name'] for f in FILES]
    return {'event': 'done', 'printer': p['printer'], 'serial': p['serial'], 'port': p['port'],
            'succeed': installed == len(names), 'installed': names[:installed],
            'may_have_been_taken_up': names[installed:installed + 1] if maybe else [],
            'not_installed': names[installed + 1 if maybe else installed:]}


def printer_error(p, message='device disconnected', code=10, code_name='COM_ERR_DISCONNECTED', file='fonts.xbf'):
    return {'event': 'error', 'printer': p['printer'], 'serial': p['serial'], 'port': p['port'],
            'message': message, 'code': code, 'code_name': code_name, 'file': file}


def run_error(status, message, **more):
    return dict({'event': 'error', 'exit_status': status, 'message': message}, **more)




def left_alone(p, when='2026-12-10 09:40:15 UTC'):
    return {'event': 'left_alone', 'printer': p['printer'], 'serial': p['serial'], 'port': p['port'],
            'reason': 'already has these files, installed ' + when}


def history_record(p, outcome='updated', files=FILES, product_id='4201', ended='2026-12-10T09:40:15.123Z'):
    """One printer's record, as zarvik history gives it."""
    done = outcome == 'updated'
    return {
        'event': 'history', 'started': '2026-12-10T09:40:14.001Z', 'ended': ended if outcome != 'interrupted' else None,
        'printer': p['printer'], 'bus': p['bus'], 'address': p['address'], 'port_path': p['port'],
        'serial': p['serial'], 'vendor_id': '2c7e', 'product_id': product_id, 'outcome': outcome,
        'reached': files[-1]['name'],
        'files': [{'local': f['local'].rsplit('/', 1)[1], 'name': f['name'], 'size': f['size'], 'sha256': f['sha256'],
                   'state': 'installed' if done or i == 0 else 'not_installed'} for i, f in enumerate(files)],
        'code': None if done else 13, 'code_name': None if done else 'COM_ERR_COMMAND',
        'message': None if done else 'printer execute command failure', 'detail': None,
        'log': '/var/log/zarvik/1-5/libcom-2026-12-10_9-40-14.log',
        'run': {'id': 1, 'started': '2026-12-10T09:40:14.000Z', 'ended': ended if outcome != 'interrupted' else None,
                'host': 'printhost', 'account': 'root', 'pid': 4242, 'tool_version': '1.1.0',
                'command': 'zarvik update --firmware /fw --all --json', 'firmware': '/fw',
                'exit_status': 0 if done else 1},
    }
