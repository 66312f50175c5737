"""A fleet of print hosts on this machine, for the rollout's tests.

Each host is a folder (emulated_host.py): its own emulated printers, which
keep what they hold, its own zarvik (a wrapper running the real one under
the printer emulator), history file, log folder and firmware folder.  The
controller reaches every host over ssh on the loopback, through an sshd the
fleet starts itself on a free high port, with its own host key and
authorized_keys; each inventory host names its own folder's programs and
files in its host variables.  The collection is built with ansible-galaxy
and installed into the fleet's own collections folder, as a user would.
"""

import hashlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.dirname(os.path.dirname(here))
ansible_bin = '/usr/bin'


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def sha256(path):
    with open(path, 'rb') as f:
        return hashlib.sha256(f.read()).hexdigest()


def write_release(folder, files):
    """A release folder: the files and a SHA256SUMS listing each of them."""
    os.makedirs(folder)
    with open(os.path.join(folder, 'SHA256SUMS'), 'w') as sums:
        for name, data in sorted(files.items()):
            with open(os.path.join(folder, name), 'wb') as f:
                f.write(data)
            sums.write('%s  %s\n' % (hashlib.sha256(data).hexdigest(), name))
    return folder


class Host:
    def __init__(self, fleet, name, printers, allow_absent=False):
        self.name = name
        self.dir = os.path.join(fleet.work, 'hosts', name)
        self.printers = printers
        for sub in ('bin', 'firmware', 'tmp', 'log'):
            os.makedirs(os.path.join(self.dir, sub), exist_ok=True)
        self.set_printers(printers, fleet)
        wrapper = os.path.join(self.dir, 'bin', 'zarvik')
        with open(wrapper, 'w') as f:
            f.write('#!/bin/sh\nexec %s %s zarvik %s "$@"\n' % (sys.executable, os.path.join(here, 'emulated_host.py'),
                                                                self.dir))
        os.chmod(wrapper, 0o755)
        self.vars = {
            'ansible_host': '127.0.0.1',
            'ansible_port': fleet.ssh_port,
            'ansible_user': fleet.user,
            'ansible_ssh_private_key_file': fleet.client_key,
            'ansible_remote_tmp': os.path.join(self.dir, 'tmp'),
            'zarvik_executable': wrapper,
            'zarvik_firmware_root': os.path.join(self.dir, 'firmware'),
            'zarvik_history': os.path.join(self.dir, 'history.sqlite'),
            'zarvik_log_dir': os.path.join(self.dir, 'log'),
        }
        if allow_absent:
            self.vars['zarvik_allow_absent'] = True

    def set_printers(self, printers, fleet):
        self.printers = printers
        with open(os.path.join(self.dir, 'host.json'), 'w') as f:
            json.dump({'emulator': fleet.emulator, 'zarvik': fleet.zarvik, 'printers': printers}, f)

    def calls(self):
        """Every run of the host's zarvik so far."""
        try:
            with open(os.path.join(self.dir, 'calls.jsonl')) as f:
                return [json.loads(line) for line in f]
        except FileNotFoundError:
            return []

    def held(self, serial):
        """What the printer holds: {path: {size, sha256, complete, installed}}."""
        try:
            with open(os.path.join(self.dir, 'printers', serial, 'held.json')) as f:
                return json.load(f)
        except FileNotFoundError:
            return {}


