"""What must hold after a run: one check per kind of expectation table, registered by its name.

Each table of a scenario that says what must hold ([[reg]], [[files]], exit, ...) is marked as
an expectation in the schema and handled by exactly one function here, registered with
@check("name"). `unhandled()` names an expectation the schema knows but no check handles: the
lab refuses to run then, so that no table is read and silently left unchecked.

Checks run in two phases: IN_SESSION while the run's Wine session is still up ([[live]]: values
that Wine resets when a session starts), AFTER once the session has ended and the prefix's
registry files are written. `while_shown` gives the checks made while a box is up.
"""

import dataclasses
import os
import re
import stat
from typing import Optional

from . import display, firefox, schema, trace
from .regfile import TYPE_CODES, Registry
from .schema import fill

INSTALLER_LOG = "HKLM\\Software\\Halvern\\Kestrup\\InstallerLog"
IN_SESSION, AFTER = "in the session", "after the session"

CHECKS = {}  # table name -> (phase, function(ctx, the table's value))


def check(table, phase=AFTER):
    def register(fn):
        if table in CHECKS:
            raise ValueError("two checks for [[%s]]" % table)
        CHECKS[table] = (phase, fn)
        return fn
    return register


def unhandled():
    """Expectation tables of the schema that no check handles (and checks of no such table)."""
    known = set(schema.expectations())
    return sorted(known.symmetric_difference(CHECKS))


@dataclasses.dataclass
class Context:
    """What the checks read: the outcome they report to, the prefix, the texts' placeholders
    and, once the run is over, its exit value, trace and registry."""
    outcome: object
    pfx: object
    fills: dict
    rc: Optional[int] = None
    trace_text: str = ""
    reg: Optional[Registry] = None
    run_log: str = ""  # the run's own log, once the run is over

    def fail(self, text):
        self.outcome.fail(text)


def run(phase, machine, ctx, skip=()):
    if phase == AFTER:
        ctx.reg = Registry(ctx.pfx.path)
        inst = ctx.reg.value("HKLM\\Software\\MIT\\Kerberos", "InstallDir", 32)
        if inst is not None and isinstance(inst.data, str):
            ctx.fills["InstallDir"] = inst.data
    for table, (at, fn) in CHECKS.items():
        if at != phase or table in skip:
            continue
        want = getattr(machine, table)
        if want is None or want == []:
            continue
        # Each entry on its own where entries stand alone, so that what held is told entry by entry;
        # the boxes (an order) and the log (the whole of it) as one.
        alone = isinstance(want, list) and table not in ("box", "log")
        for entry in (want if alone else [want]):
            before = len(ctx.outcome.problems)
            fn(ctx, [entry] if alone else entry)
            if len(ctx.outcome.problems) == before:
                ctx.outcome.held.append(_said(table, entry))


def _said(table, entry):
    """An expectation as one line, for the list of those that held."""
    if not dataclasses.is_dataclass(entry):
        return "%s = %r" % (table, entry)
    name = next((entry.get(k) for k in ("key", "path", "stub", "function", "title") if entry.get(k)), "")
    detail = " %r" % entry.get("name") if entry.get("name") else ""
    return "[[%s]] %s%s" % (table, name, detail)


def _show(data):
    return repr(data) if not isinstance(data, int) else "%d (0x%x)" % (data, data)


# ---- while a box is up --------------------------------------------------------------------

def while_shown(ctx, screen):
    """The checks made while a window is up (its [[box.check]] values and no_colour areas), as
    the session's on_box callback."""
    def on_box(box, wid, photo):
        for expectation in box.get("check", []):
            live_value(ctx, expectation, "while %r is shown" % box["title"])
        if "no_colour" in box:
            no_colour(ctx, screen, wid, photo, box)
    return on_box


def no_colour(ctx, screen, wid, photo, box):
    """Areas of a dialog that only text and buttons (greys) may cover, so that a picture that
    outgrows its place shows: no_colour = [[x0, y0, x1, y1], ...] in dialog units of a dialog
    whose client area is units = [width, height], scaled to the window."""
    g = screen.geometry(wid)
    if g is None:
        ctx.fail("no geometry for window %r" % box["title"])
        return
    x, y, w, h = g
    uw, uh = box["units"]
    for x0, y0, x1, y1 in box["no_colour"]:
        px0, py0 = x + round(x0 * w / uw), y + round(y0 * h / uh)
        px1, py1 = x + round(x1 * w / uw), y + round(y1 * h / uh)
        stray = display.coloured_pixels(photo, (px0, py0, px1 - px0, py1 - py0))
        if stray:
            sx, sy, c = stray[0]
            ctx.fail("window %r: %d coloured pixels in dialog units %s, the first at %.0f,%.0f rgb%s "
                     "(window %dx%d px)" % (box["title"], len(stray), [x0, y0, x1, y1],
                                            (sx - x) * uw / w, (sy - y) * uh / h, c, w, h))


