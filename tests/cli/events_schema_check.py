#!/usr/bin/python3
"""zarvik's --json output against docs/zarvik-events.schema.json: every line
zarvik writes, in runs that reach every kind of event, is one the schema
describes, and every kind the schema describes (but the Windows service's)
is written by one of the runs.

    events_schema_check.py EMULATOR ZARVIK

Each run is the real zarvik on the real libusb-1.0 under the umockdev
printer emulator (tests/fleet/emulated_host.py), faults set through its
control language.
"""

import hashlib
import json
import os
import subprocess
import sys
import tempfile

import jsonschema

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.dirname(os.path.dirname(here))
host_program = os.path.join(root, 'tests', 'fleet', 'emulated_host.py')

with open(os.path.join(root, 'docs', 'zarvik-events.schema.json')) as f:
    schema = json.load(f)
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)
kinds = [ref['$ref'].rsplit('/', 1)[1] for ref in schema['oneOf']]

A = {'serial': 'EV-A', 'port': '1.1'}
B = {'serial': 'EV-B', 'port': '1.2'}
other_model = {'id': '2c7e:4203', 'serial': 'EV-X'}
fails_after_take_up = dict(B, controls=['replace {id} M600 0 1 refused'])

# name, printers, arguments ({fw}: the firmware folder, {work}: the scratch
# folder), exit status, the kinds of event the run must write.
cases = [
    ('list, none attached', [], ['list', '--json'], 3, {'list'}),
    ('list, two and another model', [A, B, other_model], ['list', '--json'], 0, {'list'}),
    ('plan with a checksum list', [], ['plan', '--firmware', '{fw}', '--json'], 0, {'plan'}),
    ('plan, no such folder', [], ['plan', '--firmware', '{work}/none', '--json'], 1, {'run_error'}),
    ('plan, no firmware', [], ['plan', '--firmware', '{work}/notes', '--json'], 1, {'run_error'}),
    ('plan, checksum mismatch', [], ['plan', '--firmware', '{work}/bad', '--json'], 1, {'run_error'}),
    ('update by port', [A, B], ['update', '--firmware', '{fw}', '--port', '1-1.2', '--json', '--log', '{work}/log', '--no-history'],
     0, {'plan', 'progress', 'done'}),
    ('update all, one fails after its take-up', [A, fails_after_take_up],
     ['update', '--firmware', '{fw}', '--all', '--json', '--log', '{work}/log', '--history', '{work}/h.sqlite'], 1,
     {'plan', 'progress', 'printer_error', 'done'}),
    ('update all again, skipping what the history shows installed', [A, B],
     ['update', '--firmware', '{fw}', '--all', '--json', '--log', '{work}/log', '--history', '{work}/h.sqlite',
      '--skip-installed'], 0, {'plan', 'left_alone', 'done'}),
    ('update with a history that is not a database', [A],
     ['update', '--firmware', '{fw}', '--json', '--log', '{work}/log', '--history', '{work}/notes/readme.txt'], 0,
     {'plan', 'history_error', 'done'}),
    ('history', [], ['history', '--json', '--history', '{work}/h.sqlite'], 0, {'history'}),
    ('history of one printer since a day', [],
     ['history', '--serial', 'EV-B', '--since', '2020-01-01', '--json', '--history', '{work}/h.sqlite'], 0,
     {'history'}),
    ('history, a date that is none', [], ['history', '--since', 'soon', '--json', '--history', '{work}/h.sqlite'], 2,
     {'run_error'}),
    ('update, none attached', [], ['update', '--firmware', '{fw}', '--json'], 3, {'run_error'}),
    ('update, several and none chosen', [A, B], ['update', '--firmware', '{fw}', '--json'], 2, {'run_error'}),
    ('update, no such serial', [A], ['update', '--firmware', '{fw}', '--serial', 'NONE', '--json'], 3,
     {'run_error'}),
    ('usage error', [], ['update', '--json'], 2, {'run_error'}),
    ('unknown command', [], ['updat', '--json'], 2, {'run_error'}),
]


