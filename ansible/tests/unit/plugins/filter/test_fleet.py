from __future__ import absolute_import, division, print_function
__metaclass__ = type

import csv
import io
import json
import os
import sys

import pytest

from ansible.errors import AnsibleFilterError
from ansible_collections.zarvik.firmware.plugins.filter.fleet import fleet_report, sha256sums

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(__file__)), 'modules'))
from fake_zarvik import FILES as A_FILES, history_record, listed  # noqa: E402  pylint: disable=wrong-import-position

H1 = '0495c91d18a8d3fac9e97182af70d1d14389fe7e9b7980c7853f46d77ebd061a'
H2 = '38C0389918D50D0BC60E07969E19BBC8655736A72B8C16A9DE8DDD73BE21E9E2'

# (name, SHA256SUMS text, what it gives, or None when it is refused)
SUMS = [
    ('text and binary lines', '%s  Main-2.4.bin\n%s *fonts.xbf\n' % (H1, H2),
     {'Main-2.4.bin': H1, 'fonts.xbf': H2.lower()}),
    ('a byte order mark, Windows line ends, blank lines, ./', '\ufeff%s  ./Main.bin\r\n\r\n\n' % H1, {'Main.bin': H1}),
    ('names with blanks and an escaped backslash', '%s  my file.bin\n\\%s  a\\\\b.xbf\n' % (H1, H1),
     {'my file.bin': H1, 'a\\b.xbf': H1}),
    ('the same name twice with one checksum', '%s  a.bin\n%s  a.bin\n' % (H1, H1), {'a.bin': H1}),
    ('the same name with two', '%s  a.bin\n%s  a.bin\n' % (H1, H2), None),
    ('a comment', '# made by hand\n%s  a.bin\n' % H1, None),
    ('the tagged form', 'SHA256 (a.bin) = %s\n' % H1, None),
    ('a short checksum', '%s  a.bin\n' % H1[:63], None),
    ('one blank only', '%s a.bin\n' % H1, None),
]


@pytest.mark.parametrize('name,text,expected', SUMS, ids=[s[0] for s in SUMS])
def test_sha256sums(name, text, expected):
    if expected is None:
        with pytest.raises(AnsibleFilterError):
            sha256sums(text)
    else:
        assert sha256sums(text) == expected


A = listed('FARM-A', 5, '1-1.1')
B = listed('FARM-B', 6, '1-1.2')
GONE = listed('FARM-G', 9, '1-3')
OTHER = listed('OTHER', 7, '1-2', target=False)


def info(printers, history):
    return {'changed': False, 'printers': printers, 'history': history}


def test_the_report_has_a_row_per_printer_and_per_host_that_has_none():
    hostvars = {
        'farm-1': {
            'zarvik_printers': info([A, B, OTHER], [
                history_record(B, outcome='failed'),
                history_record(A),
                history_record(GONE),  # on this host before, no longer attached
                history_record(B),
            ]),
            'zarvik_update': {'printers': [{'serial': 'FARM-A', 'printer': '1:5', 'outcome': 'already_installed'},
                                           {'serial': 'FARM-B', 'printer': '1:6', 'outcome': 'failed'}]},
        },
        'farm-2': {'zarvik_printers': info([], [])},
        'farm-3': {'zarvik_printers': {'failed': True, 'msg': 'cannot run zarvik'}},
        'farm-4': {},
    }
    release = {'name': 'orbrey-2.4', 'sums': {'Main-2.4.bin': H1}}
    report = fleet_report(hostvars, ['farm-1', 'farm-2', 'farm-3', 'farm-4'], release)
    as_json = json.loads(report['json'])
    rows = [(r['host'], r['serial'], r['port'], r['attached'], r['outcome'], r['rollout']) for r in as_json['printers']]
    assert rows == [
        ('farm-1', 'FARM-A', '1-1.1', True, 'updated', 'already_installed'),
        ('farm-1', 'FARM-B', '1-1.2', True, 'failed', 'failed'),  # its newest record, not the older success
        ('farm-1', 'FARM-G', '1-3', False, 'updated', None),
        ('farm-2', None, None, None, 'no printer attached', None),
        ('farm-3', None, None, None, 'printers not read', None),
        ('farm-4', None, None, None, 'not reached', None),
    ]
    a = as_json['printers'][0]
    assert a['when'] == '2026-12-10T09:40:15.123Z'
    assert [(f['name'], f['sha256'], f['state']) for f in a['files']] == \
        [(f['name'], f['sha256'], 'installed') for f in A_FILES]
    assert as_json['printers'][1]['message'] == 'printer execute command failure'
    assert as_json['release'] == {'name': 'orbrey-2.4', 'sha256': {'Main-2.4.bin': H1}}
    # The CSV: the same rows, one line per file.
    lines = list(csv.DictReader(io.StringIO(report['csv'])))
    assert len(lines) == 2 + 2 + 2 + 3
    assert [(x['host'], x['serial'], x['file'], x['file_state']) for x in lines[2:4]] == \
        [('farm-1', 'FARM-B', 'orbrey.bin', 'installed'), ('farm-1', 'FARM-B', 'fonts.xbf', 'not_installed')]
    assert lines[0]['sha256'] == A_FILES[0]['sha256'] and lines[0]['attached'] == 'true'
    assert (lines[-1]['host'], lines[-1]['outcome'], lines[-1]['file']) == ('farm-4', 'not reached', '')


def test_a_printer_without_serial_is_no_history_match():
    nameless = listed('', 5, '1-1')
    report = json.loads(fleet_report({'h': {'zarvik_printers': info([nameless], [history_record(nameless)])}},
                                     ['h'])['json'])
    assert [(r['serial'], r['outcome']) for r in report['printers']] == [('', 'no update recorded')]

