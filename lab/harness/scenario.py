"""Lab scenarios: one TOML file each under lab/scenarios, run against kestrup.exe.

A scenario gives the Windows version, the package laid beside kestrup.exe,
registry values to seed, the switches, the message boxes expected in order
(with the answer to each and checks made while the box is up), and what must
hold afterwards: exit value, registry values present or absent, the
installer log's entries, programs started (stub records) and traced calls.
Texts may use {progdir} (C:\\Kestrup Setup\\), {package} ({progdir}kfw_release.msi),
{InstallDir} (HKLM Software\\MIT\\Kerberos "InstallDir" after the run) and {infopage}
(the site information page kestrup.exe was built with).

The machine can be furnished further: "windows" may name a service pack
("winxp sp2", see wine.windows_values); "engine" puts a msiexec.exe that
carries that Windows Installer engine version in its place; [[preinstall]]
installs a lab package through Windows Installer before the run; [[drive]]
maps a drive letter to a network share; [[put]] lays files (profiles, hives,
Firefox's files) into the prefix; [[running]] starts programs that are already
running when kestrup.exe starts; "hostname" sets the host name that Wine makes
the computer name (and so the account domain) of the run.
"""

import os
import re
import shutil
import stat
import subprocess
import time

from . import display, firefox, schema, trace
from .machine import expand as machine_furnishings
from .regfile import REG_DWORD, TYPE_CODES, Registry
from .wine import PROGRAM_DIR_WIN, Prefix, network_drive_value, windows_values

INSTALLER_LOG = "HKLM\\Software\\Halvern\\Kestrup\\InstallerLog"
KFW_KEY = "HKLM\\Software\\MIT\\Kerberos"
KESTRUP_EXE = PROGRAM_DIR_WIN + "kestrup.exe"
FIXTURES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "fixtures")
# Keeps a run's Wine session alive for [[live]] checks when no [[running]] program does.
SESSION_KEEPER = "lab_session.exe"


class Scenario:
    """A scenario or machine file, checked by the schema, with its furnishings expanded into
    plain staging entries. Attribute names follow the harness's use of them."""

    def __init__(self, path, machine=None):
        self.path = path
        self.name = os.path.splitext(os.path.basename(path))[0]
        m = machine if machine is not None else schema.load(path)
        setup, put, place, preinstall = machine_furnishings(m)
        for e in put + m.put + m.files:
            # Fixtures beside the file win over lab/fixtures; the checks read them by path.
            for key in ("fixture", "same_as"):
                if e.get(key) is not None:
                    setattr(e, key, schema.find_fixture(e.get(key), path))
        self.machine = m
        self.about = m.about
        self.windows = m.windows
        self.package = m.package
        self.switches = m.switches
        self.exit = m.exit
        self.timeout = m.timeout
        self.setup = setup + m.setup
        self.boxes = m.box
        self.tolerate = [re.compile(t) for t in m.tolerate]
        self.reg = m.reg
        self.absent = m.absent
        self.log = m.log
        self.started = m.started
        self.calls = m.calls
        self.no_calls = m.no_calls
        self.files = m.files
        # [[place]] stub = "klist.exe", path = 'C:\\...\\klist.exe': a built stub copied into the prefix first.
        self.place = place + m.place
        # engine = "2.0.2600.2": the stub msiexec-<version>.exe becomes the 32-bit msiexec.exe.
        self.engine = m.engine
        # [[preinstall]] package = "tessel", entry = '{product code}': installed with msiexec /qn first;
        # its uninstall entry (32-bit view) must then exist.
        self.preinstall = preinstall + m.preinstall
        # [[drive]] letter = "H", remote = '\\\\server\\share': a network drive.
        self.drives = m.drive
        # [[traced]] function = "mpr.WNetCancelConnection2A", args = [regex, ...]: every traced call of
        # the function, in order, its arguments (pointers before strings left out) matching in full;
        # results = ["00000000", ...]: and what each returned.
        self.traced = m.traced
        # [[put]] path = 'C:\\...', text = "..." or fixture = "name" (lab/fixtures/name), readonly = true:
        # a file laid into the prefix before the run (its folders made as needed).
        self.put = put + m.put
        # [[running]] stub = "firefox.exe", path = 'C:\\...\\firefox.exe': started in the run's session
        # before kestrup.exe (running.c) and stopped after the [[live]] checks.
        self.running = m.running
        # [[live]]: like [[reg]], but asked of the run's Wine session after kestrup.exe has ended, for
        # values that Wine resets when a session starts.
        self.live = m.live
        # hostname = "labpc": the run's session gets its own UTS namespace with this host name.
        self.hostname = m.hostname
        # dll_overrides = "mpr,msi=n,b": Wine prefers native copies of these for the run,
        # as Windows does for any DLL that is not a KnownDLL.
        self.dll_overrides = m.dll_overrides or ""


