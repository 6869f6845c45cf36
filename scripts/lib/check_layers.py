#!/usr/bin/env python3
"""Checks that the product's includes follow its layers.

driver/ may include removal/, identity/, integration/ and platform/ (and the
resource ids); removal/, identity/ and integration/ may include platform/
only; platform/ includes nothing above itself. An include against these
arrows is printed with its file and line, and the check fails.

    python3 scripts/lib/check_layers.py [SRC]      (default: src/ of this repository)
"""
import pathlib
import re
import sys

# What each folder of src/ may include, besides itself.
ALLOWED = {
    "driver": {"removal", "identity", "integration", "platform", "resources"},
    "removal": {"platform"},
    "identity": {"platform"},
    "integration": {"platform"},
    "platform": set(),
    "resources": set(),
}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"/]+)/[^"]*"')


def violations(src):
    """One "file:line: what" text for each include against the arrows."""
    found = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp", ".rc") or not path.is_file():
            continue
        layer = path.relative_to(src).parts[0]
        allowed = ALLOWED.get(layer)
        if allowed is None:
            found.append(f"{path}:1: {layer}/ is no layer (src/ holds {', '.join(sorted(ALLOWED))})")
            continue
        for number, line in enumerate(path.read_text(encoding="latin-1").splitlines(), 1):
            match = INCLUDE.match(line)
            if match and match.group(1) != layer and match.group(1) not in allowed:
                may = ", ".join(sorted(allowed)) or "nothing outside itself"
                found.append(f"{path}:{number}: {layer}/ must not include {match.group(1)}/ "
                             f"({layer}/ may include {may})")
    return found


def main(argv):
    src = pathlib.Path(argv[1] if len(argv) > 1 else pathlib.Path(__file__).resolve().parents[2] / "src")
    found = violations(src)
    for text in found:
        print(text)
    print(f"layer check: {'FAILED, ' + str(len(found)) + ' include(s) against the arrows' if found else 'passed'}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