def live_value(ctx, expectation, when):
    """A value asked of Wine's running server."""
    view = int(expectation.get("view", 32))
    got = ctx.pfx.reg_query(expectation["key"], expectation["name"], view)
    where = "%s %r" % (expectation["key"], expectation["name"])
    if expectation.get("absent"):
        if got is not None:
            ctx.fail("%s is present %s: %s" % (where, when, got))
        return
    if got is None:
        ctx.fail("%s is missing %s" % (where, when))
        return
    want = expectation["data"]
    shown = "0x%x" % want if expectation.get("type") == "REG_DWORD" else str(want)
    if got != (expectation.get("type", "REG_SZ"), shown):
        ctx.fail("%s is %s %s, expected %s %s" % (where, got[0], got[1], expectation.get("type", "REG_SZ"), shown))


# ---- in the session ----------------------------------------------------------------------

@check("live", IN_SESSION)
def check_live(ctx, expectations):
    for expectation in expectations:
        live_value(ctx, expectation, "after the run, in its session")


# ---- after the session -------------------------------------------------------------------

@check("exit")
def check_exit(ctx, want):
    if want is not None and ctx.rc != want:
        ctx.fail("exit value %s, expected %d" % (ctx.rc, want))


@check("box")
def check_boxes_traced(ctx, boxes):
    """Every traced box in order with its title, text and style, without an owner window; and
    no MessageBoxA call beyond them."""
    traced = [b for b in boxes if b.get("traced", True)]
    calls = trace.message_boxes(ctx.trace_text)
    for i, box in enumerate(traced):
        if i >= len(calls):
            ctx.fail("MessageBoxA for %r not seen in the trace" % box["title"])
            continue
        c = calls[i]
        if not c.title_matches(box["title"]):
            ctx.fail("box %d: title %r, expected %r" % (i + 1, c.title, box["title"]))
        if "text" in box and not c.text_matches(fill(box["text"], ctx.fills)):
            ctx.fail("box %r: text %r, expected %r" % (box["title"], c.text, fill(box["text"], ctx.fills)))
        if "style" in box and c.style != box["style"]:
            ctx.fail("box %r: style 0x%x, expected 0x%x" % (box["title"], c.style, box["style"]))
        if c.owner != 0:
            ctx.fail("box %r has an owner window" % box["title"])
    for c in calls[len(traced):]:
        ctx.fail("MessageBoxA %r not expected (%r)" % (c.title, c.text[:80]))


def value(ctx, expectation, absent=False):
    view = int(expectation.get("view", 32))
    v = ctx.reg.value(expectation["key"], expectation["name"], view)
    where = "%s %r (%d-bit view)" % (expectation["key"], expectation["name"], view)
    if absent or expectation.get("absent"):
        if v is not None:
            ctx.fail("%s is present after the run: %s" % (where, v.show()))
        return
    if v is None:
        ctx.fail("%s is missing after the run" % where)
        return
    want_type = TYPE_CODES[expectation.get("type", "REG_SZ")]
    want = expectation["data"]
    if isinstance(want, str):
        want = fill(want, ctx.fills)
    if v.type != want_type or v.data != want:
        ctx.fail("%s is %s, expected %s %s" % (where, v.show(), expectation.get("type", "REG_SZ"), _show(want)))
    # ansi_size: the byte count a program's RegQueryValueExA reports for a text value (Wine keeps
    # the text in UTF-16, twice as many bytes).
    if "ansi_size" in expectation and (v.size is None or v.size != 2 * expectation["ansi_size"]):
        ctx.fail("%s holds %s bytes in UTF-16, expected %d (%d ANSI bytes)" % (
            where, v.size, 2 * expectation["ansi_size"], expectation["ansi_size"]))


@check("reg")
def check_reg(ctx, expectations):
    for expectation in expectations:
        value(ctx, expectation)


@check("absent")
def check_absent(ctx, expectations):
    for expectation in expectations:
        value(ctx, expectation, absent=True)


@check("log")
def check_log(ctx, entries):
    """The installer log holds exactly these entries, as values "0", "1", ..."""
    if entries is None:
        return
    key = ctx.reg.key(INSTALLER_LOG, 32)
    got = {} if key is None else {v.name: v for v in key.values()}
    want = {str(i): fill(t, ctx.fills) for i, t in enumerate(entries)}
    for name, text in want.items():
        v = got.get(name)
        if v is None:
            ctx.fail("installer log value %r missing (expected %r)" % (name, text))
        elif v.type != TYPE_CODES["REG_SZ"] or v.data != text:
            ctx.fail("installer log value %r is %s, expected REG_SZ %r" % (name, v.show(), text))
    for name in sorted(set(got) - set(want)):
        ctx.fail("installer log value %r not expected: %s" % (name, got[name].show()))


