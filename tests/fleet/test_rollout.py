"""The rollout (ansible/rollout.yml) with the real ansible-playbook, over ssh,
against four print hosts on this machine (fleet.py), each with its own
emulated printers:

    printhost-a  the canary: FA-1 at port 1-1.1, FA-2 at 1-1.2
    printhost-b  FB-1 at 1-1
    printhost-c  FC-1 at 1-1.1, FC-2 at 1-1.2, FC-3 at 1-2
    printhost-d  no printer (zarvik_allow_absent)

The cases run in order, each on what the one before left: check mode on a
fresh fleet, the rollout of release 2.4, the same again, the host without a
printer, release 2.5 with the canary's printer failing, and 2.5 again once
it is mended.

    ZARVIK_EMULATOR=... ZARVIK_PROGRAM=... /usr/bin/python3 -m pytest tests/fleet
"""

import json
import os
import tempfile

import pytest

from fleet import Fleet, recap_text, sha256, write_release

PRINTERS = {
    'printhost-a': [{'serial': 'FA-1', 'port': '1.1'}, {'serial': 'FA-2', 'port': '1.2'}],
    'printhost-b': [{'serial': 'FB-1', 'port': '1'}],
    'printhost-c': [{'serial': 'FC-1', 'port': '1.1'}, {'serial': 'FC-2', 'port': '1.2'}, {'serial': 'FC-3', 'port': '2'}],
    'printhost-d': [],
}
PORTS = {'FA-1': '1-1.1', 'FA-2': '1-1.2', 'FB-1': '1-1', 'FC-1': '1-1.1', 'FC-2': '1-1.2', 'FC-3': '1-2'}
BATCHES = '{"zarvik_batches": [1, 2]}'  # the canary, then b and c together, then d
REFUSES_ITS_FIRST_FILE = ['replace {id} M28 0 0 refused']


@pytest.fixture(scope='module')
def fleet():
    work = tempfile.mkdtemp(prefix='zarvik-fleet.')
    f = Fleet(work, os.environ['ZARVIK_EMULATOR'], os.environ['ZARVIK_PROGRAM'])
    try:
        f.install_collection()
        f.start_sshd()
        for name, printers in PRINTERS.items():
            f.add_host(name, printers, allow_absent=not printers)
        f.write_inventory(canary='printhost-a')
        f.write_config()
        f.releases = {
            '2.4': write_release(os.path.join(work, 'releases', 'orbrey-2.4'), {
                'Main-2.4.bin': os.urandom(300000), 'fonts.xbf': os.urandom(20000),
                'release-notes.txt': b'Orbrey firmware 2.4\n'}),
            '2.5': write_release(os.path.join(work, 'releases', 'orbrey-2.5'), {
                'Main-2.5.bin': os.urandom(310000), 'fonts.xbf': os.urandom(21000),
                'release-notes.txt': b'Orbrey firmware 2.5\n'}),
        }
        yield f
    finally:
        f.stop()
    # The folder is left where it is when a case failed, for its logs.


def rollout(fleet, release, *more, batches=BATCHES):
    batches = ['-e', batches] if batches else []
    rc, out, recap = fleet.playbook('-e', 'zarvik_firmware=' + fleet.releases[release], *(batches + list(more)))
    print(out)
    return rc, out, recap


def expected_held(fleet, release):
    folder = fleet.releases[release]
    main = [n for n in os.listdir(folder) if n.endswith('.bin')][0]
    return {'0:/sys/orbrey.bin': sha256(os.path.join(folder, main)),
            '0:/sys/fonts.xbf': sha256(os.path.join(folder, 'fonts.xbf'))}


def held(fleet, host, serial):
    """What the printer holds whole and taken up: {path: sha256}."""
    return {path: f['sha256'] for path, f in fleet.hosts[host].held(serial).items() if f['complete'] and f['installed']}


def all_held(fleet):
    return {(h, p['serial']): held(fleet, h, p['serial']) for h, printers in PRINTERS.items() for p in printers}


def calls(fleet):
    return {h: fleet.hosts[h].calls() for h in PRINTERS}