class Fleet:
    def __init__(self, work, emulator, zarvik):
        self.work = work
        self.emulator = emulator
        self.zarvik = zarvik
        self.user = subprocess.check_output(['id', '-un'], universal_newlines=True).strip()
        self.ssh_port = free_port()
        self.client_key = os.path.join(work, 'ssh', 'client_key')
        self.control_dir = os.path.join(work, 'cp')
        self.hosts = {}
        self.sshd = None
        os.makedirs(os.path.join(work, 'ssh'))
        self.env = dict(os.environ)
        self.env.update({
            'ANSIBLE_CONFIG': os.path.join(work, 'ansible.cfg'),
            'ANSIBLE_HOME': os.path.join(work, 'ansible-home'),
            'ANSIBLE_FORCE_COLOR': '0',
            'ANSIBLE_NOCOLOR': '1',
            'PYTHONDONTWRITEBYTECODE': '1',
        })
        self.env.pop('ANSIBLE_COLLECTIONS_PATH', None)

    # The controller's side.

    def install_collection(self):
        dist = os.path.join(self.work, 'dist')
        self.run([ansible_bin + '/ansible-galaxy', 'collection', 'build', os.path.join(root, 'ansible'),
                  '--output-path', dist])
        tarball = [f for f in os.listdir(dist) if f.endswith('.tar.gz')]
        assert len(tarball) == 1, tarball
        self.run([ansible_bin + '/ansible-galaxy', 'collection', 'install', '--offline',
                  os.path.join(dist, tarball[0]), '-p', os.path.join(self.work, 'collections')])
        self.playbook_path = os.path.join(self.work, 'collections', 'ansible_collections', 'zarvik', 'firmware',
                                          'rollout.yml')
        assert os.path.exists(self.playbook_path), 'the installed collection has no rollout.yml'

    def write_config(self):
        ssh_dir = os.path.join(self.work, 'ssh')
        with open(os.path.join(self.work, 'ansible.cfg'), 'w') as f:
            f.write('\n'.join([
                '[defaults]',
                'inventory = %s' % os.path.join(self.work, 'inventory.yml'),
                'collections_path = %s' % os.path.join(self.work, 'collections'),
                'local_tmp = %s' % os.path.join(self.work, 'ansible-local'),
                'interpreter_python = /usr/bin/python3',
                'retry_files_enabled = False',
                'forks = 8',
                'localhost_warning = False',
                '[ssh_connection]',
                'ssh_args = -o ControlMaster=auto -o ControlPersist=120s -o UserKnownHostsFile=%s '
                '-o StrictHostKeyChecking=yes -o IdentitiesOnly=yes -o BatchMode=yes' % os.path.join(ssh_dir, 'known_hosts'),
                'control_path_dir = %s' % self.control_dir,
                'pipelining = True',
                '',
            ]))

    def write_inventory(self, canary):
        inventory = {'all': {'children': {
            'canary': {'hosts': {canary: {}}},
            'print_hosts': {'hosts': {name: host.vars for name, host in self.hosts.items()}},
        }}}
        with open(os.path.join(self.work, 'inventory.yml'), 'w') as f:
            json.dump(inventory, f, indent=1)  # YAML reads JSON

    # The hosts' side: one sshd on the loopback for all of them.

    def start_sshd(self):
        ssh = os.path.join(self.work, 'ssh')
        subprocess.check_call(['ssh-keygen', '-q', '-t', 'ed25519', '-N', '', '-f', os.path.join(ssh, 'host_key')])
        subprocess.check_call(['ssh-keygen', '-q', '-t', 'ed25519', '-N', '', '-f', self.client_key])
        shutil.copyfile(self.client_key + '.pub', os.path.join(ssh, 'authorized_keys'))
        with open(os.path.join(ssh, 'host_key.pub')) as f:
            host_key = f.read().split()
        with open(os.path.join(ssh, 'known_hosts'), 'w') as f:
            f.write('[127.0.0.1]:%d %s %s\n' % (self.ssh_port, host_key[0], host_key[1]))
        config = os.path.join(ssh, 'sshd_config')
        with open(config, 'w') as f:
            f.write('\n'.join([
                'Port %d' % self.ssh_port,
                'ListenAddress 127.0.0.1',
                'HostKey %s' % os.path.join(ssh, 'host_key'),
                'PidFile %s' % os.path.join(ssh, 'sshd.pid'),
                'AuthorizedKeysFile %s' % os.path.join(ssh, 'authorized_keys'),
                'AuthenticationMethods publickey',
                'PasswordAuthentication no',
                'KbdInteractiveAuthentication no',
                'PermitRootLogin prohibit-password',
                'StrictModes no',
                'UsePAM no',
                'MaxStartups 64',
                'MaxSessions 64',
                'Subsystem sftp /usr/lib/openssh/sftp-server',
                '',
            ]))
        if os.getuid() == 0:
            os.makedirs('/run/sshd', mode=0o755, exist_ok=True)  # its privilege separation folder
        self.sshd_log = open(os.path.join(ssh, 'sshd.log'), 'w')
        self.sshd = subprocess.Popen(['/usr/sbin/sshd', '-D', '-e', '-f', config], stdout=self.sshd_log,
                                     stderr=subprocess.STDOUT)
        deadline = time.time() + 20
        while time.time() < deadline:
            if self.sshd.poll() is not None:
                raise RuntimeError('sshd ended: ' + open(os.path.join(ssh, 'sshd.log')).read())
            try:
                socket.create_connection(('127.0.0.1', self.ssh_port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.1)
        raise RuntimeError('sshd does not answer on port %d' % self.ssh_port)

    def stop(self):
        # The connections Ansible keeps open to the hosts, then the sshd.
        for name in os.listdir(self.control_dir) if os.path.isdir(self.control_dir) else []:
            subprocess.call(['ssh', '-o', 'ControlPath=' + os.path.join(self.control_dir, name), '-O', 'exit', 'host'],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.sshd and self.sshd.poll() is None:
            self.sshd.send_signal(signal.SIGTERM)
            self.sshd.wait(10)

    def add_host(self, name, printers, allow_absent=False):
        self.hosts[name] = Host(self, name, printers, allow_absent)
        return self.hosts[name]

    # Running Ansible.

    def run(self, cmd, check=True):
        done = subprocess.run(cmd, env=dict(self.env, PWD=self.work), cwd=self.work, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              universal_newlines=True)
        if check and done.returncode != 0:
            raise AssertionError('%s ended with %d:\n%s' % (' '.join(cmd), done.returncode, done.stdout))
        return done

    def playbook(self, *args):
        """ansible-playbook rollout.yml ARGS: (exit status, output, recap)."""
        done = self.run([ansible_bin + '/ansible-playbook', self.playbook_path] + list(args), check=False)
        return done.returncode, done.stdout, recap_of(done.stdout)

    def report(self):
        folder = os.path.join(self.work, 'zarvik-report')
        with open(os.path.join(folder, 'report.json')) as f:
            as_json = json.load(f)
        with open(os.path.join(folder, 'report.csv')) as f:
            as_csv = f.read()
        return as_json, as_csv


_RECAP_LINE = re.compile(r'^(\S+)\s+:\s+(.*)$')


def recap_of(output):
    """The PLAY RECAP: {host: {ok: N, changed: N, ...}}."""
    recap = {}
    if 'PLAY RECAP' not in output:
        return recap
    for line in output.split('PLAY RECAP', 1)[1].splitlines()[1:]:
        match = _RECAP_LINE.match(line.strip())
        if not match:
            continue
        recap[match.group(1)] = {k: int(v) for k, v in re.findall(r'(\w+)=(\d+)', match.group(2))}
    return recap


def recap_text(output):
    return 'PLAY RECAP' + output.split('PLAY RECAP', 1)[1] if 'PLAY RECAP' in output else '(no recap)'
