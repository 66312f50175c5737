# -*- coding: utf-8 -*-
# Copyright: 2026 Zarvik
# Filters of the rollout (rollout.yml): the release's checksum list read on
# the controller, and the report of every host's printers.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import csv
import io
import json
import re

from ansible.errors import AnsibleFilterError

_SUM_LINE = re.compile(r'^(\\?)([0-9A-Fa-f]{64}) [ *](.+)$')


def _unescaped(name):
    out = []
    i = 0
    while i < len(name):
        if name[i] == '\\' and i + 1 < len(name) and name[i + 1] in ('\\', 'n'):
            out.append('\n' if name[i + 1] == 'n' else '\\')
            i += 2
        else:
            out.append(name[i])
            i += 1
    return ''.join(out)


def sha256sums(text):
    """A checksum list in the format sha256sum writes, as {name: sha256}.

    The rules are zarvik's (docs/zarvik.md, "The checksum list SHA256SUMS"):
    one "<64 hex digits>  <name>" or "<64 hex digits> *<name>" a line, a
    leading "./" allowed, names with a backslash or a line end escaped with a
    leading backslash; blank lines, Windows line ends and a byte order mark
    are fine; any other line makes the whole list unusable, and so does a
    name listed twice with two checksums."""
    if text.startswith('\ufeff'):
        text = text[1:]
    sums = {}
    for number, line in enumerate(text.split('\n'), 1):
        if line.endswith('\r'):
            line = line[:-1]
        if not line.strip():
            continue
        match = _SUM_LINE.match(line)
        if not match:
            raise AnsibleFilterError('SHA256SUMS line %d is not a checksum line' % number)
        escaped, digest, name = match.groups()
        if escaped:
            name = _unescaped(name)
        if name.startswith('./'):
            name = name[2:]
        digest = digest.lower()
        if sums.get(name, digest) != digest:
            raise AnsibleFilterError('SHA256SUMS line %d gives %s another checksum than before' % (number, name))
        sums[name] = digest
    return sums


def printer_lines(printers):
    """zarvik_update's printers, one line each, for people."""
    lines = []
    for p in printers or []:
        who = p['serial'] or '(no serial)'
        where = ', '.join(x for x in (p.get('port') and 'port ' + p['port'], p.get('printer')) if x)
        line = '%s%s: %s' % (who, ' (%s)' % where if where else '', p['outcome'].replace('_', ' '))
        if p.get('installed'):
            line += ': installed ' + ', '.join(p['installed'])
        if p.get('error'):
            line += ': ' + p['error']['message']
        if p.get('may_have_been_taken_up'):
            line += '; may have been taken up: ' + ', '.join(p['may_have_been_taken_up'])
        if p['outcome'] == 'failed' and p.get('not_installed'):
            line += '; not installed: ' + ', '.join(p['not_installed'])
        if p.get('reason'):
            line += ' (' + p['reason'] + ')'
        lines.append(line)
    return lines


REPORT_COLUMNS = ['host', 'serial', 'port', 'printer', 'attached', 'outcome', 'when', 'rollout', 'file', 'sha256',
                  'file_state', 'message']


def _row(host, **fields):
    row = dict((c, None) for c in REPORT_COLUMNS if c not in ('file', 'sha256', 'file_state'))
    row['host'] = host
    row['files'] = []
    row.update(fields)
    return row


def _printer_rows(host, info, update):
    """One row per printer of the host: those attached, then those only its history knows."""
    rollout = {}
    for p in (update or {}).get('printers') or []:
        rollout[p['serial'] or p['printer']] = p['outcome']
    rows = []
    seen = set()
    last_of = {}
    for record in info.get('history') or []:  # newest first
        last_of.setdefault((record['serial'], record['vendor_id'], record['product_id']), record)

    def add(key, printer, record, attached, port):
        seen.add(key)
        row = _row(host, serial=key[0], port=port, printer=printer, attached=attached,
                   outcome=record['outcome'] if record else 'no update recorded',
                   when=(record['ended'] or record['started']) if record else None,
                   rollout=rollout.get(key[0] or printer))
        if record:
            row['files'] = [{'name': f['name'], 'local': f['local'], 'sha256': f['sha256'], 'state': f['state']}
                            for f in record['files']]
            row['message'] = record['message']
        rows.append(row)

    for p in info.get('printers') or []:
        if not p.get('target'):
            continue
        key = (p['serial'], p['vendor_id'], p['product_id'])
        record = last_of.get(key) if p['serial'] else None
        add(key, p['printer'], record, True, (record and record['port_path']) or p['port'])
    for key, record in last_of.items():
        if key not in seen and key[0]:
            add(key, record['printer'], record, False, record['port_path'])
    return rows


def _cell(value):
    if value is None:
        return ''
    if isinstance(value, bool):
        return 'true' if value else 'false'
    return value


def fleet_report(hostvars, hosts, release=None):
    """The report of every host's printers, from each host's zarvik_info
    (registered as zarvik_printers) and zarvik_update (zarvik_update):
    {'json': TEXT, 'csv': TEXT}.  A host the rollout has not reached, or
    whose printers could not be read, is one row that says so."""
    rows = []
    for host in hosts:
        variables = hostvars[host]
        info = variables.get('zarvik_printers')
        update = variables.get('zarvik_update')
        if not isinstance(info, dict) or info.get('skipped'):
            rows.append(_row(host, outcome='not reached'))
        elif info.get('failed') or 'printers' not in info:
            rows.append(_row(host, outcome='printers not read', message=info.get('msg')))
        else:
            found = _printer_rows(host, info, update)
            rows += found or [_row(host, outcome='no printer attached')]
    report = {'release': None, 'printers': rows}
    if release:
        report['release'] = {'name': release['name'], 'sha256': dict(release['sums'])}
    out = io.StringIO()
    writer = csv.writer(out, lineterminator='\n')
    writer.writerow(REPORT_COLUMNS)
    for row in rows:
        for f in row['files'] or [None]:
            cells = dict(row, file=f and f['name'], sha256=f and f['sha256'], file_state=f and f['state'])
            writer.writerow([_cell(cells[c]) for c in REPORT_COLUMNS])
    return {'json': json.dumps(report, indent=1) + '\n', 'csv': out.getvalue()}


class FilterModule(object):
    def filters(self):
        return {
            'sha256sums': sha256sums,
            'printer_lines': printer_lines,
            'fleet_report': fleet_report,
        }
