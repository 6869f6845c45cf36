"""Staging: a scenario's or machine file's machine laid into a throwaway Wine prefix.

`prepare_prefix` makes the prefix with its Windows version, trace list, seeded registry values
and the program directory (kestrup.exe and the package); `stage` furnishes it (network drives,
the engine, installed packages, placed stubs, files, host name); `running` keeps the programs
that must already run when kestrup.exe starts running for the length of a with-block.
"""

import contextlib
import hashlib
import os
import re
import shutil
import subprocess
import time

from . import packages, regfile, trace
from .schema import fill
from .wine import (PROGRAM_DIR_WIN, HarnessError, Prefix, network_drive_value, profile_folder_values, windows_values,
                   without_overridden)

# Keeps a run's Wine session alive for [[live]] checks when no [[running]] program does.
SESSION_KEEPER = "lab_session.exe"
# The desktop's shell (Explorer's "Program Manager" window), which Wine's desktop does not make:
# the installer asks it who sits at the desk.
SHELL = "lab_shell.exe"
# Starts kestrup.exe in a window station nobody sees (as_service).
SERVICE_LAUNCHER = "C:\\lab-bin\\lab_service_launch.exe"


class CannotStage(Exception):
    """What the scenario needs cannot be staged on this machine (the scenario is skipped)."""


def stub_dir(env):
    """The built lab stubs: beside the kestrup.exe under test unless env names them (a site or
    signed build tried with the lab's stubs)."""
    return env.get("stubs") or os.path.join(os.path.dirname(env["kestrup"]), "lab", "stubs")


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


def fills(kestrup):
    """The placeholders a scenario's texts may use before the run ({InstallDir} comes after it)."""
    return {"progdir": PROGRAM_DIR_WIN, "package": PROGRAM_DIR_WIN + "kfw_release.msi",
            "infopage": site_setting(kestrup, "KESTRUP_SITE_INFO_PAGE")}


def furnish_values(s):
    """The setup values that the scenario's drives and engine need (Wine reads them when a
    session starts, so they go in with the other seeded values)."""
    values = [network_drive_value(d["letter"]) for d in s.drives]
    if s.engine:
        # Else Wine reads the version of its built-in msiexec, whatever the file says.
        values.append(("HKCU\\Software\\Wine\\AppDefaults\\kestrup.exe\\DllOverrides", 32, "msiexec.exe", "REG_SZ",
                       "native"))
    return [{"key": k, "view": v, "name": n, "type": t, "data": d} for k, v, n, t, d in values]


def prepare_prefix(template, workdir, windows, package_path, kestrup, setup_values, scratch, end_setup=True):
    """A scenario's machine: prefix copy, Windows version, trace list, seeded values, program directory.

    end_setup=False leaves the setup session running for more set-up; the caller ends it.
    """
    pfx = Prefix(template, workdir)
    try:
        values = windows_values(windows) + profile_folder_values(windows) + [
            ("HKCU\\Software\\Wine\\Debug", 32, "RelayInclude", "REG_SZ", trace.RELAY_INCLUDE)]
        for s in setup_values:
            values.append((s["key"], int(s.get("view", 32)), s.get("name", ""), s.get("type", "REG_SZ"), s["data"]))
        values = without_overridden(values)
        pfx.import_values(values, scratch)
        pfx.laid_values = values
        if end_setup:
            pfx.end_setup()  # the run starts a session of its own
        os.makedirs(pfx.program_dir(), exist_ok=True)
        shutil.copy(kestrup, os.path.join(pfx.program_dir(), "kestrup.exe"))
        if package_path:
            shutil.copy(package_path, os.path.join(pfx.program_dir(), "kfw_release.msi"))
    except BaseException:
        pfx.dispose()
        raise
    return pfx


def prepare(s, env, workdir, artefacts):
    """prepare_prefix for a scenario or machine file s; the setup session is left running
    when packages are still to be installed in it."""
    package = None if s.package == "none" else env["packages"][s.package]
    return prepare_prefix(env["template"], workdir, s.windows, package, env["kestrup"],
                          s.setup + furnish_values(s), os.path.join(artefacts, "setup.reg"),
                          end_setup=not s.preinstall)


