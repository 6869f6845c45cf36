"""Wine prefixes for the lab: one template per run, one copy per scenario."""

import os
import re
import shutil
import subprocess
import time

from . import host
from .regfile import REG_DWORD, REG_MULTI_SZ, REG_SZ, TYPE_CODES, split_root, view_path

PROGRAM_DIR = "Kestrup Setup"               # under C:\, blanks on purpose
PROGRAM_DIR_WIN = "C:\\%s\\" % PROGRAM_DIR
STUB_LOG_DIR = "lab"                         # C:\lab\<stub>.log, see lab/stubs/recorder.c


# Service packs that Wine's Version names do not give (winxp is SP3, win2k SP4):
# without a "Version" value Wine reports what these values say.
_NT_VERSIONS = {"win2k": ("5.0", "2195"), "winxp": ("5.1", "2600")}


# Names Wine 8 does not know, and the one that shows the same to kestrup.exe: Windows 8 to 11
# answer a program without a compatibility manifest as 6.2, and so does Wine's win10.
RUNS_AS = {"win11": "win10"}


def windows_values(windows):
    """The registry values (key, view, name, type, data) that make Wine report 'windows':
    a Version name of Wine ("winxp", "vista"), or "win2k spN" / "winxp spN"."""
    name, _, sp = windows.partition(" ")
    if not sp:
        return [("HKCU\\Software\\Wine", 32, "Version", "REG_SZ", RUNS_AS.get(name, name))]
    if name not in _NT_VERSIONS or not sp.startswith("sp") or not sp[2:].isdigit():
        raise ValueError("unknown Windows %r" % windows)
    version, build = _NT_VERSIONS[name]
    n = int(sp[2:])
    nt = "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion"
    return [(nt, 32, "CurrentVersion", "REG_SZ", version),
            (nt, 32, "CurrentBuildNumber", "REG_SZ", build),
            (nt, 32, "CSDVersion", "REG_SZ", "Service Pack %d" % n if n else ""),
            ("HKLM\\System\\CurrentControlSet\\Control\\Windows", 64, "CSDVersion", "REG_DWORD", n << 8)]


# Windows before Vista; from Vista on a profile's AppData is AppData\Roaming, as Wine's own.
_BEFORE_VISTA = ("nt40", "win2k", "winxp", "winxp64", "win2003")


def profile_folder_values(windows):
    """The logged-on user's application-data folder as that Windows records it in her hive: Wine's
    profiles have the NT 6.x layout under every version, so an XP machine says "Application Data"
    itself (the installer reads the folder from there)."""
    if windows.partition(" ")[0] not in _BEFORE_VISTA:
        return []
    return [("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders", 32, "AppData",
             "REG_EXPAND_SZ", "%USERPROFILE%\\Application Data")]


def without_overridden(values):
    """values, each (key, view, name) once: a later one (the scenario's own) wins."""
    last = {}
    for i, (key, view, name, _, _) in enumerate(values):
        last[(key.lower(), view, name.lower())] = i
    return [v for i, v in enumerate(values) if last[(v[0].lower(), v[1], v[2].lower())] == i]


def network_drive_value(letter):
    """The value (key, view, name, type, data) without which Wine takes a drive for local."""
    return ("HKLM\\Software\\Wine\\Drives", 64, letter.lower() + ":", "REG_SZ", "network")


def base_env(prefix, display=None, debug="-all"):
    env = dict(os.environ)
    env.update(host.QEMU_ENV)
    env["WINEPREFIX"] = prefix
    env["WINEDEBUG"] = debug
    # No Mono or Gecko installer prompts while a prefix is made.
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    env.pop("WINEARCH", None)
    if display:
        env["DISPLAY"] = display
    else:
        env.pop("DISPLAY", None)
    return env