def stub_dir(env):
    """The built lab stubs: beside the kestrup.exe under test unless env names them (a site or
    signed build tried with the lab's stubs)."""
    return env.get("stubs") or os.path.join(os.path.dirname(env["kestrup"]), "lab", "stubs")


def load_all(directory, only=None):
    """Every scenario file is checked, also those --only leaves out: a broken one stops the lab
    before anything runs (schema.SchemaError)."""
    found = []
    for name in sorted(os.listdir(directory)):
        if name.endswith(".toml"):
            s = Scenario(os.path.join(directory, name))
            if not only or any(o in s.name for o in only):
                found.append(s)
    return found


def _fill(text, values):
    for k, v in values.items():
        text = text.replace("{%s}" % k, v)
    return text


def _show(data):
    return repr(data) if not isinstance(data, int) else "%d (0x%x)" % (data, data)


class Outcome:
    def __init__(self, name):
        self.name = name
        self.problems = []
        self.notes = []
        self.seconds = 0.0
        self.exit = None
        self.skipped = None  # why the scenario could not be staged on this machine

    @property
    def passed(self):
        return not self.problems and not self.skipped

    def fail(self, text):
        self.problems.append(text)


def prepare_prefix(template, workdir, windows, package_path, kestrup, setup_values, scratch, end_setup=True):
    """A scenario's machine: prefix copy, Windows version, trace list, seeded values, program directory.

    end_setup=False leaves the setup session running for more set-up; the caller ends it.
    """
    pfx = Prefix(template, workdir)
    values = windows_values(windows) + [
        ("HKCU\\Software\\Wine\\Debug", 32, "RelayInclude", "REG_SZ", trace.RELAY_INCLUDE)]
    for s in setup_values:
        values.append((s["key"], int(s.get("view", 32)), s.get("name", ""), s.get("type", "REG_SZ"), s["data"]))
    pfx.import_values(values, scratch)
    if end_setup:
        pfx.kill()  # end the setup session; the run starts a session of its own
    os.makedirs(pfx.program_dir(), exist_ok=True)
    shutil.copy(kestrup, os.path.join(pfx.program_dir(), "kestrup.exe"))
    if package_path:
        shutil.copy(package_path, os.path.join(pfx.program_dir(), "kfw_release.msi"))
    return pfx


