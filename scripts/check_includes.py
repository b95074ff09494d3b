#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks the library's include graph (sockscope/): tiers and cycles.

The library's sources live in three tiers, each a folder of sockscope/src:

  core/   pure code: row types, parsers, conversions, records. No header
          that makes system calls, nothing from the tiers above.
  linux/  every system call (linux/bpf/ included).
  api/    the public members and the pipeline that joins the tiers.

A file includes files of its own tier or of a tier below, never above, and
no two modules (a header and its source file) include each other, directly
or through others. The public header (include/sockscope/) may be included
anywhere.

Prints a summary; exits 1, naming each fault, when a rule is broken.
"""
import os
import re
import sys

TIERS = {"core": 0, "linux": 1, "api": 2}
# Headers that exist to make system calls: not in core.
SYSTEM_CALL_HEADERS = re.compile(
    r"^(unistd\.h|fcntl\.h|dirent\.h|dlfcn\.h|poll\.h|pthread\.h|sched\.h|signal\.h|csignal|thread|"
    r"net/if\.h|sys/(socket|stat|mman|syscall|ioctl|prctl|wait|resource|time|epoll)\.h)$")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def main(root):
    src = os.path.join(root, "sockscope", "src")
    files = {}
    for folder, _, names in os.walk(src):
        for name in names:
            if name.endswith((".h", ".cpp", ".c")):
                path = os.path.relpath(os.path.join(folder, name), src)
                files[path] = path.split(os.sep)[0]
    faults = []
    edges = {}
    upward = 0
    for path, tier in sorted(files.items()):
        if tier not in TIERS:
            faults.append(f"{path}: outside the tiers ({', '.join(TIERS)})")
            continue
        edges[path] = []
        with open(os.path.join(src, path), encoding="utf-8") as text:
            for number, line in enumerate(text, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                quoted, target = match.group(1) == '"', match.group(2)
                if not quoted:
                    if tier == "core" and SYSTEM_CALL_HEADERS.match(target):
                        faults.append(f"{path}:{number}: core includes <{target}>, a header of system calls")
                    continue
                if target not in files:
                    sibling = os.path.normpath(os.path.join(os.path.dirname(path), target))
                    if sibling not in files:
                        continue  # a generated file (the BPF skeleton, vmlinux.h)
                    target = sibling
                edges[path].append(target)
                if TIERS[files[target]] > TIERS[tier]:
                    upward += 1
                    faults.append(f"{path}:{number}: {tier} includes {target}, a tier above")
    # Modules: a header and its source file are one node.
    modules = {}
    for path, targets in edges.items():
        module = os.path.splitext(path)[0]
        modules.setdefault(module, set()).update(
            os.path.splitext(target)[0] for target in targets if os.path.splitext(target)[0] != module)
    cycles = find_cycles({module: sorted(targets) for module, targets in modules.items()})
    for cycle in cycles:
        faults.append("include circle: " + " -> ".join(cycle))
    counts = {tier: sum(1 for t in files.values() if t == tier) for tier in TIERS}
    print(f"{len(files)} files ({', '.join(f'{n} {t}' for t, n in counts.items())}), "
          f"{sum(len(e) for e in edges.values())} includes, {upward} up a tier, {len(cycles)} circles of modules")
    for fault in faults:
        print("  " + fault)
    return 1 if faults else 0


def find_cycles(edges):
    cycles, state, stack = [], {}, []

    def visit(node):
        state[node] = "open"
        stack.append(node)
        for target in edges.get(node, []):
            if state.get(target) == "open":
                cycles.append(stack[stack.index(target):] + [target])
            elif target not in state:
                visit(target)
        stack.pop()
        state[node] = "done"

    for node in sorted(edges):
        if node not in state:
            visit(node)
    return cycles


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")))
