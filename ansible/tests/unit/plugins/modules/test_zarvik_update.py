from __future__ import absolute_import, division, print_function
__metaclass__ = type

import pytest

from ansible_collections.zarvik.firmware.plugins.module_utils import zarvik as z
from ansible_collections.zarvik.firmware.plugins.modules import zarvik_update

from fake_zarvik import (FILES, SCHEMA, Zarvik, done_event, history_record, left_alone, list_event, listed,
                         plan_event, printer_error, run_error, run_module)

A = listed('FARM-A', 5, '1-1.1')
B = listed('FARM-B', 6, '1-1.2')
OTHER = listed('OTHER', 7, '1-2', target=False)

NO_PRINTER = run_error(3, 'no Halvenn Orbrey 3D Printer attached', printers=[])


def absent_serial(serial):
    return run_error(3, 'no Halvenn Orbrey 3D Printer with the serial ' + serial, printers=[A])


@pytest.fixture
def zarvik(tmp_path):
    return Zarvik(tmp_path)


def update(zarvik, monkeypatch, check_mode=False, **args):
    args.setdefault('firmware', '/fw')
    args['executable'] = zarvik.path
    return run_module(zarvik_update.main, monkeypatch, args, check_mode)


def outcomes(result):
    return [(p['serial'], p['outcome']) for p in result['printers']]


# (name, module arguments, zarvik's answers, failed, changed, outcomes, words of msg)
UPDATES = [
    ('every printer updated', {},
     [{'match': ['--all'], 'rc': 0, 'events': [plan_event(A, B), done_event(B), done_event(A)]}],
     False, True, [('FARM-A', 'updated'), ('FARM-B', 'updated')], '2 printers: 2 updated'),
    ('one fails after its first file: failed, and changed', {},
     [{'match': ['--all'], 'rc': 1,
       'events': [plan_event(A, B), done_event(A), printer_error(B), done_event(B, installed=1, maybe=True)]}],
     True, True, [('FARM-A', 'updated'), ('FARM-B', 'failed')], 'FARM-B: device disconnected'),
    ('a printer fails before any file: failed, unchanged', {},
     [{'match': ['--all'], 'rc': 1,
       'events': [plan_event(A), printer_error(A, 'connect to printer failure', 5, 'COM_ERR_CONNECT', 'orbrey.bin'),
                  done_event(A, installed=0)]}],
     True, False, [('FARM-A', 'failed')], 'connect to printer failure'),
    ('the run ends before its done events: the printers failed', {},
     [{'match': ['--all'], 'rc': 4, 'events': [plan_event(A)], 'stderr': 'zarvik: unexpected error: boom\n'}],
     True, False, [('FARM-A', 'failed')], 'unexpected error: boom'),
    ('one left alone, one updated: changed', {},
     [{'match': ['--all'], 'rc': 0, 'events': [plan_event(B), left_alone(A), done_event(B)]}],
     False, True, [('FARM-B', 'updated'), ('FARM-A', 'already_installed')], '1 updated, 1 already had these files'),
    ('every one left alone: unchanged', {},
     [{'match': ['--all'], 'rc': 0, 'events': [plan_event(), left_alone(A), left_alone(B)]}],
     False, False, [('FARM-A', 'already_installed'), ('FARM-B', 'already_installed')], '2 already had these files'),
    ('no printer attached', {},
     [{'match': ['--all'], 'rc': 3, 'events': [NO_PRINTER]}],
     True, False, [], 'no target printer attached'),
    ('no printer attached, allowed', {'allow_absent': True},
     [{'match': ['--all'], 'rc': 3, 'events': [NO_PRINTER]}],
     False, False, [], 'no target printer attached'),
    ('by serial, one absent', {'serials': ['FARM-A', 'GONE']},
     [{'match': ['FARM-A'], 'rc': 0, 'events': [plan_event(A), done_event(A)]},
      {'match': ['GONE'], 'rc': 3, 'events': [absent_serial('GONE')]}],
     True, True, [('FARM-A', 'updated'), ('GONE', 'absent')], 'GONE is not attached'),
    ('by serial, one absent, allowed', {'serials': ['FARM-A', 'GONE'], 'allow_absent': True},
     [{'match': ['FARM-A'], 'rc': 0, 'events': [plan_event(A), done_event(A)]},
      {'match': ['GONE'], 'rc': 3, 'events': [absent_serial('GONE')]}],
     False, True, [('FARM-A', 'updated'), ('GONE', 'absent')], '1 not attached'),
    ('the folder refused: nothing sent', {},
     [{'match': ['--all'], 'rc': 1,
       'events': [run_error(1, 'open or access file failure', code=14, code_name='COM_ERR_FILE',
                            file='/fw/Main-2.4.bin', detail='checksum mismatch')]}],
     True, False, [], 'open or access file failure: checksum mismatch'),
    ('output that is not zarvik\'s events', {},
     [{'match': ['--all'], 'rc': 0, 'events': ['Using libusb v1.0.26']}],
     True, False, [], 'not JSON'),
]