def run_kestrup(pfx, switches, screen, artefacts, boxes=(), tolerate=(), timeout=240, outcome=None,
                on_box=None, any_order=False):
    """Runs kestrup.exe in the prefix, answering the expected boxes in order (any_order: each
    window by the first unused box of its title, and boxes that never come are no fault).

    Returns (exit value or None, titles seen in order, trace text). Problems go
    to outcome.fail.
    """
    pfx.display = screen.name
    log_path = os.path.join(artefacts, "wine.log")
    args = pfx.session_command(["timeout", str(timeout), "wine", KESTRUP_EXE] + switches.split())
    expected = list(boxes)
    seen, handled = [], set()
    shot = 0
    aborted = False
    with open(log_path, "w") as log:
        proc = subprocess.Popen(args, cwd=pfx.program_dir(), env=pfx.env("-all,+relay"),
                                stdout=log, stderr=subprocess.STDOUT)
        while proc.poll() is None and not aborted:
            for wid, title in screen.windows().items():
                if wid in handled:
                    continue
                handled.add(wid)
                if any(t.search(title) for t in tolerate):
                    outcome.notes.append("window %r tolerated" % title)
                    continue
                time.sleep(0.5)  # let it paint before the photograph
                shot += 1
                photo = os.path.join(artefacts, "%02d-%s.png" % (shot, re.sub(r"\W+", "_", title)))
                screen.photograph(photo)
                seen.append(title)
                if any_order:
                    at = next((i for i, b in enumerate(expected) if b["title"] == title), None)
                else:
                    at = 0 if expected and expected[0]["title"] == title else None
                if at is None:
                    want = ("a window with an answer" if any_order else
                            repr(expected[0]["title"]) if expected else "no further window")
                    outcome.fail("unexpected window %r (expected %s)" % (title, want))
                    aborted = True
                    break
                box = expected.pop(at)
                if on_box:
                    on_box(box)
                if "no_colour" in box:
                    check_no_colour(outcome, screen, wid, photo, box)
                # Keys the window must ignore: it is still there 3 s after each (under
                # qemu a closed window can take 2 s to go).
                for keys in box.get("ignored", []):
                    screen.press(wid, keys)
                    for _ in range(15):
                        time.sleep(0.2)
                        if not screen.is_visible(wid):
                            break
                    if not screen.is_visible(wid):
                        outcome.fail("window %r closed on %r, which it must ignore" % (title, keys))
                        aborted = True
                        break
                if aborted:
                    break
                screen.press(wid, box["answer"])
                for _ in range(50):
                    if not screen.is_visible(wid):
                        break
                    time.sleep(0.1)
                else:
                    outcome.fail("box %r still open after pressing %r" % (title, box["answer"]))
                    aborted = True
                    break
            time.sleep(0.2)
        if aborted:
            pfx.kill()
        try:
            rc = proc.wait(timeout + 30)
        except subprocess.TimeoutExpired:
            proc.kill()
            rc = None
    if rc == 124:
        outcome.fail("kestrup.exe did not end within %d s" % timeout)
        rc = None
    for box in [] if any_order else expected:
        outcome.fail("expected box %r never appeared" % box["title"])
    with open(log_path, errors="replace") as f:
        trace_text = f.read()
    return (None if aborted else rc), seen, trace_text


def check_no_colour(outcome, screen, wid, photo, box):
    """Areas of a dialog that only text and buttons (greys) may cover, so that a picture that
    outgrows its place shows: no_colour = [[x0, y0, x1, y1], ...] in dialog units of a dialog
    whose client area is units = [width, height], scaled to the window."""
    g = screen.geometry(wid)
    if g is None:
        outcome.fail("no geometry for window %r" % box["title"])
        return
    x, y, w, h = g
    uw, uh = box["units"]
    for x0, y0, x1, y1 in box["no_colour"]:
        px0, py0 = x + round(x0 * w / uw), y + round(y0 * h / uh)
        px1, py1 = x + round(x1 * w / uw), y + round(y1 * h / uh)
        stray = display.coloured_pixels(photo, (px0, py0, px1 - px0, py1 - py0))
        if stray:
            sx, sy, c = stray[0]
            outcome.fail("window %r: %d coloured pixels in dialog units %s, the first at %.0f,%.0f rgb%s "
                         "(window %dx%d px)" % (box["title"], len(stray), [x0, y0, x1, y1],
                                                (sx - x) * uw / w, (sy - y) * uh / h, c, w, h))