def make_template(path, log):
    """A fresh 64-bit prefix (wine32 runs its 32-bit programs)."""
    if os.path.exists(path):
        shutil.rmtree(path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    # Process starts traced (and Wine's errors kept): a template that comes out without its system
    # files then shows which of wineboot's install steps could not be started.
    env = base_env(path, debug="fixme-all,+process")
    t0 = time.time()
    with open(log, "w") as out:
        r = subprocess.run(["timeout", "300", host.WINE64_LOADER, "wineboot", "-i"], env=env,
                           stdout=out, stderr=subprocess.STDOUT)
        subprocess.run(["timeout", "60", "wineserver", "-w"], env=env, stdout=out, stderr=subprocess.STDOUT)
    # wineboot says "has been updated" even when an install step it starts (a rundll32 of either
    # bitness) could not be started: a prefix is whole only with both halves laid.
    halves = [os.path.join(path, "drive_c", "windows", d, "kernel32.dll") for d in ("system32", "syswow64")]
    missing = [os.path.relpath(h, path) for h in halves if not os.path.isfile(h)]
    if r.returncode != 0 or missing:
        unstarted = unstarted_install_steps(log)
        raise host.LabUnavailable("wineboot could not make a 64-bit prefix with its 32-bit part (exit value %d; "
                                  "missing: %s; install steps that did not start: %s; see %s)"
                                  % (r.returncode, ", ".join(missing) or "none", ", ".join(unstarted) or "none",
                                     log))
    return time.time() - t0


def unstarted_install_steps(log):
    """wineboot's rundll32 steps (PreInstall, DefaultInstall, Wow64Install) whose process start
    was traced without the start's result (a pid) following on the same thread."""
    pending, unstarted = {}, []
    with open(log, errors="replace") as f:
        for line in f:
            m = re.match(r"([0-9a-f]+):trace:process:(\w+) ", line)
            if not m:
                continue
            tid, call = m.groups()
            step = re.search(r"InstallHinfSection (\w+)", line)
            if call == "CreateProcessInternalW" and step:
                if tid in pending:
                    unstarted.append(pending[tid])
                pending[tid] = step.group(1)
            elif call == "NtCreateUserProcess" and " pid " in line:
                pending.pop(tid, None)
    return unstarted + list(pending.values())


class HarnessError(Exception):
    """The lab itself went another way (Wine timed out or crashed, the set-up did not take): the
    scenario's verdict is ERROR, apart from anything the installer did."""


class Prefix:
    """A throwaway copy of the template: an overlay mount when possible, else a full copy."""

    def __init__(self, template, workdir):
        self.workdir = workdir
        if os.path.exists(workdir):
            subprocess.run(["umount", os.path.join(workdir, "prefix")], stderr=subprocess.DEVNULL)
            shutil.rmtree(workdir)
        os.makedirs(workdir)
        self.path = os.path.join(workdir, "prefix")
        os.makedirs(self.path)
        self.overlay = False
        if os.geteuid() == 0:
            upper, work = os.path.join(workdir, "upper"), os.path.join(workdir, "ovwork")
            os.makedirs(upper)
            os.makedirs(work)
            r = subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                                "lowerdir=%s,upperdir=%s,workdir=%s" % (template, upper, work), self.path],
                               stderr=subprocess.DEVNULL)
            self.overlay = r.returncode == 0
        if not self.overlay:
            os.rmdir(self.path)
            subprocess.run(["cp", "-a", template, self.path], check=True)
        self.display = None
        self.hostname = None
        self.dll_overrides = ""  # added to WINEDLLOVERRIDES for the run's session
        self.laid_values = []  # what the set-up session imported, read back before the run

    # -- paths ----------------------------------------------------------------
    def drive_c(self, *parts):
        return os.path.join(self.path, "drive_c", *parts)

    def program_dir(self):
        return self.drive_c(PROGRAM_DIR)

    def stub_log(self, name):
        return self.drive_c(STUB_LOG_DIR, name + ".log")

    def unix_path(self, winpath):
        """C:\\x\\y -> <prefix>/drive_c/x/y; \\\\server\\share\\y -> <prefix>/dosdevices/unc/server/share/y,
        where Wine serves that share from."""
        if winpath.startswith("\\\\"):
            return os.path.join(self.path, "dosdevices", "unc", *[p for p in winpath[2:].split("\\") if p])
        if winpath[1:3] != ":\\" or winpath[0].upper() != "C":
            raise ValueError("only C: paths: %s" % winpath)
        return self.drive_c(*[p for p in winpath[3:].split("\\") if p])

    # -- running ----------------------------------------------------------------
    def env(self, debug="-all"):
        env = base_env(self.path, self.display, debug)
        if self.dll_overrides:
            env["WINEDLLOVERRIDES"] += ";" + self.dll_overrides
        return env

    def session_command(self, args):
        """args as a command that may start the run's Wine session: with a hostname set, in a
        UTS namespace of its own with that host name (root), which Wine's server and every
        program of the session then share."""
        if not self.hostname:
            return args
        return ["unshare", "--uts", "sh", "-c", 'hostname "$0" && exec "$@"', self.hostname] + args

    def wine64(self, args, timeout=60, **kw):
        r = subprocess.run(["timeout", str(timeout), host.WINE64_LOADER] + args, env=self.env(),
                           capture_output=True, text=True, errors="replace", **kw)
        if r.returncode == 124:
            raise HarnessError("Wine did not finish %r within %d s" % (" ".join(args), timeout))
        return r

    def import_values(self, values, scratch):
        """Sets registry values in one regedit call.

        values: (key path, view, name, type name, data). The 32-bit view of
        HKLM\\Software is written through its Wow6432Node path, so that one
        64-bit regedit reaches both views.
        """
        if not values:
            return
        lines = ["REGEDIT4", ""]
        for key, view, name, typ, data in values:
            root, rest = split_root(key)
            hive = {"HKLM": "HKEY_LOCAL_MACHINE", "HKCU": "HKEY_CURRENT_USER"}[root]
            full = hive + "\\" + view_path(root, rest, view)
            lines.append("[%s]" % full)
            code = TYPE_CODES[typ]
            n = "@" if name == "" else '"%s"' % name.replace("\\", "\\\\").replace('"', '\\"')
            if code == REG_DWORD:
                lines.append("%s=dword:%08x" % (n, int(data)))
            elif code == REG_SZ and "\n" not in str(data):
                lines.append('%s="%s"' % (n, str(data).replace("\\", "\\\\").replace('"', '\\"')))
            else:
                # A REGEDIT4 file gives these types' bytes in the ANSI code page.
                if code == REG_MULTI_SZ:
                    raw = ("\0".join(data) + "\0\0").encode("latin-1")
                else:
                    raw = (str(data) + "\0").encode("latin-1")
                lines.append("%s=hex(%x):%s" % (n, code, ",".join("%02x" % b for b in raw)))
            lines.append("")
        with open(scratch, "w", encoding="latin-1") as f:
            f.write("\r\n".join(lines) + "\r\n")
        r = self.wine64(["regedit", "/S", scratch])
        if r.returncode != 0:
            raise HarnessError("regedit /S %s failed: %s" % (scratch, r.stderr[-500:]))

    def map_network_drive(self, letter, remote):
        """Makes letter: a network drive for \\\\server\\share, backed by a folder under
        dosdevices\\unc; with network_drive_value(letter) set when the session starts."""
        parts = [p for p in remote.split("\\") if p]
        os.makedirs(os.path.join(self.path, "dosdevices", "unc", *parts), exist_ok=True)
        os.symlink(os.path.join("unc", *parts), os.path.join(self.path, "dosdevices", letter.lower() + ":"))

    def install_msi(self, msi):
        """Installs a package the way an administrator would (msiexec /i ... /qn); True on success."""
        os.makedirs(self.drive_c("lab-packages"), exist_ok=True)
        name = os.path.basename(msi)
        shutil.copy(msi, self.drive_c("lab-packages", name))
        r = self.wine64(["msiexec", "/i", "C:\\lab-packages\\" + name, "/qn"], timeout=120)
        return r.returncode == 0

    def reg_query(self, key, name, view=32):
        """A value in the running session: (type name, data text) or None."""
        r = self.wine64(["reg", "query", key, "/v", name, "/reg:%d" % view])
        if r.returncode != 0:
            return None
        for line in r.stdout.splitlines():
            # "    NAME    REG_TYPE    DATA": a name may hold blanks ("NV Domain").
            m = re.match(r"\s*(.*?)\s+(REG_[A-Z_]+)(?:\s+(.*))?$", line)
            if m and m.group(1).lower() == name.lower():
                return m.group(2), m.group(3) or ""
        return None

    def end_setup(self, timeout=90):
        """Ends the set-up session the way Windows ends one: every program is waited for and the
        server saves the registry before it goes. `wineserver -k` is no way to end it: it makes the
        server end its programs and quit, and kills it outright when that takes longer than about
        ten seconds (as it can on a loaded machine), losing every value imported since the server's
        last periodic save (once every 30 s), so a later session read a registry with only some of
        the scenario's values."""
        r = subprocess.run(["timeout", str(timeout), "wineserver", "-w"], env=self.env())
        if r.returncode != 0:
            self.kill()
            raise HarnessError("the set-up session did not end within %d s" % timeout)

    def end_session(self, timeout=60):
        """Waits for every program of the prefix to end, then for Wine's server to save and go."""
        r = subprocess.run(["timeout", str(timeout), "wineserver", "-w"], env=self.env())
        if r.returncode != 0:
            self.kill()
            return False
        return True

    def kill(self):
        subprocess.run(["timeout", "30", "wineserver", "-k"], env=self.env(),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def dispose(self, keep=False):
        self.kill()
        if self.overlay:
            for _ in range(5):
                if subprocess.run(["umount", self.path], stderr=subprocess.DEVNULL).returncode == 0:
                    break
                time.sleep(0.5)
        if not keep:
            shutil.rmtree(self.workdir, ignore_errors=True)
