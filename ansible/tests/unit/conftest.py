# The collection's unit tests, on the Python and Ansible Debian ships:
#   /usr/bin/python3 -m pytest ansible/tests/unit
# The collection is put on the path as ansible_collections.zarvik.firmware,
# as an installed collection is.
import os
import sys
import tempfile

_here = os.path.dirname(os.path.abspath(__file__))
_collection = os.path.dirname(os.path.dirname(_here))
_parent = tempfile.mkdtemp(prefix='zarvik-collection.')
os.makedirs(os.path.join(_parent, 'ansible_collections', 'zarvik'))
os.symlink(_collection, os.path.join(_parent, 'ansible_collections', 'zarvik', 'firmware'))
sys.path.insert(0, _parent)

import atexit
import shutil

atexit.register(shutil.rmtree, _parent, True)