@pytest.mark.parametrize('name,args,script,failed,changed,expected,words', UPDATES, ids=[u[0] for u in UPDATES])
def test_update(zarvik, monkeypatch, name, args, script, failed, changed, expected, words):
    zarvik.answer(script)
    is_failed, result = update(zarvik, monkeypatch, **args)
    assert (is_failed, result['changed']) == (failed, changed), result['msg']
    assert outcomes(result) == expected
    assert words in result['msg']
    assert all(c[0] == 'update' for c in zarvik.calls())


def test_a_failed_printer_keeps_its_files_and_error(zarvik, monkeypatch):
    zarvik.answer([{'match': ['--all'], 'rc': 1,
                    'events': [plan_event(B), printer_error(B), done_event(B, installed=1, maybe=True)]}])
    _, result = update(zarvik, monkeypatch)
    b = result['printers'][0]
    assert (b['printer'], b['port']) == ('1:6', '1-1.2')
    assert (b['installed'], b['may_have_been_taken_up'], b['not_installed']) == (['orbrey.bin'], ['fonts.xbf'], [])
    assert b['error'] == {'message': 'device disconnected', 'code': 10, 'code_name': 'COM_ERR_DISCONNECTED',
                          'file': 'fonts.xbf', 'detail': None}
    assert [f['name'] for f in result['plan']['files']] == ['orbrey.bin', 'fonts.xbf']


def test_a_history_that_cannot_be_written_is_a_warning(zarvik, monkeypatch):
    zarvik.answer([{'match': ['--all'], 'rc': 0, 'events': [
        plan_event(A), {'event': 'history_error', 'history': '/h.sqlite', 'message': 'not a database'}, done_event(A)]}])
    failed, result = update(zarvik, monkeypatch)
    assert not failed and result['changed']
    assert any('/h.sqlite' in w and 'not a database' in w for w in result['warnings'])


def test_the_command_lines(zarvik, monkeypatch):
    zarvik.answer([{'match': [], 'rc': 0, 'events': [plan_event(A), done_event(A)]}])
    update(zarvik, monkeypatch, log_dir='/logs', history='/h.sqlite')
    update(zarvik, monkeypatch, ports=['1-1.1', '1-1.2'], log_dir='/logs', skip_installed=False)
    update(zarvik, monkeypatch, serials=['FARM-A'], log_dir='/logs')
    calls = zarvik.calls()
    assert calls[0] == ['update', '--firmware', '/fw', '--json', '--skip-installed', '--log', '/logs',
                        '--history', '/h.sqlite', '--all']
    # One zarvik per printer chosen, at the same time, each with a log folder of its own.
    assert sorted(calls[1:3]) == [
        ['update', '--firmware', '/fw', '--json', '--log', '/logs/port-1-1.1', '--port', '1-1.1'],
        ['update', '--firmware', '/fw', '--json', '--log', '/logs/port-1-1.2', '--port', '1-1.2'],
    ]
    assert calls[3] == ['update', '--firmware', '/fw', '--json', '--skip-installed', '--log', '/logs',
                        '--serial', 'FARM-A']


LIST_AND_PLAN = [
    {'match': ['list'], 'rc': 0, 'events': [list_event(A, B, OTHER)]},
    {'match': ['plan'], 'rc': 0, 'events': [plan_event()]},
]

# (name, module arguments, zarvik's answers, failed, changed, outcomes)
CHECKS = [
    ('every target would be updated, the other model left out', {}, LIST_AND_PLAN,
     False, True, [('FARM-A', 'would_update'), ('FARM-B', 'would_update')]),
    ('by port', {'ports': ['1-1.2']}, LIST_AND_PLAN, False, True, [('FARM-B', 'would_update')]),
    ('a serial not attached', {'serials': ['FARM-A', 'GONE']}, LIST_AND_PLAN,
     True, True, [('GONE', 'absent'), ('FARM-A', 'would_update')]),
    ('the other model is no target', {'serials': ['OTHER']}, LIST_AND_PLAN, True, False, [('OTHER', 'absent')]),
    ('none attached', {}, [{'match': ['list'], 'rc': 3, 'events': [list_event()]}] + LIST_AND_PLAN[1:],
     True, False, []),
    ('a printer that cannot be opened would fail', {},
     [{'match': ['list'], 'rc': 0, 'events': [list_event(listed('', 5, '1-1', open_error='access denied'))]}]
     + LIST_AND_PLAN[1:], True, False, [('', 'failed')]),
    ('the folder refused', {},
     LIST_AND_PLAN[:1] + [{'match': ['plan'], 'rc': 1,
                           'events': [run_error(1, 'no firmware available.', folder='/fw')]}],
     True, False, []),
]


