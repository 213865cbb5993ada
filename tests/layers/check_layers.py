#!/usr/bin/env python3
"""Checks that every project include points down the layers and that no
files include each other in a circle.

A file's layer is its top folder: platform < dedup < codec < app.  A file may
include headers of its own layer and of the layers below, except that the
front end reaches the engine only through the codec.  A header and its
source file count as one unit (dedup/chunker.h with dedup/chunker.cpp), so a
circle through two units' headers is caught even when no single file includes
itself.  Prints each fault and exits 1 if there is any.
"""
import os
import re
import sys

LAYERS = ["platform", "dedup", "codec", "app"]
MAY_INCLUDE = {
    "platform": {"platform"},
    "dedup": {"dedup", "platform"},
    "codec": {"codec", "dedup", "platform"},
    "app": {"app", "codec", "platform"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def units(root):
    found = {}
    for layer in LAYERS:
        for base, _, names in os.walk(os.path.join(root, layer)):
            for name in names:
                if name.endswith((".h", ".cpp")):
                    path = os.path.relpath(os.path.join(base, name), root)
                    found[path] = os.path.splitext(path)[0]
    return found


def main(root):
    files = units(root)
    faults = []
    edges = {}
    for path, unit in sorted(files.items()):
        layer = path.split("/")[0]
        with open(os.path.join(root, path), encoding="utf-8") as f:
            text = f.read()
        for target in INCLUDE.findall(text):
            top = target.split("/")[0]
            if top not in LAYERS:
                continue
            if target not in files:
                faults.append(f"{path}: includes {target}, which does not exist")
                continue
            if top not in MAY_INCLUDE[layer]:
                faults.append(f"{path}: includes {target}, which {layer}/ may not use")
            if files[target] != unit:
                edges.setdefault(unit, set()).add(files[target])

    # Circles: a depth-first walk that meets a unit still on its path.
    state = {}
    path_stack = []

    def walk(u):
        state[u] = 1
        path_stack.append(u)
        for v in sorted(edges.get(u, ())):
            if state.get(v) == 1:
                circle = path_stack[path_stack.index(v):] + [v]
                faults.append("circle: " + " -> ".join(circle))
            elif v not in state:
                walk(v)
        path_stack.pop()
        state[u] = 2

    for u in sorted(set(files.values())):
        if u not in state:
            walk(u)

    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")))
