#!/usr/bin/env python3
"""Checks the include graph of src/ against the declared subsystems.

Reads the layer table that CMake writes (build/layers.txt: one line per
subsystem, "name|closure|files", the closure being the subsystem and everything
it declared, directly or not) and fails when
  - a file includes a header of a subsystem outside its closure,
  - a file includes a project header by a relative path ("x.h", "../y.h"),
    which would bypass the include roots,
  - the modules of src/ include each other in a circle (a module is a .cpp
    and its .h, counted together: a.cpp including b.h and b.cpp including
    a.h is a circle although no file includes itself).

The compiler enforces the first rule too (each subsystem builds against an
include root of its own); this check says it in one line per offence and also
covers the circles.

Usage: check_layers.py <src dir> <layers.txt>
       check_layers.py --self-test <src dir> <layers.txt>
"""
import os
import re
import shutil
import sys
import tempfile

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def read_table(path):
    owner, closure = {}, {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line:
                continue
            name, deps, files = line.split('|')
            closure[name] = set(deps.split())
            for rel in files.split():
                owner[rel] = name
    return owner, closure


def includes_of(src, rel):
    with open(os.path.join(src, rel), errors='replace') as f:
        return INCLUDE.findall(f.read())


def check(src, table):
    owner, closure = read_table(table)
    problems = []
    graph = {}
    for rel, name in sorted(owner.items()):
        graph[rel] = []
        for inc in includes_of(src, rel):
            if inc.startswith('telagent/'):
                continue  # the public API, in include/
            target = owner.get(inc)
            if target is None:
                if os.path.exists(os.path.join(src, inc)):
                    problems.append(f'{rel}: includes "{inc}", which belongs to no subsystem')
                else:
                    problems.append(f'{rel}: includes "{inc}" by a relative or unknown path '
                                    '(write it from src/, e.g. "core/logging.h")')
                continue
            graph[rel].append(inc)
            if target not in closure[name]:
                problems.append(f'{rel}: includes "{inc}" of subsystem {target}, '
                                f'which subsystem {name} does not link')
    problems += circles(module_graph(graph))
    return problems


def module_of(rel):
    return os.path.splitext(rel)[0]


def module_graph(graph):
    modules = {}
    for rel, incs in graph.items():
        edges = modules.setdefault(module_of(rel), [])
        for inc in incs:
            m = module_of(inc)
            if m != module_of(rel) and m not in edges:
                edges.append(m)
    return modules


def circles(graph):
    # Depth-first search; a back edge closes a circle.
    found, state, stack = [], {}, []

    def visit(n):
        state[n] = 1
        stack.append(n)
        for m in graph.get(n, []):
            if state.get(m) == 1:
                found.append('module circle: ' + ' -> '.join(stack[stack.index(m):] + [m]))
            elif m not in state:
                visit(m)
        stack.pop()
        state[n] = 2

    for n in sorted(graph):
        if n not in state:
            visit(n)
    return found


def self_test(src, table):
    # The check must catch a wrong include: copy src/, make the lowest
    # subsystem that has a source file include the entry, and run again.
    owner, closure = read_table(table)
    victim = next(rel for rel, name in sorted(owner.items())
                  if name == 'platform' and rel.endswith('.cpp'))
    with tempfile.TemporaryDirectory() as tmp:
        copy = os.path.join(tmp, 'src')
        shutil.copytree(src, copy, symlinks=True)
        with open(os.path.join(copy, victim), 'a') as f:
            f.write('\n#include "core/tel_agent_main.h"\n')
        bad = check(copy, table)
    if not any(victim in p and 'does not link' in p for p in bad):
        print('self-test: a wrong include in', victim, 'went unnoticed')
        return 1
    print('self-test: wrong include caught:', [p for p in bad if victim in p][0])
    # And a circle of two modules of one subsystem, each including the other's header.
    files = set(owner)
    pair = None
    for rel in sorted(files):
        if not rel.endswith('.cpp') or module_of(rel) + '.h' not in files:
            continue
        for inc in includes_of(src, rel):
            other = module_of(inc) + '.cpp'
            if inc in files and owner[inc] == owner[rel] and module_of(inc) != module_of(rel) and other in files:
                pair = (other, module_of(rel) + '.h')
                break
        if pair:
            break
    if pair is None:
        print('self-test: no two modules of one subsystem to make a circle of')
        return 1
    with tempfile.TemporaryDirectory() as tmp:
        copy = os.path.join(tmp, 'src')
        shutil.copytree(src, copy, symlinks=True)
        with open(os.path.join(copy, pair[0]), 'a') as f:
            f.write(f'\n#include "{pair[1]}"\n')
        bad = check(copy, table)
    caught = [p for p in bad if p.startswith('module circle') and module_of(pair[1]) in p]
    if not caught:
        print('self-test: a module circle through', pair[0], 'went unnoticed')
        return 1
    print('self-test: module circle caught:', caught[0])
    return 0


def main(argv):
    if len(argv) == 4 and argv[1] == '--self-test':
        return self_test(argv[2], argv[3])
    if len(argv) != 3:
        print(__doc__)
        return 2
    problems = check(argv[1], argv[2])
    for p in problems:
        print(p)
    if problems:
        print(f'{len(problems)} layer problem(s)')
        return 1
    print('layers: every include is declared, no circles')
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
