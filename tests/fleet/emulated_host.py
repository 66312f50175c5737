#!/usr/bin/python3
"""A print host of the fleet tests, in a folder: its own emulated printers,
which keep what they hold from one run of zarvik to the next.

    emulated_host.py zarvik HOST_DIR ARGS...
        The host's zarvik: the real zarvik with ARGS on the real libusb-1.0,
        under zarvik-printer-emulator carrying the printers of
        HOST_DIR/host.json.  Exits with zarvik's status.

HOST_DIR/host.json:
    {"emulator": PATH, "zarvik": PATH,
     "printers": [{"serial": "FA-1", "port": "1.1",
                   "controls": ["replace {id} M28 0 0 refused"]}, ...]}
A printer is of the model zarvik updates unless it has "id": "VID:PID".
"controls" are control-language requests sent before zarvik starts, {id}
the printer's number; the file is read at every run, so a test changes a
printer's behaviour between runs by rewriting it.

What a printer holds lives in HOST_DIR/printers/SERIAL/: held.json (per path
on the printer: size, sha256, complete, installed) and the files.  An
emulated printer starts empty at each run; after the run, what it stored is
laid over what it held before, as a real printer's storage keeps its files.
Every run adds a line to HOST_DIR/calls.jsonl: the arguments, the status, when
it started and ended and, per serial, the command lines the printer received.
"""

import fcntl
import hashlib
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time


def read_json(path, default=None):
    try:
        with open(path) as f:
            return json.load(f)
    except FileNotFoundError:
        return default


def write_json(path, value):
    with open(path + '.new', 'w') as f:
        json.dump(value, f, indent=1, sort_keys=True)
    os.replace(path + '.new', path)


class Control:
    """The emulator's control socket: one line out, one line back."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.buffer = b''

    def request(self, line):
        self.sock.sendall(line.encode() + b'\n')
        while b'\n' not in self.buffer:
            data = self.sock.recv(65536)
            if not data:
                raise RuntimeError('the control socket closed')
            self.buffer += data
        answer, self.buffer = self.buffer.split(b'\n', 1)
        answer = answer.decode()
        if answer != 'ok' and not answer.startswith('ok '):
            raise RuntimeError('control: %s: %s' % (line, answer))
        return answer[3:]


def unescape(token):
    """Text of the control language (\\s a blank, \\c a comma, \\xHH a byte)."""
    out = bytearray()
    i = 0
    simple = {'s': b' ', 'c': b',', 'r': b'\r', 'n': b'\n', 't': b'\t', '\\': b'\\'}
    while i < len(token):
        c = token[i]
        if c == '\\' and i + 1 < len(token):
            if token[i + 1] == 'x':
                out.append(int(token[i + 2:i + 4], 16))
                i += 4
                continue
            out += simple[token[i + 1]]
            i += 2
            continue
        out += c.encode()
        i += 1
    return out.decode('utf-8', errors='replace')


def child(run_dir, argv):
    """Inside the emulator: the printers' controls, zarvik, then what each printer received."""
    host = read_json(os.path.join(run_dir, 'host.json'))
    control = Control(os.environ['ZARVIK_EMULATOR_CONTROL'])
    for number, printer in enumerate(host['printers'], 1):
        for line in printer.get('controls', []):
            control.request(line.replace('{id}', str(number)))
    status = subprocess.call(argv)
    commands = {}
    for number, printer in enumerate(host['printers'], 1):
        answer = control.request('commands %d' % number)
        commands[printer['serial']] = [unescape(t) for t in answer.split(' ') if t]
    write_json(os.path.join(run_dir, 'commands.json'), commands)
    return status


def merge_store(host_dir, host, store):
    """What each printer stored in this run, laid over what it held."""
    summary = os.path.join(store, 'summary.txt')
    if not os.path.exists(summary):
        return
    with open(summary) as f:
        lines = f.read().splitlines()
    for line in lines:
        fields = dict(part.split('=', 1) for part in line.split(' '))
        serial = host['printers'][int(fields['printer']) - 1]['serial']
        folder = os.path.join(host_dir, 'printers', serial)
        os.makedirs(folder, exist_ok=True)
        source = os.path.join(store, fields['file'])
        name = os.path.basename(fields['file'])
        shutil.copyfile(source, os.path.join(folder, name))
        with open(source, 'rb') as data:
            digest = hashlib.sha256(data.read()).hexdigest()
        held_path = os.path.join(folder, 'held.json')
        held = read_json(held_path, {})
        held[unescape(fields['path'])] = {
            'file': name,
            'size': int(fields['size']),
            'sha256': digest,
            'complete': fields['complete'] == '1',
            'installed': fields['installed'] == '1',
        }
        write_json(held_path, held)


def host_zarvik(host_dir, args):
    host = read_json(os.path.join(host_dir, 'host.json'))
    run_dir = tempfile.mkdtemp(prefix='run.', dir=host_dir)
    try:
        write_json(os.path.join(run_dir, 'host.json'), host)
        command = [host['emulator']]
        for p in host['printers']:
            spec = p.get('id', 'target') + ',serial=' + p['serial']
            if p.get('port'):
                spec += ',port=' + p['port']
            command += ['--printer', spec]
        command += ['--control', 'auto', '--store', os.path.join(run_dir, 'store'), '--',
                    sys.executable, os.path.abspath(__file__), 'child', run_dir, '--', host['zarvik']] + args
        started = time.time()
        status = subprocess.call(command)
        ended = time.time()
        # Runs of one host at the same time (a module updating printers by
        # serial, one zarvik each) merge one after the other.
        with open(os.path.join(host_dir, 'printers.lock'), 'w') as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            merge_store(host_dir, host, os.path.join(run_dir, 'store'))
            with open(os.path.join(host_dir, 'calls.jsonl'), 'a') as calls:
                calls.write(json.dumps({'args': args, 'status': status, 'started': started, 'ended': ended,
                                        'commands': read_json(os.path.join(run_dir, 'commands.json'), {})}) + '\n')
        return status
    finally:
        shutil.rmtree(run_dir, ignore_errors=True)


def main(argv):
    if len(argv) >= 3 and argv[1] == 'zarvik':
        return host_zarvik(argv[2], argv[3:])
    if len(argv) >= 5 and argv[1] == 'child' and argv[3] == '--':
        return child(argv[2], argv[4:])
    sys.stderr.write(__doc__)
    return 2


if __name__ == '__main__':
    sys.exit(main(sys.argv))