def put_files(pfx, entries, values):
    for p in entries:
        dest = pfx.unix_path(fill(p["path"], values))
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        if "fixture" in p:
            with open(p["fixture"], "rb") as f:
                data = f.read()
        else:
            data = p["text"].encode("latin-1")
        with open(dest, "wb") as f:
            f.write(data)
        if p.get("readonly"):
            # Wine reports a file without write permission as FILE_ATTRIBUTE_READONLY.
            os.chmod(dest, 0o444)


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
                raise HarnessError("msiexec /i %s /qn failed" % p["package"])
            entry = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + p["entry"]
            if pfx.reg_query(entry, "DisplayName", packages.view_of(p["package"])) is None:
                raise HarnessError("%s installed, but its uninstall entry %s is not there" % (p["package"], entry))
    except BaseException:
        if s.preinstall:
            pfx.kill()
        raise
    if s.preinstall:
        pfx.end_setup()


def stage(pfx, s, env, values):
    """Furnishes a prepared prefix for s: drives, engine, installed packages, stubs, files."""
    furnish(pfx, s, env)
    stubs = stub_dir(env)
    places = [(p["stub"], fill(p["path"], values)) for p in s.place]
    if s.as_service:
        places.append(("lab_service_launch.exe", SERVICE_LAUNCHER))
    for stub, path in places:
        dest = pfx.unix_path(path)
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        shutil.copy(os.path.join(stubs, stub), dest)
    put_files(pfx, s.put, values)
    check_setup(pfx, s, env, values)
    pfx.hostname = s.hostname
    pfx.dll_overrides = s.dll_overrides


def _same_data(value, typ, data):
    if typ == "REG_DWORD":
        return value.data == int(data)
    if typ == "REG_MULTI_SZ":
        return value.data == [d for d in data if d]
    return value.data == str(data)


def setup_faults(pfx, s, env, values):
    """What the set-up session was to leave and did not, read back from the prefix's own files
    once that session is over: every registry value in its view (the Windows version and the
    trace list among them), the program directory, every file and stub laid, the engine, the
    network drives and the installed packages' uninstall entries."""
    faults = []
    reg = regfile.Registry(pfx.path)
    for key, view, name, typ, data in pfx.laid_values:
        v = reg.value(key, name, view)
        if v is None:
            faults.append("%s %r (%d-bit view) missing" % (key, name, view))
        elif regfile.TYPE_NAMES.get(v.type) != typ or not _same_data(v, typ, data):
            faults.append("%s %r is %s, not %s %r" % (key, name, v.show(), typ, data))
    files = [os.path.join(pfx.program_dir(), "kestrup.exe")]
    if s.package != "none":
        files.append(os.path.join(pfx.program_dir(), "kfw_release.msi"))
    if s.engine:
        files.append(pfx.drive_c("windows", "syswow64", "msiexec.exe"))
    files += [pfx.unix_path(fill(e["path"], values)) for e in list(s.place) + list(s.put)]
    if s.as_service:
        files.append(pfx.unix_path(SERVICE_LAUNCHER))
    faults += ["file %s missing" % os.path.relpath(f, pfx.path) for f in files if not os.path.isfile(f)]
    for d in s.drives:
        if not os.path.islink(os.path.join(pfx.path, "dosdevices", d["letter"].lower() + ":")):
            faults.append("network drive %s: not mapped" % d["letter"])
    for p in s.preinstall:
        entry = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + p["entry"]
        if reg.value(entry, "DisplayName", packages.view_of(p["package"])) is None:
            faults.append("%s: its uninstall entry %s is not in the saved registry" % (p["package"], entry))
    return faults


def check_setup(pfx, s, env, values):
    """Stops the scenario as a lab error when its machine is not the one it describes: a run on
    another machine can fail, or pass, for reasons that are not the installer's."""
    faults = setup_faults(pfx, s, env, values)
    if faults:
        raise HarnessError("set-up did not take: " + "; ".join(faults))


