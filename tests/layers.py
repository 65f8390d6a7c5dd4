#!/usr/bin/env python3
"""The launcher's sources in layers: every include goes to the same layer or
a lower one, and no files need each other, directly or around a loop (a
header and its source count as one file). Prints each breach; exits 1 on any.

    tests/layers.py SRC_DIR
"""
import os
import re
import sys

# Lowest first. A module is a path under src/ without its extension; the
# first pattern that matches it gives its layer.
LAYERS = [
    ("platform", r"platform/"),
    ("state and text", r"core/(launcher_config|text_buffer)$"),
    ("reporting", r"report/"),
    ("entry point", r"core/(launcher|entry)$"),
    ("core", r"core/"),
    ("java side", r"java/"),
    ("runtime", r"runtime/"),
    ("services", r"service/"),
]
RANK = {"platform": 0, "state and text": 1, "reporting": 2, "core": 3, "java side": 4,
        "runtime": 5, "services": 6, "entry point": 7}


def layer(module):
    for name, pattern in LAYERS:
        if re.match(pattern, module):
            return name
    raise SystemExit(f"{module}: in no layer")


def includes(src):
    edges = {}
    for folder, _, files in os.walk(src):
        for name in files:
            if not name.endswith((".h", ".cpp")):
                continue
            path = os.path.join(folder, name)
            module = os.path.splitext(os.path.relpath(path, src))[0]
            targets = edges.setdefault(module, set())
            with open(path, encoding="utf-8") as f:
                for line in f:
                    m = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
                    if m and os.path.splitext(m.group(1))[0] != module:
                        targets.add(os.path.splitext(m.group(1))[0])
    return edges


def main(src):
    edges = includes(src)
    breaches = []
    for module, targets in sorted(edges.items()):
        for target in sorted(targets):
            if target in edges and RANK[layer(target)] > RANK[layer(module)]:
                breaches.append(f"{module} ({layer(module)}) includes {target} ({layer(target)}), a higher layer")
    # Loops: a depth-first walk that meets a module still on its path.
    state = {}

    def visit(module, path):
        state[module] = "open"
        for target in sorted(edges.get(module, ())):
            if state.get(target) == "open":
                loop = path[path.index(target):] + [target]
                breaches.append("files that need each other: " + " -> ".join(loop))
            elif target in edges and target not in state:
                visit(target, path + [target])
        state[module] = "done"

    for module in sorted(edges):
        if module not in state:
            visit(module, [module])
    for breach in breaches:
        print(breach)
    return 1 if breaches else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
