#!/usr/bin/env python3
"""Fails when the components of a source directory include each other in a cycle.

A component is a header and its source (Basekit/KLogger.h and Basekit/KLogger.cpp): a cycle
through a .cpp file couples the layers just as much as one through headers, so both count.

    include_cycles.py [--root DIR] [--dir Basekit]

Prints each cycle as "A -> B -> ... -> A" and exits 1; prints a summary and exits 0 otherwise.
"""
import argparse
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)
SUFFIXES = ('.h', '.hpp', '.cpp', '.cc')


def component(path):
    return os.path.splitext(path)[0]


def read_graph(root, directory):
    """Edges between components of directory, named relative to root."""
    graph = {}
    prefix = directory.rstrip('/') + '/'
    for base, _, files in os.walk(os.path.join(root, directory)):
        for name in files:
            if not name.endswith(SUFFIXES):
                continue
            full = os.path.join(base, name)
            node = component(os.path.relpath(full, root))
            targets = graph.setdefault(node, set())
            with open(full, encoding='utf-8', errors='replace') as source:
                for included in INCLUDE.findall(source.read()):
                    if included.startswith(prefix) and component(included) != node:
                        targets.add(component(included))
    return graph


def strongly_connected(graph):
    """Tarjan's components, iteratively (deep include chains must not hit the recursion limit)."""
    index, low, on_stack, stack, found = {}, {}, set(), [], []
    counter = 0
    for start in sorted(graph):
        if start in index:
            continue
        work = [(start, iter(sorted(graph.get(start, ()))))]
        index[start] = low[start] = counter
        counter += 1
        stack.append(start)
        on_stack.add(start)
        while work:
            node, children = work[-1]
            advanced = False
            for child in children:
                if child not in index:
                    index[child] = low[child] = counter
                    counter += 1
                    stack.append(child)
                    on_stack.add(child)
                    work.append((child, iter(sorted(graph.get(child, ())))))
                    advanced = True
                    break
                if child in on_stack:
                    low[node] = min(low[node], index[child])
            if advanced:
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[node])
            if low[node] == index[node]:
                members = []
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    members.append(member)
                    if member == node:
                        break
                if len(members) > 1:
                    found.append(sorted(members))
    return found


def one_cycle(graph, members):
    """A shortest path from the first member back to itself inside its component."""
    inside = set(members)
    start = members[0]
    previous = {start: None}
    queue = [start]
    for node in queue:
        for child in sorted(graph.get(node, ())):
            if child == start:
                path = [node]
                while previous[path[-1]] is not None:
                    path.append(previous[path[-1]])
                return list(reversed(path)) + [start]
            if child in inside and child not in previous:
                previous[child] = node
                queue.append(child)
    return members + [start]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--root', default=os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..')))
    parser.add_argument('--dir', default='Basekit')
    args = parser.parse_args()
    graph = read_graph(args.root, args.dir)
    if not graph:
        print(f'no sources under {os.path.join(args.root, args.dir)}', file=sys.stderr)
        return 2
    cycles = strongly_connected(graph)
    for members in cycles:
        print(f'include cycle of {len(members)} components: ' + ' -> '.join(one_cycle(graph, members)))
    if cycles:
        return 1
    print(f'{len(graph)} components in {args.dir}, no include cycle')
    return 0


if __name__ == '__main__':
    sys.exit(main())
