#!/usr/bin/env python3
"""Runs kestrup.exe once on a throwaway Wine machine and reports what it changed.

    python3 lab/demo.py --build build/windows [--machine FILE] [--windows win7] [--switches /Silent]
                        [--package ok|reboot|fail|none] [--exe PATH] [--out build/lab/demo]

The machine is described by a TOML file (lab/README.md): by default
lab/machines/demo.toml, a Windows XP SP3 computer with the earlier Tessel
package, three users with Firefox profiles and an earlier Kerberos for Windows.
--windows, --switches and --package override what the file says. The file is
checked before anything runs: an unknown key, a wrong type or a missing fixture
stops here with the file, the key and what was expected. Expectations the file
gives ([[reg]], [[files]], exit, ...) are checked after the run, and what does
not hold is among the report's notes.

The report (printed, and as <out>/report.txt and <out>/report.html) lists the
windows shown in order with their photographs, what the run did topic by topic,
the registry values and files added, changed or removed (grouped by user, before
and after), the programs started, restart or log-off requests and the exit value.
"""

import argparse
import difflib
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import changes, checks, host, packages, report, scenario, schema, session, staging, trace  # noqa: E402
from harness.display import Screen  # noqa: E402
from harness.machine import LOGGED_ON_USER  # noqa: E402
from harness.wine import make_template  # noqa: E402

LAB_DIR = os.path.dirname(os.path.abspath(__file__))
DEFAULT_MACHINE = os.path.join(LAB_DIR, "machines", "demo.toml")


def win_path(rel):
    return "C:\\" + rel.replace("/", "\\")


def file_owner(rel):
    parts = rel.replace(os.sep, "/").split("/")
    return parts[1] if len(parts) > 2 and parts[0].lower() == "users" else "Machine"


def hive_owner(path):
    m = re.search(r"\\users\\([^\\]+)\\NTUSER\.DAT$", path, re.I)
    return m.group(1) if m else path


def hive_loads(trace_text):
    """{user: (loads that succeeded, unloads)} from the traced RegLoadKeyA and RegUnLoadKeyA calls."""
    loads = {}
    order = []
    for args, result in trace.calls_with_results(trace_text, "advapi32.RegLoadKeyA"):
        m = re.search(r'"((?:[^"\\]|\\.)*)"\)?$', args)
        user = hive_owner(trace.unescape_debugstr(m.group(1))) if m else "?"
        ok = result == "00000000"
        loads[user] = loads.get(user, 0) + (1 if ok else 0)
        if ok:
            order.append(user)
    unloads = {}
    results = trace.calls_with_results(trace_text, "advapi32.RegUnLoadKeyA")
    # Each unload follows its load: the program loads one hive at a time.
    for (_, result), user in zip(results, order):
        if result == "00000000":
            unloads[user] = unloads.get(user, 0) + 1
    return {u: (n, unloads.get(u, 0)) for u, n in loads.items() if n or unloads.get(u)}


def window_only(photo):
    """The photograph cut to the windows on it (the lab's screen is black elsewhere); the whole
    screen when that cannot be done."""
    cut = photo[:-4] + ".window.png"
    r = subprocess.run(["convert", photo, "-trim", "+repage", "-bordercolor", "black", "-border", "8", cut],
                       capture_output=True)
    return cut if r.returncode == 0 and os.path.isfile(cut) else photo


def prefs_texts(drive_c):
    """{path below drive_c: lines} of every Firefox prefs.js, to show what the run changed in each."""
    found = {}
    for root, _, files in os.walk(drive_c):
        for f in files:
            if f.lower() == "prefs.js":
                p = os.path.join(root, f)
                with open(p, encoding="latin-1") as fh:
                    found[os.path.relpath(p, drive_c)] = fh.read().splitlines()
    return found


def line_diff(old, new):
    """The lines removed ("- ") and added ("+ "), without the unchanged ones around them."""
    return [d for d in difflib.ndiff(old or [], new or []) if d[:2] in ("- ", "+ ")]


