#!/usr/bin/env python3
"""Runs kestrup.exe once on a throwaway Wine machine and reports what it changed.

    python3 lab/demo.py --build build/windows [--windows winxp] [--switches /ReallySilent] [--package ok]

The machine: a fresh 64-bit Wine prefix set to the chosen Windows version,
with kestrup.exe and the lab's Kerberos for Windows package in
C:\\Kestrup Setup\\. The report lists the registry values added, changed or
removed (both views; Wine's own housekeeping left out), the files written,
the programs started (the lab stubs' records), the message boxes shown,
restart or log-off requests, and the exit value.
"""

import argparse
import os
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import changes, host, packages, scenario, trace  # noqa: E402
from harness.display import Screen  # noqa: E402
from harness.wine import PROGRAM_DIR_WIN, make_template  # noqa: E402

SHOW = {0: "SW_HIDE", 1: "SW_SHOWNORMAL", 2: "SW_SHOWMINIMIZED", 3: "SW_SHOWMAXIMIZED", 7: "SW_SHOWMINNOACTIVE"}
EXIT = {0: "stopped", 1: "completed, or a restart or log-off was requested"}
EWX = {3: "restart (EWX_SHUTDOWN | EWX_REBOOT)", 4: "log-off (EWX_LOGOFF | EWX_FORCE)"}


def win_path(rel):
    return "C:\\" + rel.replace("/", "\\")


def report(args, rc, seen, trace_text, reg_changes, file_changes, stubs, outcome, artefacts):
    p = print
    p()
    p("Kestrup lab report: kestrup.exe %s on a throwaway %s machine (Wine)" % (args.switches or "(no switch)", args.windows))
    p("  program directory %s with kestrup.exe and kfw_release.msi (the lab's '%s' package)" % (PROGRAM_DIR_WIN, args.package))
    p("  exit value: %s%s" % (rc, " (%s)" % EXIT[rc] if rc in EXIT else ""))
    p()
    boxes = trace.message_boxes(trace_text)
    p("Message boxes shown by the program (%d):" % len(boxes))
    for b in boxes:
        p("  [%s] style 0x%x: %s" % (b.title, b.style, b.text.replace("\n", "\\n")))
    others = [t for t in seen if t not in [b.title for b in boxes]]
    for t in others:
        p("  other window: %s" % t)
    p()
    installer = [c for c in reg_changes if changes._is(c[1], changes.INSTALLER_KEYS)]
    own = [c for c in reg_changes if c not in installer]
    p("Registry values added, changed or removed (%d):" % len(own))
    for hive, key, name, old, new in own:
        path, view = changes.view_of(hive, key)
        where = '%s  "%s"%s' % (path, name or "(default)", "  [%s]" % view if view else "")
        if old is None:
            p("  + %s = %s" % (where, new.show()))
        elif new is None:
            p("  - %s (was %s)" % (where, old.show()))
        else:
            p("  ~ %s = %s (was %s)" % (where, new.show(), old.show()))
    if installer:
        p("  (and %d values of Windows Installer's own records of the package, not listed)" % len(installer))
    p()
    p("Files added, changed or removed (%d):" % len(file_changes))
    for kind, rel, size in file_changes:
        p("  %s %s (%d bytes)" % ({"added": "+", "changed": "~", "removed": "-"}[kind], win_path(rel), size))
    p()
    p("Programs started (lab stub records):")
    if not any(stubs.values()):
        p("  none")
    for name, recs in stubs.items():
        for r in recs:
            show = int(r.get("showwindow", "0"))
            how = ("%s (%d) asked through STARTF_USESHOWWINDOW" % (SHOW.get(show, "?"), show)
                   if r.get("useshowwindow") == "1" else "no show state asked")
            p("  %s: command line %s; %s; current directory %s" % (name, r.get("cmdline"), how, r.get("cwd")))
    p()
    ewx = trace.calls(trace_text, "user32.ExitWindowsEx")
    p("Restart and log-off requests: %s" % (", ".join(
        "ExitWindowsEx(%s) %s" % (a, EWX.get(int(a.split(",")[0], 16), "")) for a in ewx) or "none"))
    for problem in outcome.problems:
        p("Note: %s" % problem)
    p()
    p("Artefacts (Wine's trace, registry files before and after, screenshots): %s" % artefacts)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default="build/windows")
    ap.add_argument("--out", default="build/lab/demo")
    ap.add_argument("--windows", default="winxp", help="Wine's Windows version name (winxp, vista, win7, ...)")
    ap.add_argument("--switches", default="/ReallySilent")
    ap.add_argument("--package", default="ok", choices=list(packages.PACKAGES) + ["none"])
    ap.add_argument("--exe", help="another kestrup.exe to try (a site build)")
    args = ap.parse_args()

    kestrup = args.exe or os.path.join(args.build, "kestrup.exe")
    out = os.path.abspath(args.out)
    artefacts = os.path.join(out, "artefacts")
    try:
        print("lab: " + host.check_ready(kestrup), flush=True)
        built = packages.build(os.path.join(args.build, "lab", "stubs"), os.path.join(out, "packages"))
        template = os.path.join(out, "template")
        print("lab: making a fresh Wine machine ...", flush=True)
        make_template(template, os.path.join(out, "template.log"))
    except (host.LabUnavailable, FileNotFoundError, RuntimeError) as e:
        print("lab: cannot run: %s" % e)
        return 1

    shutil.rmtree(artefacts, ignore_errors=True)
    os.makedirs(os.path.join(artefacts, "before"))
    pkg = None if args.package == "none" else built[args.package]
    pfx = scenario.prepare_prefix(template, os.path.join(out, "machine"), args.windows, pkg,
                                  os.path.abspath(kestrup), [], os.path.join(artefacts, "setup.reg"))
    screen = Screen()
    outcome = scenario.Outcome("demo")
    try:
        for f in ("system.reg", "user.reg"):
            shutil.copy(os.path.join(pfx.path, f), os.path.join(artefacts, "before"))
        files_before = changes.file_snapshot(pfx.drive_c())
        print("lab: running kestrup.exe %s ..." % args.switches, flush=True)
        t0 = time.time()
        rc, seen, trace_text = scenario.run_kestrup(pfx, args.switches, screen, artefacts, [], [], 240, outcome)
        pfx.end_session()
        print("lab: the run took %.0f s" % (time.time() - t0))
        for f in ("system.reg", "user.reg"):
            shutil.copy(os.path.join(pfx.path, f), artefacts)
        reg = changes.registry_changes(os.path.join(artefacts, "before"), artefacts)
        files = changes.file_changes(files_before, changes.file_snapshot(pfx.drive_c()))
        stubs = {}
        if os.path.isdir(pfx.drive_c("lab")):
            for f in sorted(os.listdir(pfx.drive_c("lab"))):
                if f.endswith(".log"):
                    stubs[f[:-4]] = scenario.read_stub_records(pfx, f[:-4])
                    shutil.copy(os.path.join(pfx.drive_c("lab"), f), artefacts)
        files = [c for c in files if not c[1].replace(os.sep, "/").startswith("lab/")]
        report(args, rc, seen, trace_text, reg, files, stubs, outcome, artefacts)
    finally:
        screen.close()
        pfx.dispose()
    return 0 if rc is not None else 1


if __name__ == "__main__":
    sys.exit(main())