def kind_of(event):
    """The schema's name for the event's kind, or the errors against each."""
    errors = {}
    for kind in kinds:
        found = list(jsonschema.Draft202012Validator(
            {'$ref': '#/$defs/' + kind, '$defs': schema['$defs']}).iter_errors(event))
        if not found:
            return kind, None
        errors[kind] = found
    if event.get('event') == 'error':
        candidates = ['printer_error', 'run_error']
    else:
        candidates = [k for k in kinds if k == event.get('event')]
    return None, '; '.join('as %s: %s' % (k, ', '.join(e.message for e in errors[k])) for k in candidates) or \
        'no kind of event named %r' % event.get('event')


def firmware(work):
    fw = os.path.join(work, 'fw')
    os.makedirs(fw)
    files = {'Main-2.4.bin': os.urandom(900000), 'fonts.xbf': os.urandom(3000)}
    for name, data in files.items():
        with open(os.path.join(fw, name), 'wb') as f:
            f.write(data)
    with open(os.path.join(fw, 'SHA256SUMS'), 'w') as f:
        for name, data in files.items():
            f.write('%s  %s\n' % (hashlib.sha256(data).hexdigest(), name))
    os.makedirs(os.path.join(work, 'notes'))
    with open(os.path.join(work, 'notes', 'readme.txt'), 'w') as f:
        f.write('no firmware here\n')
    bad = os.path.join(work, 'bad')
    os.makedirs(bad)
    with open(os.path.join(bad, 'Main.bin'), 'wb') as f:
        f.write(b'the image')
    with open(os.path.join(bad, 'SHA256SUMS'), 'w') as f:
        f.write('%s  Main.bin\n' % ('0' * 64))


def run_case(work, emulator, zarvik, number, printers, args):
    host = os.path.join(work, 'host-%d' % number)
    os.makedirs(host)
    with open(os.path.join(host, 'host.json'), 'w') as f:
        json.dump({'emulator': emulator, 'zarvik': zarvik, 'printers': printers}, f)
    args = [a.replace('{fw}', os.path.join(work, 'fw')).replace('{work}', work) for a in args]
    done = subprocess.run([sys.executable, host_program, 'zarvik', host] + args, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True)
    return done.returncode, done.stdout, done.stderr


def main(emulator, zarvik):
    seen = set()
    failures = 0
    with tempfile.TemporaryDirectory(prefix='zarvik-events.') as work:
        firmware(work)
        for number, (name, printers, args, status, expected) in enumerate(cases):
            problems = []
            rc, out, err = run_case(work, emulator, zarvik, number, printers, args)
            if rc != status:
                problems.append('exit status %d, not %d' % (rc, status))
            written = set()
            for line in out.splitlines():
                try:
                    event = json.loads(line)
                except ValueError:
                    problems.append('not JSON: %s' % line)
                    continue
                kind, why = kind_of(event)
                if kind is None:
                    problems.append('%s: %s' % (line, why))
                    continue
                if not validator.is_valid(event):
                    problems.append('%s: valid as %s alone but not against the whole schema' % (line, kind))
                written.add(kind)
            if not expected <= written:
                problems.append('no %s event' % ', '.join(sorted(expected - written)))
            seen |= written
            print('%s: %s' % ('ok' if not problems else 'FAILED', name))
            for p in problems:
                print('    ' + p)
            if problems:
                print('    standard error: ' + err.strip().replace('\n', '\n    '))
                failures += 1
    unseen = set(kinds) - seen - {'service'}
    if unseen:
        print('FAILED: the schema describes events no run wrote: %s' % ', '.join(sorted(unseen)))
        failures += 1
    print('%d passed, %d failed' % (len(cases) - min(failures, len(cases)), failures))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1], sys.argv[2]))
