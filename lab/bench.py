#!/usr/bin/env python3
"""Measures what kestrup.exe costs under Wine next to installing the package alone.

    python3 lab/bench.py --build build/windows [--compare OTHER_BUILD] [--short] [--runs 3]

Prints one Markdown table (also written to <out>/results.md): the whole run
of kestrup.exe /ReallySilent /NoHotFix against `msiexec /i kfw_release.msi /qn`
alone on an identical machine, for 1, 10, 50 and 200 local users (each with
its own hive and two Firefox profiles of 100 KB); the rewrite of one 10 MB
prefs.js against the floor of copying it three times; an event-log write
into a full log against an empty one; and the size of kestrup.exe with the
DLLs it imports. Each figure is the median of --runs runs, each on a fresh
copy of the machine. --compare measures a second build in the same runs,
interleaved, so that the two columns are comparable on a busy machine.
--short measures 1 and 10 users only. A benchmark: nothing is asserted.
"""

import argparse
import dataclasses
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import bench, host, packages  # noqa: E402
from harness.wine import make_template  # noqa: E402

BIG_PREFS = 10 << 20
SMALL_PREFS = 2_000


def log(text):
    print("bench: " + text, file=sys.stderr, flush=True)


def seconds(value):
    return "%.2f s" % value


def measure_users(n, labels, env, runs):
    """{label: Samples of kestrup.exe}, Samples of msiexec alone, on a machine of n users."""
    machine = bench.Machine("%d users" % n, users=n)
    seed = bench.Seed(machine, env["template"], os.path.join(env["work"], "users%d" % n), env["packages"],
                      env["kestrups"], env["stubs"])
    kestrup = {label: bench.Samples() for label in labels}
    msiexec = bench.Samples()
    try:
        for r in range(runs):
            for label in labels:
                run = bench.timed_command(seed, bench.kestrup_args(label))
                check(kestrup[label], run.rc, 1, "kestrup.exe (%s)" % label)
                kestrup[label].add(run.seconds, run.cpu)
            run = bench.timed_command(seed, bench.msiexec_args())
            check(msiexec, run.rc, 0, "msiexec")
            msiexec.add(run.seconds, run.cpu)
            log("%d users, run %d: %s; msiexec %.2f s" % (n, r + 1, ", ".join(
                "%s %.2f s" % (label, kestrup[label].values[-1]) for label in labels), msiexec.values[-1]))
    finally:
        seed.dispose()
    return kestrup, msiexec


def check(samples, rc, expected, what):
    if rc != expected:
        samples.problems.append("%s exited with %s, not %s" % (what, rc, expected))


def measure_pair(name, big, small, labels, env, runs, floor=False):
    """kestrup.exe on two machines that differ in one thing: {label: (big Samples, small Samples)},
    and the copy floor on the big one when asked."""
    seeds = [bench.Seed(m, env["template"], os.path.join(env["work"], "%s-%d" % (name, i)), env["packages"],
                        env["kestrups"], env["stubs"]) for i, m in enumerate((big, small))]
    result = {label: (bench.Samples(), bench.Samples()) for label in labels}
    copies = bench.Samples()
    try:
        for r in range(runs):
            for label in labels:
                for seed, samples in zip(seeds, result[label]):
                    run = bench.timed_command(seed, bench.kestrup_args(label))
                    check(samples, run.rc, 0, "kestrup.exe (%s)" % label)
                    samples.add(run.seconds, run.cpu)
            if floor:
                run = bench.timed_command(seeds[0], bench.floor_args(big))
                try:
                    copies.add(float(run.stdout.strip().splitlines()[-1]) / 1000.0)
                except (ValueError, IndexError):
                    copies.problems.append("the copy floor printed %r (exit %s)" % (run.stdout.strip(), run.rc))
            log("%s, run %d done" % (name, r + 1))
    finally:
        for seed in seeds:
            seed.dispose()
    return result, copies


