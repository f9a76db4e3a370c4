#!/usr/bin/env python3
"""Fails when an include runs back up a layer or files include each other in a circle.

The layers of src/, bottom to top; a file may include from its own folder and
from the folders below it. Tests beside the code may also include test
support (tests/...). Run by the build (target `layers`); prints each fault.

    check-layers.py SOURCE_DIR [STAMP_FILE]
"""
import os
import re
import sys

LAYERS = [
    ["common"],
    ["platform"],
    ["runtime"],
    ["logging"],
    ["config"],
    ["directory", "hsm"],
    ["sync"],
    ["service"],
]
RANK = {folder: rank for rank, group in enumerate(LAYERS) for folder in group}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def main():
    source = sys.argv[1]
    src = os.path.join(source, "src")
    # kelvasync-check and the other tools sit above every layer; they too
    # reach the HSM through hsm/.
    tools = os.path.join(source, "tools")
    faults = []
    graph = {}
    walked = [(folder, files, False) for folder, _, files in os.walk(src)]
    walked += [(folder, files, True) for folder, _, files in os.walk(tools)]
    for folder, files, tool in walked:
        for name in files:
            if not name.endswith((".h", ".cpp")):
                continue
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, tools if tool else src).replace(os.sep, "/")
            layer = "tools" if tool else rel.split("/")[0]
            if tool:
                rel = "tools/" + rel
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
            graph[rel] = []
            for target in INCLUDE.findall(text):
                # The HSM client library is reached through hsm/ alone.
                if target in ("pelorlib.h", "kv_wire.h") and layer != "hsm":
                    faults.append("%s includes %s: the HSM is reached through hsm/" % (rel, target))
                top = target.split("/")[0]
                if top in RANK:
                    graph[rel].append(target)
                    if layer in RANK and RANK[top] > RANK[layer]:
                        faults.append("%s includes %s: %s is above %s" % (rel, target, top, layer))
                    # The platform implementations stay behind their seam.
                    if target.startswith(("platform/posix/", "platform/win32/")) and layer != "platform" \
                            and not rel.endswith("_test.cpp") and "/fuzz/" not in rel:
                        faults.append("%s includes %s, an implementation behind the seam" % (rel, target))
    # Circles among the files of src/.
    state = {}

    def visit(node, trail):
        state[node] = 1
        for child in graph.get(node, []):
            if child not in graph:
                continue
            if state.get(child) == 1:
                faults.append("include circle: " + " -> ".join(trail[trail.index(child):] + [child]))
            elif child not in state:
                visit(child, trail + [child])
        state[node] = 2

    for node in sorted(graph):
        if node not in state:
            visit(node, [node])
    for fault in faults:
        print("layers: " + fault)
    if faults:
        return 1
    if len(sys.argv) > 2:
        with open(sys.argv[2], "w") as f:
            f.write("ok\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
