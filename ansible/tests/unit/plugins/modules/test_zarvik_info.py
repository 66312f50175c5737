from __future__ import absolute_import, division, print_function
__metaclass__ = type

import pytest

from ansible_collections.zarvik.firmware.plugins.modules import zarvik_info

from fake_zarvik import Zarvik, history_record, list_event, listed, run_error, run_module

A = listed('FARM-A', 5, '1-1.1')
B = listed('FARM-B', 6, '1-1.2')


@pytest.fixture
def zarvik(tmp_path):
    return Zarvik(tmp_path)


def info(zarvik, monkeypatch, **args):
    args['executable'] = zarvik.path
    return run_module(zarvik_info.main, monkeypatch, args, check_mode=True)


def test_each_printer_with_its_newest_record(zarvik, monkeypatch):
    newer = dict(history_record(A, outcome='failed'), started='2026-12-11T08:00:00.000Z')
    zarvik.answer([
        {'match': ['list'], 'rc': 0, 'events': [list_event(A, B)]},
        {'match': ['history'], 'rc': 0, 'events': [newer, history_record(A)]},
    ])
    failed, result = info(zarvik, monkeypatch, history='/h.sqlite', since='2026-12-01')
    assert not failed and not result['changed']
    assert [(p['serial'], p['last'] and p['last']['outcome']) for p in result['printers']] == \
        [('FARM-A', 'failed'), ('FARM-B', None)]
    assert [r['outcome'] for r in result['history']] == ['failed', 'updated']
    assert 'event' not in result['history'][0]
    assert zarvik.calls()[1] == ['history', '--json', '--history', '/h.sqlite', '--since', '2026-12-01']


def test_several_serials_read_one_by_one_newest_first(zarvik, monkeypatch):
    later_b = dict(history_record(B), started='2026-12-11T08:00:00.000Z')
    zarvik.answer([
        {'match': ['list'], 'rc': 3, 'events': [list_event()]},
        {'match': ['history', 'FARM-A'], 'rc': 0, 'events': [history_record(A)]},
        {'match': ['history', 'FARM-B'], 'rc': 0, 'events': [later_b]},
    ])
    failed, result = info(zarvik, monkeypatch, serials=['FARM-A', 'FARM-B'])
    assert not failed and result['printers'] == []  # none attached is no failure
    assert [r['serial'] for r in result['history']] == ['FARM-B', 'FARM-A']


def test_a_history_that_cannot_be_read_fails(zarvik, monkeypatch):
    zarvik.answer([
        {'match': ['list'], 'rc': 0, 'events': [list_event(A)]},
        {'match': ['history'], 'rc': 1, 'events': [run_error(1, 'the history /h.sqlite is not a database')]},
    ])
    failed, result = info(zarvik, monkeypatch)
    assert failed and 'not a database' in result['msg']