def call_counts(host_build):
    """The winsim counts (kestrup_call_counts) as text, or None when that program is not built."""
    exe = os.path.join(host_build, "kestrup_call_counts")
    if not os.path.isfile(exe):
        return None
    r = subprocess.run([exe, "10"], capture_output=True, text=True)
    return r.stdout if r.returncode == 0 else None


def imports(exe):
    objdump = next((t for t in ("i686-w64-mingw32-objdump", "objdump") if shutil.which(t)), None)
    if not objdump:
        return "?"
    r = subprocess.run([objdump, "-p", exe], capture_output=True, text=True)
    return ", ".join(m.lower() for m in re.findall(r"DLL Name: (\S+)", r.stdout)) or "?"


def table(rows):
    widths = len(rows[0])
    out = ["| " + " | ".join(rows[0]) + " |", "|" + "---|" + "---:|" * (widths - 1)]
    out += ["| " + " | ".join(r) + " |" for r in rows[1:]]
    return "\n".join(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default="build/windows", help="the windows build directory (kestrup.exe, lab/stubs)")
    ap.add_argument("--compare", metavar="BUILD_DIR", help="a second windows build measured in the same runs")
    ap.add_argument("--label", default="this build", help="the name of --build's column")
    ap.add_argument("--compare-label", default="compared build", help="the name of --compare's column")
    ap.add_argument("--host-build", default="build/host", help="where kestrup_call_counts is (winsim counts)")
    ap.add_argument("--out", default="build/bench")
    ap.add_argument("--runs", type=int, default=3, help="runs per figure; the median is reported")
    ap.add_argument("--short", action="store_true", help="1 and 10 users only (a few minutes)")
    ap.add_argument("--reuse-template", action="store_true", help="reuse the template prefix of an earlier run")
    args = ap.parse_args()

    t_start = time.time()
    builds = {args.label: args.build}
    if args.compare:
        builds[args.compare_label] = args.compare
    labels = list(builds)
    out = os.path.abspath(args.out)
    work = os.path.join(out, "work")
    try:
        how = host.check_ready(os.path.join(args.build, "kestrup.exe"))
        for label, build in builds.items():
            if not os.path.isfile(os.path.join(build, "kestrup.exe")):
                raise host.LabUnavailable("%s has no kestrup.exe" % build)
        os.makedirs(work, exist_ok=True)
        stubs = os.path.join(args.build, "lab", "stubs")
        built = packages.build(stubs, os.path.join(out, "packages"))
        template = os.path.join(work, "template")
        if args.reuse_template and os.path.isdir(os.path.join(template, "drive_c")):
            log("reusing the template prefix %s" % template)
        else:
            log("template prefix made in %.0f s" % make_template(template, os.path.join(out, "template.log")))
    except (host.LabUnavailable, FileNotFoundError, RuntimeError) as e:
        print("bench: cannot run: %s" % e)
        return 1
    log(how)
    machine_line = bench.describe_host()
    env = {"template": template, "work": work, "packages": built, "stubs": stubs,
           "kestrups": {label: os.path.abspath(os.path.join(b, "kestrup.exe")) for label, b in builds.items()}}
    problems = []

    counts = [1, 10] if args.short else [1, 10, 50, 200]
    head = ["machine (Windows XP under Wine); wall-clock (processor time)", "msiexec /i kfw_release.msi /qn alone"]
    for label in labels:
        head += ["kestrup.exe /ReallySilent /NoHotFix (%s)" % label, "ratio", "own work per user"]
    rows = [head]
    for n in counts:
        kestrup, msiexec = measure_users(n, labels, env, args.runs)
        row = ["%d user%s, 2 profiles of 100 KB each" % (n, "" if n == 1 else "s"),
               "%s (%s)" % (seconds(msiexec.median), seconds(msiexec.cpu_median))]
        problems += msiexec.problems
        for label in labels:
            k = kestrup[label]
            problems += k.problems
            row += ["%s (%s)" % (seconds(k.median), seconds(k.cpu_median)),
                    "%.2f (%.2f)" % (k.median / msiexec.median, k.cpu_median / msiexec.cpu_median),
                    "%.3f s (%.3f s)" % ((k.median - msiexec.median) / n, (k.cpu_median - msiexec.cpu_median) / n)]
        rows.append(row)
    sections = [table(rows)]

    # Differences of whole runs are small next to a run's noise: these take more runs.
    pair_runs = 2 * args.runs + 1
    other = [["measure: wall-clock (processor time of kestrup.exe)"] + labels]
    big = bench.Machine("10 MB", package="none", users=1, profiles=1, prefs_bytes=BIG_PREFS)
    small = dataclasses.replace(big, prefs_bytes=SMALL_PREFS)
    prefs, floor = measure_pair("prefs", big, small, labels, env, pair_runs, floor=True)
    problems += floor.problems
    rewrite, rewrite_cpu = {}, {}
    for label in labels:
        with_big, with_small = prefs[label]
        problems += with_big.problems + with_small.problems
        rewrite[label] = with_big.median - with_small.median
        rewrite_cpu[label] = with_big.cpu_median - with_small.cpu_median
    other.append(["one 10 MB prefs.js rewritten (run with it minus run with a 2 KB one)"] +
                 ["%s (%s)" % (seconds(rewrite[label]), seconds(rewrite_cpu[label])) for label in labels])
    other.append(["floor: three plain copies of that file under the same Wine (CopyFileA)"] +
                 [seconds(floor.median) for _ in labels])
    other.append(["rewrite / floor"] + ["%.1f (%.1f)" % (rewrite[label] / floor.median,
                                                         rewrite_cpu[label] / floor.median) for label in labels])

    empty = bench.Machine("empty log", package="none")
    full = dataclasses.replace(empty, log_values=1000)
    logs, _ = measure_pair("log", full, empty, labels, env, pair_runs)
    for label in labels:
        problems += logs[label][0].problems + logs[label][1].problems
    other.append(["run that logs one event, log empty"] +
                 ["%s (%s)" % (seconds(logs[label][1].median), seconds(logs[label][1].cpu_median)) for label in labels])
    other.append(["the same run, log full (1000 values)"] +
                 ["%s (%s)" % (seconds(logs[label][0].median), seconds(logs[label][0].cpu_median)) for label in labels])
    other.append(["full minus empty"] +
                 ["%.3f s (%.3f s)" % (logs[label][0].median - logs[label][1].median,
                                       logs[label][0].cpu_median - logs[label][1].cpu_median) for label in labels])
    other.append(["kestrup.exe size"] + ["{:,} bytes".format(os.path.getsize(env["kestrups"][label]))
                                         for label in labels])
    other.append(["DLLs it imports"] + [imports(env["kestrups"][label]) for label in labels])
    sections.append(table(other))

    counted = call_counts(args.host_build)
    intro = ("Machine: %s. Each figure is the median of %d runs (%d for the differences in the second "
             "table), each on a fresh copy of the machine with Wine's session already started; the builds "
             "were measured in the same runs, interleaved. Ratios are what count: absolute times depend on "
             "the machine and its load." % (machine_line, args.runs, 2 * args.runs + 1))
    text = intro + "\n\n" + "\n\n".join(sections) + "\n"
    if counted:
        text += "\nWhat the costly steps ask of Windows, counted on winsim (the current sources):\n\n" + counted
    if problems:
        text += "\nProblems (figures above may not mean what they say):\n" + "".join("- %s\n" % p for p in problems)
    with open(os.path.join(out, "results.md"), "w") as f:
        f.write(text)
    print(text)
    log("took %.0f s; table in %s" % (time.time() - t_start, os.path.join(out, "results.md")))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