def check_boxes_traced(outcome, boxes, trace_text, fills):
    traced = [b for b in boxes if b.get("traced", True)]
    calls = trace.message_boxes(trace_text)
    for i, box in enumerate(traced):
        if i >= len(calls):
            outcome.fail("MessageBoxA for %r not seen in the trace" % box["title"])
            continue
        c = calls[i]
        if not c.title_matches(box["title"]):
            outcome.fail("box %d: title %r, expected %r" % (i + 1, c.title, box["title"]))
        if "text" in box and not c.text_matches(_fill(box["text"], fills)):
            outcome.fail("box %r: text %r, expected %r" % (box["title"], c.text, _fill(box["text"], fills)))
        if "style" in box and c.style != box["style"]:
            outcome.fail("box %r: style 0x%x, expected 0x%x" % (box["title"], c.style, box["style"]))
        if c.owner != 0:
            outcome.fail("box %r has an owner window" % box["title"])
    for c in calls[len(traced):]:
        outcome.fail("MessageBoxA %r not expected (%r)" % (c.title, c.text[:80]))


def check_value(outcome, reg, expectation, fills, when="after the run"):
    view = int(expectation.get("view", 32))
    v = reg.value(expectation["key"], expectation["name"], view)
    where = "%s %r (%d-bit view)" % (expectation["key"], expectation["name"], view)
    if expectation.get("absent"):
        if v is not None:
            outcome.fail("%s is present %s: %s" % (where, when, v.show()))
        return
    if v is None:
        outcome.fail("%s is missing %s" % (where, when))
        return
    want_type = TYPE_CODES[expectation.get("type", "REG_SZ")]
    want = expectation["data"]
    if isinstance(want, str):
        want = _fill(want, fills)
    if v.type != want_type or v.data != want:
        outcome.fail("%s is %s, expected %s %s" % (where, v.show(), expectation.get("type", "REG_SZ"), _show(want)))
    # ansi_size: the byte count a program's RegQueryValueExA reports for a text value (Wine keeps
    # the text in UTF-16, twice as many bytes).
    if "ansi_size" in expectation and (v.size is None or v.size != 2 * expectation["ansi_size"]):
        outcome.fail("%s holds %s bytes in UTF-16, expected %d (%d ANSI bytes)" % (
            where, v.size, 2 * expectation["ansi_size"], expectation["ansi_size"]))


def check_live_value(outcome, pfx, expectation, when):
    """A check while the program waits for an answer: asks Wine's running server."""
    view = int(expectation.get("view", 32))
    got = pfx.reg_query(expectation["key"], expectation["name"], view)
    where = "%s %r" % (expectation["key"], expectation["name"])
    if expectation.get("absent"):
        if got is not None:
            outcome.fail("%s is present %s: %s" % (where, when, got))
        return
    if got is None:
        outcome.fail("%s is missing %s" % (where, when))
        return
    want = expectation["data"]
    shown = "0x%x" % want if expectation.get("type") == "REG_DWORD" else str(want)
    if got != (expectation.get("type", "REG_SZ"), shown):
        outcome.fail("%s is %s %s, expected %s %s" % (where, got[0], got[1], expectation.get("type", "REG_SZ"), shown))


def _fixture(name):
    with open(os.path.join(FIXTURES, name), "rb") as f:
        return f.read()


def put_files(pfx, entries, fills):
    for p in entries:
        dest = pfx.unix_path(_fill(p["path"], fills))
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        data = _fixture(p["fixture"]) if "fixture" in p else p["text"].encode("latin-1")
        with open(dest, "wb") as f:
            f.write(data)
        if p.get("readonly"):
            # Wine reports a file without write permission as FILE_ATTRIBUTE_READONLY.
            os.chmod(dest, 0o444)