def collect(s, args, rc, trace_text, artefacts, before_dir, files_before, files_after, stubs, outcome,
            prefs_before=None, prefs_after=None):
    title = s.about or s.name
    if args.windows:
        title += " (run as %s)" % s.windows
    r = report.RunRecord(title=title, machine=s.path, windows=s.windows, switches=s.switches,
                         package=s.package, exit=rc, artefacts=artefacts)
    boxes = trace.message_boxes(trace_text)
    answers = {}
    for b in s.boxes:
        answers.setdefault(b.title, []).append(b.answer)
    photos = sorted(f for f in os.listdir(artefacts) if re.match(r"\d\d-.*(?<!\.window)\.png$", f))
    box_at = 0
    for photo in photos:
        title = next((t for t in args.seen if re.sub(r"\W+", "_", t) == photo[3:-4]), photo[3:-4])
        shown = report.Shown(title=title, photo=window_only(os.path.join(artefacts, photo)))
        if box_at < len(boxes) and boxes[box_at].title == title:
            shown.text, shown.style = boxes[box_at].text, boxes[box_at].style
            box_at += 1
        if answers.get(title):
            shown.answer = answers[title].pop(0)
        r.shown.append(shown)
    for b in boxes[box_at:]:
        r.shown.append(report.Shown(title=b.title, text=b.text, style=b.style))  # shown but not photographed
    for hive, key, name, old, new in changes.registry_changes(before_dir, artefacts):
        if changes._is(key, changes.INSTALLER_KEYS) and not (changes._is(key, changes.UNINSTALL_KEYS)
                                                             and (name or "").lower() == "displayname"):
            r.installer_records += 1
            continue
        path, view = changes.view_of(hive, key)
        if new is not None and old is None and report.topic_of(path) == "Installer event log":
            r.log.append(str(new.data))
        owner = "Machine" if hive == "HKLM" else LOGGED_ON_USER
        r.registry.append(report.RegChange(owner, path, view, name, old.show() if old else None,
                                           new.show() if new else None))
    for kind, rel, size in changes.file_changes(files_before, files_after):
        if rel.replace(os.sep, "/").startswith(("lab/", "lab-bin/")):  # the lab's own stubs and records
            continue
        before = files_before[rel][0] if rel in files_before else None
        after = files_after[rel][0] if rel in files_after else None
        diff = None
        if prefs_before is not None and rel in set(prefs_before) | set(prefs_after):
            diff = line_diff(prefs_before.get(rel), prefs_after.get(rel))
        r.files.append(report.FileChange(file_owner(rel), win_path(rel), kind, before, after, diff))
    r.hives = hive_loads(trace_text)
    for name, recs in stubs.items():
        for rec in recs:
            r.started.append((name, rec.get("cmdline"), report.show_state(rec), rec.get("cwd")))
    r.requests = ["ExitWindowsEx(%s) %s" % (a, report.EWX.get(int(a.split(",")[0], 16), ""))
                  for a in trace.calls(trace_text, "user32.ExitWindowsEx")]
    r.package_results = [int(ret, 16) for _, ret in trace.calls_with_results(trace_text, "msi.MsiInstallProductA")
                         if ret]
    r.drives = [re.match(r'"([^"]*)"', a).group(1) for a in trace.calls(trace_text, "mpr.WNetCancelConnection2A")
                if re.match(r'"([^"]*)"', a)]
    r.held, r.failed = outcome.held, outcome.problems
    r.notes = [n for n in outcome.notes if not n.startswith("windows seen")]
    r.run_log = staging.run_log(artefacts)
    return r


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default="build/windows")
    ap.add_argument("--out", default="build/lab/demo")
    ap.add_argument("--machine", default=DEFAULT_MACHINE, help="the machine, a TOML file (see lab/README.md)")
    ap.add_argument("--windows", help="override the machine's Windows (winxp, \"winxp sp2\", vista, win7, win10, ...)")
    ap.add_argument("--switches", help="override the machine's switches, e.g. \"/ReallySilent\"")
    ap.add_argument("--package", choices=list(packages.PACKAGES) + ["none"], help="override the machine's package")
    ap.add_argument("--exe", help="another kestrup.exe to try (a site build)")
    ap.add_argument("--check", action="store_true", help="only check the machine file and the overrides")
    ap.add_argument("--template", help="a fresh template prefix made earlier (lab/run.py's <out>/work/template)")
    args = ap.parse_args()

    try:
        m = schema.load(args.machine)
        for key in ("windows", "switches", "package"):
            if getattr(args, key) is not None:
                table = {"windows": m.windows, key: getattr(args, key)}
                setattr(m, key, getattr(schema.parse(_toml_table(table), "--" + key), key))
        s = scenario.Scenario(args.machine, machine=m)
    except schema.SchemaError as e:
        print("lab: cannot run: %s" % e)
        return 1
    if args.check:
        return 0

    kestrup = os.path.abspath(args.exe or os.path.join(args.build, "kestrup.exe"))
    out = os.path.abspath(args.out)
    artefacts = os.path.join(out, "artefacts")
    try:
        print("lab: " + host.check_ready(kestrup), flush=True)
        built = packages.build(os.path.join(args.build, "lab", "stubs"), os.path.join(out, "packages"))
        if args.template and os.path.isdir(os.path.join(args.template, "drive_c")):
            template = os.path.abspath(args.template)
        else:
            template = os.path.join(out, "template")
            print("lab: making a fresh Wine machine ...", flush=True)
            make_template(template, os.path.join(out, "template.log"))
    except (host.LabUnavailable, FileNotFoundError, RuntimeError) as e:
        print("lab: cannot run: %s" % e)
        return 1

    shutil.rmtree(artefacts, ignore_errors=True)
    before = os.path.join(artefacts, "before")
    os.makedirs(before)
    # The lab's stubs (klist, uninstallers, ...) come from the build; a site build given with --exe
    # still uses them.
    env = {"template": template, "kestrup": kestrup, "stubs": os.path.join(os.path.abspath(args.build), "lab", "stubs"),
           "packages": built, "work": out}
    print("lab: furnishing the machine: %s" % (s.about or args.machine), flush=True)
    pfx = staging.prepare(s, env, os.path.join(out, "machine"), artefacts)
    screen = Screen()
    outcome = report.Outcome("demo")
    ctx = checks.Context(outcome, pfx, staging.fills(kestrup))
    rc = None
    try:
        staging.stage(pfx, s, env, ctx.fills)
        for f in ("system.reg", "user.reg"):
            shutil.copy(os.path.join(pfx.path, f), before)
        files_before = changes.file_snapshot(pfx.drive_c())
        prefs_before = prefs_texts(pfx.drive_c())
        with staging.running(pfx, s, env, screen, artefacts):
            print("lab: running kestrup.exe %s ..." % (s.switches or "(no switch)"), flush=True)
            t0 = time.time()
            rc, seen, trace_text = session.run_kestrup(pfx, s.switches, screen, artefacts, s.boxes, s.tolerate,
                                                       s.timeout, outcome, checks.while_shown(ctx, screen),
                                                       any_order=True)
            print("lab: the run took %.0f s" % (time.time() - t0))
            ctx.rc, ctx.trace_text = rc, trace_text
            checks.run(checks.IN_SESSION, s.machine, ctx)
        pfx.end_session()
        # What the machine file itself says must hold ([[reg]], [[files]], ...), reported among the
        # notes; its [[box]] entries are answers in any order here, not a sequence to check.
        checks.run(checks.AFTER, s.machine, ctx, skip=("box",))
        for f in ("system.reg", "user.reg"):
            shutil.copy(os.path.join(pfx.path, f), artefacts)
        stubs = {}
        if os.path.isdir(pfx.drive_c("lab")):
            for f in sorted(os.listdir(pfx.drive_c("lab"))):
                if f.endswith(".log"):
                    stubs[f[:-4]] = checks.stub_records(pfx, f[:-4])
                    shutil.copy(os.path.join(pfx.drive_c("lab"), f), artefacts)
        staging.keep_artefacts(pfx, artefacts)
        args.seen = seen
        record = collect(s, args, rc, trace_text, artefacts, before, files_before,
                         changes.file_snapshot(pfx.drive_c()), stubs, outcome, prefs_before, prefs_texts(pfx.drive_c()))
    except staging.CannotStage as e:
        print("lab: cannot stage this machine here: %s" % e)
        return 1
    finally:
        screen.close()
        pfx.dispose()
    text = report.text(record)
    print(text)
    with open(os.path.join(out, "report.txt"), "w") as f:
        f.write(text)
    with open(os.path.join(out, "report.html"), "w") as f:
        f.write(report.html(record))
    print("lab: reports in %s and %s" % (os.path.join(out, "report.txt"), os.path.join(out, "report.html")))
    return 0 if rc is not None else 1


def _toml_table(table):
    """A tiny TOML text for the overrides, so that they are checked like the file's own keys."""
    return "".join('%s = "%s"\n' % (k, v.replace("\\", "\\\\").replace('"', '\\"')) for k, v in table.items())


if __name__ == "__main__":
    sys.exit(main())
