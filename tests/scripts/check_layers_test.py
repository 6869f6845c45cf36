#!/usr/bin/env python3
"""The layer check passes the real tree and refuses includes against the arrows."""
import pathlib
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[2]
CHECK = ROOT / "scripts" / "lib" / "check_layers.py"

# (file, include, refused)
CASES = [
    ("platform/a.cpp", '#include "driver/os_class.h"', True),  # upward
    ("integration/b.cpp", '#include "identity/principal.h"', True),  # sideways
    ("removal/c.h", '  #  include "integration/firefox.h"', True),
    ("tools/d.cpp", '#include "platform/text.h"', True),  # no layer
    ("driver/e.cpp", '#include "removal/earlier_software.h"', False),
    ("driver/f.cpp", '#include "resources/resource_ids.h"', False),
    ("identity/g.cpp", '#include "platform/account.h"', False),
    ("integration/h.cpp", '#include "site_constants.h"', False),
    ("platform/i.cpp", '#include <windows.h>', False),
]


def run(src):
    return subprocess.run([sys.executable, str(CHECK), str(src)], capture_output=True, text=True)


def main():
    failures = []
    real = run(ROOT / "src")
    if real.returncode != 0:
        failures.append("the product's own tree:\n" + real.stdout)
    for file, include, refused in CASES:
        with tempfile.TemporaryDirectory() as tmp:
            path = pathlib.Path(tmp) / file
            path.parent.mkdir(parents=True)
            path.write_text("// x\n" + include + "\n")
            result = run(tmp)
            if (result.returncode != 0) != refused or (refused and f"{file}:" not in result.stdout):
                failures.append(f"{file} with {include!r}: exit {result.returncode}\n{result.stdout}")
    for failure in failures:
        print("FAILED:", failure)
    print(f"{len(CASES) + 1 - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