def new_calls(before, after):
    return {h: after[h][len(before[h]):] for h in PRINTERS}


def sent_anything(call):
    return any(call['commands'].values())


def check_report(fleet, release_of, all_reached=True):
    """The report's rows against what each emulated printer holds:
    release_of[(host, serial)] is the release the printer's last update
    installed, or None for one whose last update failed."""
    report, as_csv = fleet.report()
    rows = {(r['host'], r['serial']): r for r in report['printers']}
    for (host, serial), release in release_of.items():
        row = rows[(host, serial)]
        assert (row['port'], row['attached']) == (PORTS[serial], True), row
        if release is None:
            assert row['outcome'] == 'failed', row
            continue
        assert row['outcome'] == 'updated', row
        files = {'0:/sys/' + f['name']: f['sha256'] for f in row['files'] if f['state'] == 'installed'}
        assert files == expected_held(fleet, release) == held(fleet, host, serial), (host, serial)
        assert row['when'].startswith('20'), row
    assert rows[('printhost-d', None)]['outcome'] == ('no printer attached' if all_reached else 'not reached')
    # The CSV has the JSON's rows, one line per file.
    lines = as_csv.splitlines()
    assert lines[0] == 'host,serial,port,printer,attached,outcome,when,rollout,file,sha256,file_state,message'
    assert len(lines) == 1 + sum(max(1, len(r['files'])) for r in report['printers'])
    for row in report['printers']:
        for f in row['files']:
            assert ','.join([row['host'], row['serial'], row['port'] or '']) + ',' in as_csv
            assert ',%s,%s,%s,' % (f['name'], f['sha256'], f['state']) in as_csv
    print('\n'.join(lines))
    return report


def test_check_mode_sends_nothing_and_says_what_would_change(fleet):
    rc, out, recap = rollout(fleet, '2.4', '--check', batches=None)  # the default: the canary, then a quarter
    assert rc == 0, recap_text(out)
    for host in ('printhost-a', 'printhost-b', 'printhost-c'):
        assert recap[host]['failed'] == 0 and recap[host]['changed'] >= 1, recap
    assert recap['printhost-d']['changed'] == 0, recap
    for serial in PORTS:
        assert '%s (port %s' % (serial, PORTS[serial]) in out and 'would update' in out
    for host, runs in calls(fleet).items():
        assert {c['args'][0] for c in runs} <= {'list', 'plan', 'history'}, (host, runs)
        assert not any(sent_anything(c) for c in runs)
    assert all(h == {} for h in all_held(fleet).values())
    for host in PRINTERS:  # nothing stays on the hosts
        assert os.listdir(os.path.join(fleet.hosts[host].dir, 'firmware')) == []
    assert not os.path.exists(os.path.join(fleet.work, 'zarvik-report', 'report.json'))


def test_a_rollout_updates_every_printer_the_canary_first(fleet):
    before = calls(fleet)
    rc, out, recap = rollout(fleet, '2.4')
    assert rc == 0, recap_text(out)
    for host in PRINTERS:
        assert recap[host]['failed'] == 0, recap
    for host in ('printhost-a', 'printhost-b', 'printhost-c'):
        assert recap[host]['changed'] >= 1, recap
    for (host, serial), files in all_held(fleet).items():
        assert files == expected_held(fleet, '2.4'), (host, serial)
    # The canary's update ended before any other host's began.
    updates = {h: [c for c in runs if c['args'][0] == 'update'] for h, runs in new_calls(before, calls(fleet)).items()}
    assert len(updates['printhost-a']) == 1
    canary_end = updates['printhost-a'][0]['ended']
    assert all(c['started'] > canary_end for h in ('printhost-b', 'printhost-c', 'printhost-d') for c in updates[h])
    # The host's copy of the release, and nothing else, sits in its folder.
    folder = os.path.join(fleet.hosts['printhost-b'].dir, 'firmware', 'orbrey-2.4')
    assert sorted(os.listdir(folder)) == sorted(os.listdir(fleet.releases['2.4']))
    check_report(fleet, {(h, p['serial']): '2.4' for h, printers in PRINTERS.items() for p in printers})
    print('\n== the recap of a whole rollout\n' + recap_text(out))


