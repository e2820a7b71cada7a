#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Writes the fuzz seed corpus: one file per distinct input.

Inputs come from the test tables as they stand: the stdin sections and the
"in" lines of the rows sections of tests/e2e/cases/*.cases, and the first
string literal of every table row ({"text", ...}) in tests/unit/*_test.cpp.
Each file is named after the hash of its bytes, so reruns and duplicates add
nothing.

usage: make_corpus.py TESTS_DIR OUT_DIR
"""
import hashlib
import pathlib
import re
import sys

ROW = re.compile(r'\{\s*"((?:[^"\\\n]|\\.)*)"')
SIMPLE = {'n': 10, 't': 9, 'r': 13, 'v': 11, 'f': 12, 'a': 7, 'b': 8,
          'e': 27, '\\': 92, '"': 34, "'": 39, '?': 63}


def c_unescape(lit: str) -> bytes:
    out = bytearray()
    i = 0
    while i < len(lit):
        c = lit[i]
        if c != '\\':
            out += c.encode()
            i += 1
            continue
        n = lit[i + 1]
        if n in SIMPLE:
            out.append(SIMPLE[n])
            i += 2
        elif n == 'x':
            m = re.match(r'[0-9a-fA-F]+', lit[i + 2:])
            out.append(int(m.group(0), 16) & 0xff)
            i += 2 + len(m.group(0))
        elif n in '01234567':
            m = re.match(r'[0-7]{1,3}', lit[i + 1:])
            out.append(int(m.group(0), 8) & 0xff)
            i += 1 + len(m.group(0))
        else:
            out += n.encode()
            i += 2
    return bytes(out)


ROW_IN = re.compile(r'in(?:[ \t]+(.*))?$')


def case_inputs(path: pathlib.Path):
    section = None
    lines = []
    for line in path.read_text(encoding='utf-8', errors='surrogateescape').splitlines(True):
        if line.startswith('--- ') or line.startswith('=== '):
            if section in ('stdin', 'rows') and lines:
                yield ''.join(lines).encode('utf-8', errors='surrogateescape')
            section = line[4:].split()[0] if line.startswith('--- ') and len(line) > 4 else None
            lines = []
        elif section == 'stdin':
            lines.append(line)
        elif section == 'rows':
            m = ROW_IN.match(line.rstrip('\n'))
            if m:
                lines.append((m.group(1) or '') + '\n')
    if section in ('stdin', 'rows') and lines:
        yield ''.join(lines).encode('utf-8', errors='surrogateescape')


def table_inputs(path: pathlib.Path):
    for m in ROW.finditer(path.read_text(encoding='utf-8')):
        yield c_unescape(m.group(1))


def main():
    tests, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    out.mkdir(parents=True, exist_ok=True)
    seeds = set()
    for p in sorted(tests.glob('e2e/cases/*.cases')):
        seeds.update(case_inputs(p))
    for p in sorted(tests.glob('unit/*_test.cpp')):
        seeds.update(table_inputs(p))
    for s in seeds:
        (out / hashlib.sha1(s).hexdigest()).write_bytes(s)
    print(f'{len(seeds)} seeds in {out}')


if __name__ == '__main__':
    main()
