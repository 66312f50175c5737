#!/usr/bin/python3
"""ansible-test sanity on the collection (ansible/), as far as it runs here.

ansible-test puts the tests that need Python packages of their own
(ansible-doc, import, pep8, pylint, runtime-metadata, validate-modules,
yamllint) into virtual environments it fills with pip from the Python
package index: they cannot run on a machine that reaches Debian's archive
only.  Every other sanity test runs through ansible-test itself; of those
seven, validate-modules runs as its own script on Debian's python3-voluptuous
and ansible-doc as the command, each module's documentation rendered.
"""

import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
source = os.path.join(os.path.dirname(os.path.dirname(here)), 'ansible')
ansible_test = '/usr/bin/ansible-test'
validate = '/usr/lib/python3/dist-packages/ansible_test/_util/controller/sanity/validate-modules/validate.py'

OFFLINE = [
    'action-plugin-docs', 'changelog', 'compile', 'empty-init', 'future-import-boilerplate', 'ignores',
    'line-endings', 'metaclass-boilerplate', 'no-assert', 'no-basestring', 'no-dict-iteritems', 'no-dict-iterkeys',
    'no-dict-itervalues', 'no-get-exception', 'no-illegal-filenames', 'no-main-display', 'no-smart-quotes',
    'no-unicode-literals', 'replace-urlopen', 'shebang', 'symlinks', 'use-argspec-type-path', 'use-compat-six',
]


def ignored(collection):
    """The entries of tests/sanity/ignore-X.Y.txt: {(path, 'test:code')}."""
    version = subprocess.check_output([ansible_test, '--version'], universal_newlines=True).split()[-1]
    path = os.path.join(collection, 'tests', 'sanity', 'ignore-%s.txt' % '.'.join(version.split('.')[:2]))
    if not os.path.exists(path):
        return set()
    with open(path) as f:
        return {tuple(line.split()[:2]) for line in f if line.strip() and not line.startswith('#')}


def main():
    work = tempfile.mkdtemp(prefix='zarvik-sanity.')
    failures = []
    passed = 0
    try:
        collection = os.path.join(work, 'ansible_collections', 'zarvik', 'firmware')
        shutil.copytree(source, collection, ignore=shutil.ignore_patterns('__pycache__', 'output', '*.tar.gz'))
        env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=work, ANSIBLE_NOCOLOR='1')
        python = '%d.%d' % sys.version_info[:2]

        for test in OFFLINE:
            done = subprocess.run([ansible_test, 'sanity', '--local', '--python', python, '--test', test],
                                  cwd=collection, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  universal_newlines=True)
            if done.returncode == 0:
                passed += 1
                print('ok: ' + test)
            else:
                failures.append(test)
                print('FAILED: %s\n%s' % (test, done.stdout))

        skip = ignored(collection)
        modules = sorted(glob.glob(os.path.join(collection, 'plugins', 'modules', '*.py')))
        done = subprocess.run([sys.executable, validate, '--format', 'json', '--arg-spec', '--collection',
                               'ansible_collections/zarvik/firmware'] + [os.path.relpath(m, collection) for m in modules],
                              cwd=collection, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True)
        try:
            found = json.loads(done.stdout or '{}')
        except ValueError:
            found = {'(validate-modules)': {'errors': [{'code': 'crashed', 'msg': done.stdout + done.stderr}]}}
        problems = ['%s: %s: %s' % (path, e['code'], e['msg']) for path, result in found.items()
                    for e in result.get('errors', []) if (path, 'validate-modules:' + e['code']) not in skip]
        if done.returncode not in (0, 3) or problems:
            failures.append('validate-modules')
            print('FAILED: validate-modules\n  ' + '\n  '.join(problems or [done.stderr]))
        else:
            passed += 1
            print('ok: validate-modules (%d modules)' % len(modules))

        for module in modules:
            name = 'zarvik.firmware.' + os.path.basename(module)[:-3]
            done = subprocess.run(['/usr/bin/ansible-doc', '-t', 'module', name], env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, universal_newlines=True)
            if done.returncode == 0 and not done.stderr.strip() and 'EXAMPLES' in done.stdout:
                passed += 1
                print('ok: ansible-doc ' + name)
            else:
                failures.append('ansible-doc ' + name)
                print('FAILED: ansible-doc %s\n%s' % (name, done.stderr))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print('not run here (their packages come from the Python package index): import, pep8, pylint, '
          'runtime-metadata, yamllint')
    print('%d passed, %d failed' % (passed, len(failures)))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
