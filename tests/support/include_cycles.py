#!/usr/bin/env python3
"""Fails when the components of a source directory include each other in a cycle.

A component is a header and its source (Basekit/KLogger.h and Basekit/KLogger.cpp): a cycle
through a .cpp file couples the layers just as much as one through headers, so both count.

    include_cycles.py [--root DIR] [--dir Basekit]

Prints a cycle as "A -> B -> ... -> A" and exits 1; prints a summary and exits 0 otherwise.
"""
import argparse
import graphlib
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)
SUFFIXES = ('.h', '.hpp', '.cpp', '.cc')


def read_graph(root, directory):
    """Edges between components of directory, named relative to root."""
    graph = {}
    prefix = directory.rstrip('/') + '/'
    for base, _, files in os.walk(os.path.join(root, directory)):
        for name in files:
            if not name.endswith(SUFFIXES):
                continue
            full = os.path.join(base, name)
            node = os.path.splitext(os.path.relpath(full, root))[0]
            targets = graph.setdefault(node, set())
            with open(full, encoding='utf-8', errors='replace') as source:
                for included in INCLUDE.findall(source.read()):
                    if included.startswith(prefix) and os.path.splitext(included)[0] != node:
                        targets.add(os.path.splitext(included)[0])
    return graph


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--root', default=os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..')))
    parser.add_argument('--dir', default='Basekit')
    args = parser.parse_args()
    graph = read_graph(args.root, args.dir)
    if not graph:
        print(f'no sources under {os.path.join(args.root, args.dir)}', file=sys.stderr)
        return 2
    try:
        graphlib.TopologicalSorter(graph).prepare()
    except graphlib.CycleError as error:
        print('include cycle: ' + ' -> '.join(reversed(error.args[1])))
        return 1
    print(f'{len(graph)} components in {args.dir}, no include cycle')
    return 0


if __name__ == '__main__':
    sys.exit(main())