def check_file(outcome, pfx, expectation, fills):
    """[[files]]: path, and absent = true; or what the file holds: text (exact, with
    line_end = "CRLF" for CR LF after every line of it), same_as (a fixture's bytes),
    readonly (whether Wine reports it read-only), and firefox (preferences that real
    Firefox holds after reading the file)."""
    where = expectation["path"]
    p = pfx.unix_path(_fill(where, fills))
    exists = os.path.exists(p)
    if expectation.get("absent", False):
        if exists:
            outcome.fail("file %s exists" % where)
        return
    if not exists:
        outcome.fail("file %s is missing" % where)
        return
    with open(p, "rb") as f:
        got = f.read()
    want = None
    if "text" in expectation:
        text = _fill(expectation["text"], fills)
        if expectation.get("line_end") == "CRLF":
            text = text.replace("\n", "\r\n")
        want = text.encode("latin-1")
    elif "same_as" in expectation:
        want = _fixture(expectation["same_as"])
    if want is not None and got != want:
        at = next((i for i in range(min(len(got), len(want))) if got[i] != want[i]), min(len(got), len(want)))
        outcome.fail("file %s differs at byte %d: %r, expected %r" % (where, at, got[max(0, at - 20):at + 40],
                                                                        want[max(0, at - 20):at + 40]))
    if "readonly" in expectation:
        readonly = not (os.stat(p).st_mode & stat.S_IWUSR)
        if readonly != expectation["readonly"]:
            outcome.fail("file %s is %sread-only" % (where, "" if readonly else "not "))
    # firefox = { "preference" = value, ... }: real Firefox reads the file and then holds these.
    if "firefox" in expectation:
        for problem in firefox.problems_reading(p, expectation["firefox"]):
            outcome.fail("file %s: %s" % (where, problem))


def start_running(pfx, s, env, artefacts):
    """Starts the scenario's [[running]] programs (or, for [[live]] checks alone, the session
    keeper) and waits until each is up. Returns [(stub name, Popen)]."""
    stubs = stub_dir(env)
    entries = list(s.running)
    if s.live and not entries:
        entries = [{"stub": SESSION_KEEPER, "path": "C:\\lab-bin\\" + SESSION_KEEPER}]
    started = []
    for r in entries:
        dest = pfx.unix_path(r["path"])
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        shutil.copy(os.path.join(stubs, r["stub"]), dest)
        name = os.path.splitext(r["stub"])[0]
        log = open(os.path.join(artefacts, "running-%s.log" % name), "w")
        proc = subprocess.Popen(pfx.session_command(["wine", r["path"]]), cwd=os.path.dirname(dest),
                                env=pfx.env(), stdout=log, stderr=subprocess.STDOUT)
        log.close()
        started.append((name, proc))
        ready = pfx.drive_c("lab", name + ".running")
        for _ in range(600):
            if os.path.exists(ready) or proc.poll() is not None:
                break
            time.sleep(0.1)
        if not os.path.exists(ready):
            raise RuntimeError("%s did not start (see running-%s.log)" % (r["stub"], name))
    return started


class CannotStage(Exception):
    pass