def test_a_second_run_changes_nothing(fleet):
    before_calls, before_held = calls(fleet), all_held(fleet)
    rc, out, recap = rollout(fleet, '2.4')
    assert rc == 0, recap_text(out)
    for host in PRINTERS:
        assert recap[host]['changed'] == 0 and recap[host]['failed'] == 0, recap
    runs = new_calls(before_calls, calls(fleet))
    for host in ('printhost-a', 'printhost-b', 'printhost-c'):
        updates = [c for c in runs[host] if c['args'][0] == 'update']
        assert len(updates) == 1 and '--skip-installed' in updates[0]['args']
    assert not any(sent_anything(c) for host in runs for c in runs[host])
    assert all_held(fleet) == before_held
    assert out.count('already installed') == len(PORTS)


def test_a_host_without_printer_fails_unless_told(fleet):
    d = fleet.hosts['printhost-d']
    args = {'firmware': os.path.join(d.dir, 'firmware', 'orbrey-2.4'), 'executable': d.vars['zarvik_executable'],
            'history': d.vars['zarvik_history']}
    done = fleet.run(['/usr/bin/ansible', 'printhost-d', '-m', 'zarvik.firmware.zarvik_update', '-a',
                      json.dumps(args)], check=False)
    assert done.returncode == 2 and 'no target printer attached' in done.stdout, done.stdout
    done = fleet.run(['/usr/bin/ansible', 'printhost-d', '-m', 'zarvik.firmware.zarvik_update', '-a',
                      json.dumps(dict(args, allow_absent=True))], check=False)
    assert done.returncode == 0 and '"changed": false' in done.stdout, done.stdout


def test_a_canary_whose_printer_fails_stops_the_rollout(fleet):
    canary = fleet.hosts['printhost-a']
    canary.set_printers([PRINTERS['printhost-a'][0], dict(PRINTERS['printhost-a'][1], controls=REFUSES_ITS_FIRST_FILE)],
                        fleet)
    before_calls, before_held = calls(fleet), all_held(fleet)
    rc, out, recap = rollout(fleet, '2.5')
    assert rc == 2, recap_text(out)
    assert recap['printhost-a']['failed'] == 1, recap
    others = ('printhost-b', 'printhost-c', 'printhost-d')
    assert not any(h in recap for h in others), recap
    runs = new_calls(before_calls, calls(fleet))
    for host in others:  # not touched: no zarvik run, no copy of the release
        assert runs[host] == []
        assert not os.path.exists(os.path.join(fleet.hosts[host].dir, 'firmware', 'orbrey-2.5'))
    after = all_held(fleet)
    assert all(after[k] == before_held[k] for k in after if k[0] != 'printhost-a')
    # The canary's two printers were updated at once: one has 2.5, the other failed.
    assert after[('printhost-a', 'FA-1')] == expected_held(fleet, '2.5')
    assert 'FA-2 (port 1-1.2, 1:7): failed: printer execute command failure' in out
    report = check_report(fleet, {('printhost-a', 'FA-1'): '2.5', ('printhost-a', 'FA-2'): None}, all_reached=False)
    assert {r['host'] for r in report['printers'] if r['outcome'] == 'not reached'} == set(others)
    print('\n== the recap of the canary failure\n' + recap_text(out))


def test_once_mended_the_rollout_goes_on_from_the_canary(fleet):
    fleet.hosts['printhost-a'].set_printers(PRINTERS['printhost-a'], fleet)
    rc, out, recap = rollout(fleet, '2.5')
    assert rc == 0, recap_text(out)
    assert all(recap[h]['failed'] == 0 for h in PRINTERS), recap
    assert 'FA-1 (port 1-1.1, 1:5): already installed' in out
    for files in all_held(fleet).values():
        assert files == expected_held(fleet, '2.5')
    check_report(fleet, {(h, p['serial']): '2.5' for h, printers in PRINTERS.items() for p in printers})
    print('\n== the recap of the rollout once the canary is mended\n' + recap_text(out))
