#!/usr/bin/env python3
"""Checks that each library includes only Qt headers of the modules it links,
and that the map of the libraries (docs/libraries.svg) is the build's.

    scripts/layers.py BUILD/layers.json [docs/libraries.svg]

Qt's include root is on every library's path, so `#include <QWidget>` builds
in a file of a library that links Qt Core alone; the libraries' own include
trees stop a wrong include of ours, this stops a wrong include of Qt's. A
library sees the modules it links and those its libraries link publicly.
The map must link what the build links, path for path (it leaves out the
links a longer path shows); scripts/libraries-map.sh draws it again.
Prints each fault and exits 1; exits 0 when there is none.
"""
import html
import json
import os
import re
import sys

# What each Qt module brings in with it.
QT_IMPLIES = {"Qt6::Widgets": ["Qt6::Gui"], "Qt6::Gui": ["Qt6::Core"],
              "Qt6::Network": ["Qt6::Core"], "Qt6::Test": ["Qt6::Core"]}
INCLUDE = re.compile(r'^\s*#\s*include\s*<(?:(Qt\w+)/)?(Q\w+)>', re.M)


def plain(links):
    """A link list without the link-only entries of a static library's interface."""
    return [link for link in links if link and not link.startswith("$<")]


def reach(edges):
    """Every library each one reaches by its links, directly or not."""
    closure = {}
    for start in edges:
        seen, pending = set(), list(edges[start])
        while pending:
            name = pending.pop()
            if name not in seen:
                seen.add(name)
                pending += edges.get(name, [])
        closure[start] = seen
    return closure


def map_faults(libraries, svg_path):
    """Where the drawn map and the build's links differ."""
    svg = open(svg_path, encoding="utf-8").read()
    labels = dict(re.findall(r'<title>(node\d+)</title>\s*<\S+[^>]*>\s*<text[^>]*>([^<]+)</text>', svg))
    drawn = {label: [] for label in labels.values()}
    for tail, head in re.findall(r'<title>(node\d+)&#45;&gt;(node\d+)</title>', svg):
        drawn.setdefault(labels.get(tail, tail), []).append(labels.get(head, head))
    built = {name: [link for link in plain(library["LINK_LIBRARIES"]) if link in libraries]
             for name, library in libraries.items()}
    drawn_reach, built_reach = reach(drawn), reach(built)
    faults = []
    for name in sorted(set(drawn) | set(built)):
        on_map, in_build = drawn_reach.get(name, set()), built_reach.get(name, set())
        if name not in drawn:
            faults.append(f"{svg_path}: {name} is not on the map")
        elif name not in built:
            faults.append(f"{svg_path}: {name} is on the map but not in the build")
        elif on_map != in_build:
            faults.append(f"{svg_path}: {name} reaches {sorted(in_build - on_map)} in the build "
                          f"and {sorted(on_map - in_build)} on the map beyond the other")
    if faults:
        faults.append("draw the map again: scripts/libraries-map.sh")
    return faults


def main(path, svg_path=None):
    layers = json.load(open(path))
    libraries, qt = layers["libraries"], layers["qt"]
    headers = {module: set(os.listdir(folder)) for module, folder in qt.items()}

    def seen(name, links_of):
        """The Qt modules a library's files may include."""
        modules, pending, visited = set(), list(links_of(name)), set()
        while pending:
            link = pending.pop()
            if link in visited:
                continue
            visited.add(link)
            if link in QT_IMPLIES or link in headers:
                modules.add(link)
                pending += QT_IMPLIES.get(link, [])
            elif link in libraries:
                pending += plain(libraries[link]["INTERFACE_LINK_LIBRARIES"])
        return modules

    def module_of(prefix, header):
        if prefix:
            return "Qt6::" + prefix[2:]
        return next((module for module, names in headers.items() if header in names), None)

    faults = 0
    for name, library in sorted(libraries.items()):
        allowed = seen(name, lambda own: plain(libraries[own]["LINK_LIBRARIES"]))
        for folder in library["TARVIK_FOLDERS"]:
            root = os.path.join(layers["source"], folder)
            for directory, _, files in os.walk(root):
                for file in sorted(files):
                    if not file.endswith((".h", ".cpp")):
                        continue
                    source = os.path.join(directory, file)
                    text = open(source, encoding="utf-8").read()
                    for match in INCLUDE.finditer(text):
                        module = module_of(match.group(1), match.group(2))
                        if module and module not in allowed:
                            line = text.count("\n", 0, match.start()) + 1
                            print(f"{os.path.relpath(source, layers['source'])}:{line}: "
                                  f"<{match.group(2)}> is {module}, which {name} does not link")
                            faults += 1
    if svg_path:
        for fault in map_faults(libraries, svg_path):
            print(fault)
            faults += 1
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