def probe_running(pfx, s, env):
    """Makes sure that a program of the prefix can see each [[running]] program by its module."""
    stubs = stub_dir(env)
    os.makedirs(pfx.drive_c("lab-bin"), exist_ok=True)
    shutil.copy(os.path.join(stubs, "lab_probe.exe"), pfx.drive_c("lab-bin", "lab_probe.exe"))
    for r in s.running:
        rc = subprocess.run(["timeout", "60", "wine", "C:\\lab-bin\\lab_probe.exe", r["stub"]], env=pfx.env(),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
        if rc != 0:
            raise CannotStage("a program of this Wine cannot see that %s runs (EnumProcessModules fails; "
                              "32-bit programs through qemu-user read other processes at the wrong "
                              "addresses), so a running browser cannot be staged here" % r["stub"])


def stop_running(pfx, started):
    for name, _ in started:
        open(pfx.drive_c("lab", name + ".stop"), "w").close()
    for name, proc in started:
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def read_stub_records(pfx, stub):
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


def site_setting(kestrup, name):
    """A site setting that kestrup.exe was built with, from its build directory's CMake cache."""
    try:
        with open(os.path.join(os.path.dirname(kestrup), "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith(name + ":"):
                    return line.rstrip("\n").partition("=")[2]
    except OSError:
        pass
    return "{%s}" % name


def furnish_values(s):
    """The setup values that the scenario's drives and engine need (Wine reads them when a
    session starts, so they go in with the other seeded values)."""
    values = [network_drive_value(d["letter"]) for d in s.drives]
    if s.engine:
        # Else Wine reads the version of its built-in msiexec, whatever the file says.
        values.append(("HKCU\\Software\\Wine\\AppDefaults\\kestrup.exe\\DllOverrides", 32, "msiexec.exe", "REG_SZ",
                       "native"))
    return [{"key": k, "view": v, "name": n, "type": t, "data": d} for k, v, n, t, d in values]


def furnish(pfx, s, env):
    """The scenario's network drives, engine and installed packages. Packages install in the
    setup session, which is ended here."""
    stubs = stub_dir(env)
    for d in s.drives:
        pfx.map_network_drive(d["letter"], d["remote"])
    if s.engine:
        shutil.copy(os.path.join(stubs, "msiexec-%s.exe" % s.engine), pfx.drive_c("windows", "syswow64", "msiexec.exe"))
    try:
        for p in s.preinstall:
            if not pfx.install_msi(env["packages"][p["package"]]):
                raise RuntimeError("msiexec /i %s /qn failed" % p["package"])
            entry = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + p["entry"]
            if pfx.reg_query(entry, "DisplayName", 32) is None:
                raise RuntimeError("%s installed, but its uninstall entry %s is not there" % (p["package"], entry))
    finally:
        if s.preinstall:
            pfx.kill()


def stage(pfx, s, env, fills):
    """Furnishes a prepared prefix for s: drives, engine, installed packages, stubs, files."""
    furnish(pfx, s, env)
    stubs = stub_dir(env)
    for p in s.place:
        dest = pfx.unix_path(_fill(p["path"], fills))
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        shutil.copy(os.path.join(stubs, p["stub"]), dest)
    put_files(pfx, s.put, fills)
    pfx.hostname = s.hostname
    pfx.dll_overrides = s.dll_overrides


def run_scenario(s, env, screen, out_root):
    """env: dict with template, kestrup, packages, work."""
    o = Outcome(s.name)
    t0 = time.time()
    artefacts = os.path.join(out_root, "artefacts", s.name)
    shutil.rmtree(artefacts, ignore_errors=True)
    os.makedirs(artefacts)
    package = None if s.package == "none" else env["packages"][s.package]
    pfx = prepare_prefix(env["template"], os.path.join(env["work"], s.name), s.windows, package,
                         env["kestrup"], s.setup + furnish_values(s), os.path.join(artefacts, "setup.reg"),
                         end_setup=not s.preinstall)
    fills = {"progdir": PROGRAM_DIR_WIN, "package": PROGRAM_DIR_WIN + "kfw_release.msi",
             "infopage": site_setting(env["kestrup"], "KESTRUP_SITE_INFO_PAGE")}
    try:
        stage(pfx, s, env, fills)
        def on_box(box):
            for expectation in box.get("check", []):
                check_live_value(o, pfx, expectation, "while %r is shown" % box["title"])

        if s.running or s.live:
            pfx.display = screen.name  # the session's first program decides whether it has a display
        started = start_running(pfx, s, env, artefacts)
        try:
            probe_running(pfx, s, env)
            rc, seen, trace_text = run_kestrup(pfx, s.switches, screen, artefacts, s.boxes, s.tolerate,
                                               s.timeout, o, on_box)
            o.exit = rc
            o.notes.append("windows seen: %s" % (", ".join(repr(t) for t in seen) or "none"))
            for expectation in s.live:
                check_live_value(o, pfx, expectation, "after the run, in its session")
        finally:
            stop_running(pfx, started)
        if not pfx.end_session():
            o.fail("programs of the prefix still running a minute after kestrup.exe ended")
        for f in ("system.reg", "user.reg"):
            shutil.copy(os.path.join(pfx.path, f), artefacts)
        if os.path.isdir(pfx.drive_c("lab")):
            for f in os.listdir(pfx.drive_c("lab")):
                shutil.copy(os.path.join(pfx.drive_c("lab"), f), artefacts)

        if s.exit is not None and rc != s.exit:
            o.fail("exit value %s, expected %d" % (rc, s.exit))
        reg = Registry(pfx.path)
        inst = reg.value(KFW_KEY, "InstallDir", 32)
        if inst is not None and isinstance(inst.data, str):
            fills["InstallDir"] = inst.data
        check_boxes_traced(o, s.boxes, trace_text, fills)
        for expectation in s.reg:
            check_value(o, reg, expectation, fills)
        for expectation in s.absent:
            check_value(o, reg, dict(expectation, absent=True), fills)
        if s.log is not None:
            key = reg.key(INSTALLER_LOG, 32)
            got = {} if key is None else {v.name: v for v in key.values()}
            want = {str(i): _fill(t, fills) for i, t in enumerate(s.log)}
            for name, text in want.items():
                v = got.get(name)
                if v is None:
                    o.fail("installer log value %r missing (expected %r)" % (name, text))
                elif v.type != TYPE_CODES["REG_SZ"] or v.data != text:
                    o.fail("installer log value %r is %s, expected REG_SZ %r" % (name, v.show(), text))
            for name in sorted(set(got) - set(want)):
                o.fail("installer log value %r not expected: %s" % (name, got[name].show()))
        for st in s.started:
            recs = read_stub_records(pfx, st["stub"])
            if len(recs) != st.get("count", 1):
                o.fail("%s started %d times, expected %d" % (st["stub"], len(recs), st.get("count", 1)))
                continue
            for r in recs:
                if "cmdline_re" in st and not re.fullmatch(_fill(st["cmdline_re"], fills), r.get("cmdline", "")):
                    o.fail("%s cmdline %r does not match %r" % (st["stub"], r.get("cmdline"), st["cmdline_re"]))
                for field in ("cmdline", "module", "program", "useshowwindow", "showwindow", "cwd"):
                    if field in st:
                        want = _fill(str(st[field]), fills)
                        if r.get(field) != want:
                            o.fail("%s %s %r, expected %r" % (st["stub"], field, r.get(field), want))
        for c in s.calls:
            fn, _, args = c.partition("(")
            got = trace.calls(trace_text, fn)
            if "(" + args not in ["(" + g + ")" for g in got]:
                o.fail("call %s not traced (traced: %s)" % (c, got or "none"))
        for t in s.traced:
            got = [trace.without_pointers(a) for a in trace.calls(trace_text, t["function"])]
            want = t.get("args", [])
            if len(got) != len(want) or not all(re.fullmatch(w, g) for w, g in zip(want, got)):
                o.fail("traced %s calls %s, expected %s" % (t["function"], got or "none", want or "none"))
            # results = ["00000000", ...]: what each of those calls returned, in order.
            if "results" in t:
                results = [r for _, r in trace.calls_with_results(trace_text, t["function"])]
                if results != t["results"]:
                    o.fail("traced %s calls returned %s, expected %s" % (t["function"], results, t["results"]))
        for fn in s.no_calls:
            got = trace.calls(trace_text, fn)
            if got:
                o.fail("call %s traced, none expected: %s" % (fn, got))
        for expectation in s.files:
            check_file(o, pfx, expectation, fills)
    except CannotStage as e:
        o.skipped = str(e)
    except Exception as e:  # a broken scenario is a failed scenario, not a crashed lab
        o.fail("harness error: %s: %s" % (type(e).__name__, e))
    finally:
        pfx.dispose(keep=env.get("keep", False))
    o.seconds = time.time() - t0
    with open(os.path.join(artefacts, "result.txt"), "w") as f:
        f.write("%s %s (%.1f s)\n" % ("SKIP" if o.skipped else "PASS" if o.passed else "FAIL", s.name, o.seconds))
        if o.skipped:
            f.write("skipped: %s\n" % o.skipped)
        f.write("about: %s\nexit value: %s\n" % (s.about, o.exit))
        for p in o.problems:
            f.write("problem: %s\n" % p)
        for n in o.notes:
            f.write("note: %s\n" % n)
    return o
