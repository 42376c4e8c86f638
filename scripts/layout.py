#!/usr/bin/env python3
"""Checks the layout of the code: no folder under modules/ or platform/ holds more than 40 source
files directly, and no folder includes, through any chain of folders, a folder that includes it.
Prints each folder with its number of files and the folders it includes, lowest first; exits 1 and
names the files that tie a circle when there is one."""
import collections
import os
import re
import sys

MAX_FILES = 40
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def sources():
    found = {}
    for top in ('modules', 'platform'):
        for folder, _, names in os.walk(os.path.join(ROOT, top)):
            for name in names:
                if name.endswith(('.cpp', '.h')):
                    path = os.path.join(folder, name)
                    with open(path, errors='replace') as f:
                        found[os.path.relpath(path, ROOT)] = f.read()
    return found


def main():
    files = sources()
    # Includes name their file from the project root or from modules/.
    def resolve(name):
        return next((c for c in (name, 'modules/' + name) if c in files), None)

    count = collections.Counter(os.path.dirname(p) for p in files)
    uses = collections.defaultdict(set)
    ties = collections.defaultdict(list)
    for path, text in files.items():
        for name in INCLUDE.findall(text):
            target = resolve(name)
            if target and os.path.dirname(target) != os.path.dirname(path):
                a, b = os.path.dirname(path), os.path.dirname(target)
                uses[a].add(b)
                ties[(a, b)].append(f'{path} includes {target}')

    # Folders in layers: a folder stands above every folder it includes.
    level, placing = {}, set()
    circles = []

    def place(folder, chain):
        if folder in level:
            return level[folder]
        if folder in placing:
            circles.append(chain[chain.index(folder):] + [folder])
            return 0
        placing.add(folder)
        level[folder] = 1 + max((place(u, chain + [folder]) for u in uses[folder]), default=0)
        placing.discard(folder)
        return level[folder]

    for folder in sorted(count):
        place(folder, [])
    failed = False
    for folder in sorted(count, key=lambda f: (level[f], f)):
        too_many = count[folder] > MAX_FILES
        failed |= too_many
        print(f'{level[folder]:2d} {count[folder]:3d} {folder}' + (' (more than 40 files)' if too_many else ''))
        if uses[folder]:
            print('          uses ' + ' '.join(sorted(uses[folder])))
    for chain in circles:
        failed = True
        print('circle: ' + ' -> '.join(chain))
        for a, b in zip(chain, chain[1:]):
            for tie in ties[(a, b)]:
                print('    ' + tie)
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
