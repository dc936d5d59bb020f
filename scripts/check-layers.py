#!/usr/bin/env python3
"""Holds every #include of the library's folders to its layers, as CMakeLists.txt declares them.

    scripts/check-layers.py <source root> <layer>=<uses>[:<headers>] ...

Each argument names a layer (a folder and its static library), the layers it uses, and the bare-named
headers of the libraries it links (the platform's), e.g. "staging=service" or "util=:journalsink.h". A
file of a layer may include, in quotes: the headers of its own folder and of the layers it uses, directly
or through them; "plugin_interface.h" (include/, the host-facing header, which includes nothing of the
library); and its own bare-named headers. Anything else, a folder that no layer names among them, fails
with the file, line and include. System headers (<...>) are not looked at. The tools and the tests stand
above every layer and are not checked; include/ itself may include nothing in quotes.
"""
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def main():
    root = pathlib.Path(sys.argv[1])
    uses, bare = {}, {}
    for argument in sys.argv[2:]:
        name, _, rest = argument.partition("=")
        used, _, headers = rest.partition(":")
        uses[name] = [u for u in used.split(",") if u]
        bare[name] = {h for h in headers.split(",") if h}

    def reach(name, seen):
        for used in uses[name]:
            if used not in seen:
                seen.add(used)
                reach(used, seen)
        return seen

    faults = []
    layers = dict(uses)
    layers["include"] = []
    bare["include"] = set()
    for name in layers:
        allowed = reach(name, {name}) if name != "include" else set()
        for path in sorted((root / name).rglob("*")):
            if path.suffix not in (".h", ".cpp", ".c"):
                continue
            text = path.read_text(encoding="utf-8", errors="replace")
            for match in INCLUDE.finditer(text):
                header = match.group(1)
                folder, _, _ = header.rpartition("/")
                if name == "include":
                    ok = False
                elif folder:
                    ok = folder in allowed
                else:
                    ok = header == "plugin_interface.h" or header in bare[name] or (root / name / header).exists()
                if not ok:
                    line = text.count("\n", 0, match.start()) + 1
                    faults.append(f"{path.relative_to(root)}:{line}: #include \"{header}\" is not below layer {name}")
    for fault in faults:
        print(fault)
    if faults:
        print("check-layers: the includes above run against the layers of CMakeLists.txt", file=sys.stderr)
        return 1
    print("check-layers: every include of " + ", ".join(sorted(layers)) + " keeps to its layers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
