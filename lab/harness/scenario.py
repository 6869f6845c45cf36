"""Lab scenarios: one TOML file each under lab/scenarios, run against kestrup.exe.

A scenario is a machine file (schema.py) with what must hold afterwards. Running one is a
short sequence: stage the machine (staging.py), run kestrup.exe answering its boxes
(session.py) with the checks due while a box is up, the checks due in the session, the
session's end, the checks due afterwards (checks.py), and the result (report.py).
"""

import os
import re
import shutil
import time
import traceback

from . import checks, report, schema, session, staging, trace
from .machine import expand as machine_furnishings


class Scenario:
    """A scenario or machine file, checked by the schema, with its furnishings expanded into
    plain staging entries ([[setup]], [[put]], [[place]], [[preinstall]]); everything else is
    read from the file's record."""

    def __init__(self, path, machine=None):
        self.path = path
        self.name = os.path.splitext(os.path.basename(path))[0]
        m = machine if machine is not None else schema.load(path)
        setup, put, place, preinstall = machine_furnishings(m)
        for e in put + m.put + m.files:
            # Fixtures beside the file win over lab/fixtures; staging and the checks read them by path.
            for key in ("fixture", "same_as"):
                if e.get(key) is not None:
                    setattr(e, key, schema.find_fixture(e.get(key), path))
        self.machine = m
        self.setup = setup + m.setup
        self.put = put + m.put
        self.place = place + m.place
        self.preinstall = preinstall + m.preinstall
        self.boxes = m.box
        self.drives = m.drive
        self.tolerate = [re.compile(t) for t in m.tolerate]
        # dll_overrides = "mpr,msi=n,b": Wine prefers native copies of these for the run,
        # as Windows does for any DLL that is not a KnownDLL.
        self.dll_overrides = m.dll_overrides or ""

    def __getattr__(self, name):
        # about, windows, package, switches, timeout, engine, hostname, running, live, ...
        machine = self.__dict__.get("machine")
        if machine is None:
            raise AttributeError(name)
        return getattr(machine, name)


def load(paths):
    """Scenario files given by path: each checked before any runs (schema.SchemaError)."""
    refuse_unhandled()
    return [Scenario(p) for p in paths]


def load_all(directory, only=None):
    """Every scenario file is checked, also those --only leaves out: a broken one stops the lab
    before anything runs (schema.SchemaError)."""
    found = load(os.path.join(directory, n) for n in sorted(os.listdir(directory)) if n.endswith(".toml"))
    return [s for s in found if not only or any(o in s.name for o in only)]


def refuse_unhandled():
    """An expectation table that the schema reads but no check handles would pass unchecked."""
    missing = checks.unhandled()
    if missing:
        raise schema.SchemaError("the lab's checks do not handle %s: a scenario's expectations there would "
                                 "pass unchecked" % ", ".join("[[%s]]" % t for t in missing))


def run_scenario(s, env, screen, out_root):
    """env: dict with template, kestrup, packages, work (and stubs, keep)."""
    o = report.Outcome(s.name)
    t0 = time.time()
    artefacts = os.path.join(out_root, "artefacts", s.name)
    shutil.rmtree(artefacts, ignore_errors=True)
    os.makedirs(artefacts)
    pfx = None
    try:
        pfx = staging.prepare(s, env, os.path.join(env["work"], s.name), artefacts)
        ctx = checks.Context(o, pfx, staging.fills(env["kestrup"]))
        staging.stage(pfx, s, env, ctx.fills)
        ctx.fills["package_sha256"] = staging.package_sha256(pfx)
        with staging.running(pfx, s, env, screen, artefacts):
            ctx.rc, seen, ctx.trace_text = session.run_kestrup(
                pfx, s.switches, screen, artefacts, s.boxes, s.tolerate, s.timeout, o, checks.while_shown(ctx, screen),
                launcher=staging.SERVICE_LAUNCHER if s.as_service else None)
            o.exit = ctx.rc
            o.notes.append("windows seen: %s" % (", ".join(repr(t) for t in seen) or "none"))
            o.notes += trace.sides_of_the_verdict(ctx.trace_text)
            checks.run(checks.IN_SESSION, s.machine, ctx)
        if not pfx.end_session():
            o.fail("programs of the prefix still running a minute after kestrup.exe ended")
        staging.keep_artefacts(pfx, artefacts)
        name, text = staging.run_log(artefacts)
        ctx.run_log = text or ""
        # Every run leaves its own log: its last line is the exit value it ended with.
        if name is None:
            o.fail("the run left no log in C:\\windows\\Logs\\Kestrup")
        else:
            o.notes.append("run log: run-logs/%s, %d lines" % (name, text.count("\n")))
            if ctx.rc is not None and not text.rstrip().endswith("exit value %d" % ctx.rc):
                o.fail("the run log run-logs/%s does not end with exit value %d" % (name, ctx.rc))
        checks.run(checks.AFTER, s.machine, ctx)
    except staging.CannotStage as e:
        o.skipped = str(e)
    except staging.HarnessError as e:
        o.error(str(e))
    except Exception as e:  # the lab's own fault: an error of its own, not the installer's FAIL
        with open(os.path.join(artefacts, "traceback.txt"), "w") as f:
            f.write(traceback.format_exc())
        o.error("harness error: %s: %s (traceback.txt)" % (type(e).__name__, e))
    finally:
        if pfx:
            pfx.dispose(keep=env.get("keep", False))
    o.seconds = time.time() - t0
    report.write_result(os.path.join(artefacts, "result.txt"), s, o)
    return o