def stub_records(pfx, stub):
    """What a stub program recorded of each start (lab/stubs/recorder.c), in order."""
    path = pfx.stub_log(stub)
    if not os.path.exists(path):
        return []
    records, cur = [], None
    with open(path, encoding="latin-1", newline="") as f:
        for line in f.read().split("\r\n"):
            if line == "[start]":
                cur = {}
            elif line == "[end]" and cur is not None:
                records.append(cur)
                cur = None
            elif cur is not None and "=" in line:
                k, _, v = line.partition("=")
                cur[k] = v
    return records


@check("started")
def check_started(ctx, expectations):
    for st in expectations:
        recs = stub_records(ctx.pfx, st["stub"])
        if len(recs) != st.get("count", 1):
            ctx.fail("%s started %d times, expected %d" % (st["stub"], len(recs), st.get("count", 1)))
            continue
        for r in recs:
            if "cmdline_re" in st and not re.fullmatch(fill(st["cmdline_re"], ctx.fills), r.get("cmdline", "")):
                ctx.fail("%s cmdline %r does not match %r" % (st["stub"], r.get("cmdline"), st["cmdline_re"]))
            for field in ("cmdline", "module", "program", "useshowwindow", "showwindow", "cwd"):
                if field in st:
                    want = fill(str(st[field]), ctx.fills)
                    if r.get(field) != want:
                        ctx.fail("%s %s %r, expected %r" % (st["stub"], field, r.get(field), want))


@check("calls")
def check_calls(ctx, calls):
    for c in calls:
        fn, _, args = c.partition("(")
        got = trace.calls(ctx.trace_text, fn)
        if "(" + args not in ["(" + g + ")" for g in got]:
            ctx.fail("call %s not traced (traced: %s)" % (c, got or "none"))


@check("run_log")
def check_run_log(ctx, lines):
    got = [re.sub(r"^\d\d:\d\d:\d\d ", "", line).strip() for line in ctx.run_log.splitlines()]
    at = 0
    for want in lines:
        want = fill(want, ctx.fills)
        if want in got[at:]:
            at = got.index(want, at) + 1
        else:
            ctx.fail("the run's own log has no line %r%s" % (want, " after the lines before it" if at else ""))


@check("no_calls")
def check_no_calls(ctx, functions):
    for fn in functions:
        got = trace.calls(ctx.trace_text, fn)
        if got:
            ctx.fail("call %s traced, none expected: %s" % (fn, got))


@check("traced")
def check_traced(ctx, expectations):
    for t in expectations:
        got = [trace.without_pointers(a) for a in trace.calls(ctx.trace_text, t["function"])]
        want = t.get("args", [])
        if len(got) != len(want) or not all(re.fullmatch(w, g) for w, g in zip(want, got)):
            ctx.fail("traced %s calls %s, expected %s" % (t["function"], got or "none", want or "none"))
        # results = ["00000000", ...]: what each of those calls returned, in order.
        if "results" in t:
            results = [r for _, r in trace.calls_with_results(ctx.trace_text, t["function"])]
            if results != t["results"]:
                ctx.fail("traced %s calls returned %s, expected %s" % (t["function"], results, t["results"]))


def _bytes(path):
    with open(path, "rb") as f:
        return f.read()


@check("files")
def check_files(ctx, expectations):
    """[[files]]: path, and absent = true; or what the file holds: text (exact, with
    line_end = "CRLF" for CR LF after every line of it), same_as (a fixture's bytes),
    readonly (whether Wine reports it read-only), and firefox (preferences that real
    Firefox holds after reading the file)."""
    for expectation in expectations:
        where = expectation["path"]
        p = ctx.pfx.unix_path(fill(where, ctx.fills))
        exists = os.path.exists(p)
        if expectation.get("absent", False):
            if exists:
                ctx.fail("file %s exists" % where)
            continue
        if not exists:
            ctx.fail("file %s is missing" % where)
            continue
        got = _bytes(p)
        want = None
        if "text" in expectation:
            text = fill(expectation["text"], ctx.fills)
            if expectation.get("line_end") == "CRLF":
                text = text.replace("\n", "\r\n")
            want = text.encode("latin-1")
        elif "same_as" in expectation:
            want = _bytes(expectation["same_as"])
        if want is not None and got != want:
            at = next((i for i in range(min(len(got), len(want))) if got[i] != want[i]), min(len(got), len(want)))
            ctx.fail("file %s differs at byte %d: %r, expected %r"
                     % (where, at, got[max(0, at - 20):at + 40], want[max(0, at - 20):at + 40]))
        if "readonly" in expectation:
            readonly = not (os.stat(p).st_mode & stat.S_IWUSR)
            if readonly != expectation["readonly"]:
                ctx.fail("file %s is %sread-only" % (where, "" if readonly else "not "))
        # firefox = { "preference" = value, ... }: real Firefox reads the file and then holds these.
        if "firefox" in expectation:
            for problem in firefox.problems_reading(p, expectation["firefox"]):
                ctx.fail("file %s: %s" % (where, problem))