def start_running(pfx, s, env, artefacts):
    """Starts the scenario's [[running]] programs (or, for [[live]] checks alone, the session
    keeper) and waits until each is up. Returns [(stub name, Popen)]."""
    stubs = stub_dir(env)
    entries = list(s.running)
    if not s.as_service:  # a service's window station has no shell: nobody is at its desk
        entries.insert(0, {"stub": SHELL, "path": "C:\\lab-bin\\" + SHELL})
    if s.live and not entries:
        entries = [{"stub": SESSION_KEEPER, "path": "C:\\lab-bin\\" + SESSION_KEEPER}]
    started = []
    for r in entries:
        dest = pfx.unix_path(r["path"])
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        shutil.copy(os.path.join(stubs, r["stub"]), dest)
        name = os.path.splitext(image_name(r))[0]  # what it calls itself
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
            raise HarnessError("%s did not start (see running-%s.log)" % (r["stub"], name))
    return started


def image_name(entry):
    """The name a [[running]] program has in the process list: its file's, wherever it was built."""
    return os.path.basename(entry["path"].replace("\\", "/"))


def probe_running(pfx, s, env):
    """Makes sure that a program of the prefix can see each [[running]] program, the way the
    installer looks for it (a Toolhelp snapshot of the processes' image names)."""
    stubs = stub_dir(env)
    os.makedirs(pfx.drive_c("lab-bin"), exist_ok=True)
    shutil.copy(os.path.join(stubs, "lab_probe.exe"), pfx.drive_c("lab-bin", "lab_probe.exe"))
    for r in s.running:
        rc = subprocess.run(["timeout", "60", "wine", "C:\\lab-bin\\lab_probe.exe", image_name(r)], env=pfx.env(),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
        if rc != 0:
            raise CannotStage("a program of this Wine cannot see that %s runs (its Toolhelp snapshot does not list "
                              "it), so a running browser cannot be staged here" % image_name(r))


def stop_running(pfx, started):
    for name, _ in started:
        open(pfx.drive_c("lab", name + ".stop"), "w").close()
    for name, proc in started:
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


@contextlib.contextmanager
def running(pfx, s, env, screen, artefacts):
    """The desktop's shell and the scenario's running programs (and the session keeper for [[live]] checks) for the
    length of the block, each made sure to be visible to other programs first."""
    pfx.display = screen.name  # the session's first program decides whether it has a display
    started = start_running(pfx, s, env, artefacts)
    try:
        probe_running(pfx, s, env)
        yield
    finally:
        stop_running(pfx, started)


def _found(folder, *names):
    """A path below folder, each name matched without regard to case as Windows does (Wine's own
    prefix has C:\\windows\\logs); None where one is missing."""
    for name in names:
        match = [n for n in os.listdir(folder) if n.lower() == name.lower()] if os.path.isdir(folder) else []
        if not match:
            return None
        folder = os.path.join(folder, match[0])
    return folder


def package_sha256(pfx):
    """The SHA-256 of the kfw_release.msi laid beside kestrup.exe ({package_sha256}); empty without one."""
    path = os.path.join(pfx.program_dir(), "kfw_release.msi")
    if not os.path.isfile(path):
        return ""
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def keep_artefacts(pfx, artefacts):
    """The prefix's registry files, the stubs' records and the installer's own logs (in run-logs/),
    for after the prefix is gone."""
    for f in ("system.reg", "user.reg"):
        shutil.copy(os.path.join(pfx.path, f), artefacts)
    if os.path.isdir(pfx.drive_c("lab")):
        for f in os.listdir(pfx.drive_c("lab")):
            shutil.copy(os.path.join(pfx.drive_c("lab"), f), artefacts)
    logs = _found(pfx.drive_c(), "windows", "Logs", "Kestrup")
    if logs:
        shutil.copytree(logs, os.path.join(artefacts, "run-logs"), dirs_exist_ok=True)


def run_log(artefacts):
    """(file name, text) of the newest run log kept in artefacts; (None, None) without one. Its
    name sorts by the run's start."""
    folder = os.path.join(artefacts, "run-logs")
    names = sorted(n for n in os.listdir(folder) if re.match(r"kestrup-\d{8}-\d{6}(-\d)?\.log$", n)) \
        if os.path.isdir(folder) else []
    if not names:
        return None, None
    with open(os.path.join(folder, names[-1]), encoding="latin-1") as f:
        return names[-1], f.read()