OTHER_FILES = [dict(f, sha256='c' * 64) if f['name'] == 'fonts.xbf' else f for f in FILES]


def history_answer(serial, *records):
    return {'match': ['history', serial], 'rc': 0, 'events': list(records)}


# (name, each printer's history, outcomes): which printers skip_installed would
# leave alone, as zarvik update --skip-installed does.
PREDICTIONS = [
    ('the plan installed: left alone', [history_record(A), history_record(B, files=FILES[::-1])],
     [('FARM-A', 'already_installed'), ('FARM-B', 'already_installed')]),
    ('a failed run after it: updated again',
     [history_record(A, outcome='failed'), history_record(A), history_record(B)],
     [('FARM-A', 'would_update'), ('FARM-B', 'already_installed')]),
    ('another file, or another SHA-256: updated', [history_record(A, files=FILES[:1]),
                                                   history_record(B, files=OTHER_FILES)],
     [('FARM-A', 'would_update'), ('FARM-B', 'would_update')]),
    ('interrupted, or another model with the serial: updated',
     [history_record(A, outcome='interrupted'), history_record(B, product_id='4203')],
     [('FARM-A', 'would_update'), ('FARM-B', 'would_update')]),
    ('no record: updated', [], [('FARM-A', 'would_update'), ('FARM-B', 'would_update')]),
]


@pytest.mark.parametrize('name,records,expected', PREDICTIONS, ids=[p[0] for p in PREDICTIONS])
def test_check_mode_tells_what_skip_installed_leaves_alone(zarvik, monkeypatch, name, records, expected):
    zarvik.answer(LIST_AND_PLAN + [
        history_answer(serial, *[r for r in records if r['serial'] == serial]) for serial in ('FARM-A', 'FARM-B')])
    failed, result = update(zarvik, monkeypatch, check_mode=True, history='/h.sqlite')
    assert not failed
    assert outcomes(result) == expected
    assert result['changed'] == any(o == 'would_update' for _, o in expected)
    assert ['history', '--json', '--history', '/h.sqlite', '--serial', 'FARM-A'] in zarvik.calls()
    assert {c[0] for c in zarvik.calls()} == {'list', 'plan', 'history'}


def test_check_mode_without_skip_installed_reads_no_history(zarvik, monkeypatch):
    zarvik.answer(LIST_AND_PLAN)
    update(zarvik, monkeypatch, check_mode=True, skip_installed=False)
    assert {c[0] for c in zarvik.calls()} == {'list', 'plan'}


@pytest.mark.parametrize('name,args,script,failed,changed,expected', CHECKS, ids=[c[0] for c in CHECKS])
def test_check_mode_sends_nothing(zarvik, monkeypatch, name, args, script, failed, changed, expected):
    zarvik.answer(script)
    is_failed, result = update(zarvik, monkeypatch, check_mode=True, skip_installed=False, **args)
    assert (is_failed, result['changed']) == (failed, changed), result['msg']
    assert outcomes(result) == expected
    assert all(p['installed'] == [] for p in result['printers'])
    assert {c[0] for c in zarvik.calls()} <= {'list', 'plan'}


def test_the_fields_read_are_the_ones_the_schema_promises():
    defs = SCHEMA['$defs']
    where = {
        'list': defs['list'], 'list.printer': defs['listed_printer'], 'plan': defs['plan'],
        'plan.file': defs['plan']['properties']['files']['items'], 'plan.printer': defs['chosen_printer'],
        'error': defs['run_error'], 'done': defs['done'], 'left_alone': defs['left_alone'],
        'history_error': defs['history_error'], 'history': defs['history'],
        'history.file': defs['history']['properties']['files']['items'],
    }
    for part, fields in z.EVENT_FIELDS.items():
        for field in fields:
            assert field in where[part]['required'], '%s: %s is not always there' % (part, field)
    # An error event is a run's or a printer's: a field read from both must
    # be always there in both, an optional one named in one of them.
    for field in z.EVENT_FIELDS['error']:
        assert field in defs['printer_error']['required']
    for field in z.OPTIONAL_FIELDS['error']:
        assert field in defs['run_error']['properties'] or field in defs['printer_error']['properties'], field
