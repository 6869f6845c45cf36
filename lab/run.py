#!/usr/bin/env python3
"""Runs the lab scenarios (lab/scenarios/*.toml) against kestrup.exe under Wine.

    python3 lab/run.py --build build/windows [--out build/lab] [--only NAME ...] [--keep]
    python3 lab/run.py --scenario PATH [PATH ...]     (scenario files anywhere)

Prints one line per scenario and a last line "lab: N passed, M failed";
exits non-zero on any failure. Artefacts (screenshots, Wine's trace,
registry files, stub records, result.txt) go to <out>/artefacts/<scenario>/.
"""

import argparse
import os
import queue
import sys
import time
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import host, packages, scenario, schema  # noqa: E402
from harness.display import Screen  # noqa: E402
from harness.wine import make_template  # noqa: E402

LAB_DIR = os.path.dirname(os.path.abspath(__file__))
# The defaults are the repository's own, wherever the lab is run from.
REPO = os.path.dirname(LAB_DIR)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=os.path.join(REPO, "build", "windows"),
                    help="the windows build directory (kestrup.exe, lab/stubs)")
    ap.add_argument("--out", default=os.path.join(REPO, "build", "lab"),
                    help="where prefixes, packages and artefacts go")
    ap.add_argument("--only", nargs="*", help="run only scenarios whose names contain one of these")
    ap.add_argument("--skip", nargs="*", default=[], help="leave out scenarios whose names begin with one of these")
    ap.add_argument("--scenario", nargs="+", metavar="PATH", help="run these scenario files instead of lab/scenarios")
    ap.add_argument("--keep", action="store_true", help="keep each scenario's prefix (or its overlay's changes)")
    ap.add_argument("--exe", help="another kestrup.exe to run (a site or signed build); stubs still from --build")
    ap.add_argument("--template", help="an existing template prefix to use (another run's <out>/work/template)")
    ap.add_argument("--reuse-template", action="store_true", help="reuse the template prefix of an earlier run")
    ap.add_argument("--jobs", type=int, default=min(2, os.cpu_count() or 1),
                    help="scenarios run at once, each with a screen of its own (default: 2 where there are 2 cores)")
    args = ap.parse_args()

    t0 = time.time()
    try:
        if args.scenario:
            scenarios = scenario.load(args.scenario)
        else:
            scenarios = [s for s in scenario.load_all(os.path.join(LAB_DIR, "scenarios"), args.only)
                         if not s.name.startswith(tuple(args.skip))]
    except schema.SchemaError as e:
        print("lab: cannot run: %s" % e)
        print("lab: 0 passed, 1 failed")
        return 1
    kestrup = args.exe or os.path.join(args.build, "kestrup.exe")
    stubs = os.path.join(args.build, "lab", "stubs")
    try:
        print("lab: " + host.check_ready(kestrup), flush=True)
        out = os.path.abspath(args.out)
        work = os.path.join(out, "work")
        os.makedirs(work, exist_ok=True)
        built = packages.build(stubs, os.path.join(out, "packages"))
        template = os.path.abspath(args.template) if args.template else os.path.join(work, "template")
        if (args.reuse_template or args.template) and os.path.isdir(os.path.join(template, "drive_c")):
            print("lab: reusing the template prefix %s" % template, flush=True)
        else:
            secs = make_template(template, os.path.join(out, "template.log"))
            print("lab: template prefix made in %.0f s" % secs, flush=True)
    except (host.LabUnavailable, FileNotFoundError, RuntimeError) as e:
        print("lab: ERROR (the lab itself could not start; no verdict on kestrup.exe): %s" % e)
        print("lab: 0 passed, 1 failed")
        return 1

    env = {"template": template, "kestrup": os.path.abspath(kestrup), "stubs": os.path.abspath(stubs),
           "packages": built, "work": work,
           "keep": args.keep}
    # Each scenario has its own prefix and Wine server; a screen is lent to one scenario at a time,
    # so that its windows are the only ones the screen shows.
    screens = queue.Queue()
    for _ in range(max(1, args.jobs)):
        screens.put(Screen())

    def run_one(s):
        screen = screens.get()
        try:
            return scenario.run_scenario(s, env, screen, out)
        finally:
            screens.put(screen)

    passed = failed = skipped = errors = 0
    try:
        with ThreadPoolExecutor(max(1, args.jobs)) as pool:
            for o in pool.map(run_one, scenarios):  # printed in the scenarios' order
                print(o.line(), flush=True)
                passed += o.verdict == "PASS"
                failed += o.verdict == "FAIL"
                skipped += o.verdict == "SKIP"
                errors += o.verdict == "ERROR"
    finally:
        while not screens.empty():
            screens.get().close()
    print("lab: run took %.0f s; artefacts in %s" % (time.time() - t0, os.path.join(out, "artefacts")))
    if skipped:
        print("lab: %d skipped: what they need cannot be staged on this machine (see SKIP lines)" % skipped)
    if errors:
        print("lab: %d ERROR: Wine or the harness went another way, so those scenarios say nothing about "
              "kestrup.exe (see ERROR lines and each one's result.txt); they count as failed" % errors)
    print("lab: %d passed, %d failed%s" % (passed, failed + errors, ", %d skipped" % skipped if skipped else ""))
    return 0 if failed == 0 and errors == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
