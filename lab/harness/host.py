"""What the lab needs from the Linux machine: tools, and 32-bit execution.

Wine runs a 32-bit Windows program through its 32-bit loader, an i386 ELF
program. Some kernels are built without 32-bit support; there the lab runs
the i386 loader through qemu's user-mode emulator, registered with
binfmt_misc (root only). QEMU_RESERVED_VA keeps the emulated address space
at 2 GiB: Wine then finds memory above 2 GiB missing and says so, but
starts in about a second instead of forty (a larger space makes qemu track
every page that Wine reserves up there).
"""

import os
import shutil
import subprocess

WINE32_LOADER = "/usr/lib/wine/wine"
WINE64_LOADER = "/usr/lib/wine/wine64"
QEMU_I386 = "/usr/bin/qemu-i386-static"
BINFMT_DIR = "/proc/sys/fs/binfmt_misc"
BINFMT_NAME = "kestrup-lab-i386"
# i386 ELF executables and shared objects (e_type 2 or 3, e_machine 3).
BINFMT_RULE = (":%s:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:"
               "\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:"
               "%s:F" % (BINFMT_NAME, QEMU_I386))
QEMU_ENV = {"QEMU_RESERVED_VA": "0x7fff0000"}

TOOLS = ["wixl", "msibuild", "Xvfb", "xdotool", "import", "wineserver"]


class LabUnavailable(Exception):
    pass


def missing_tools():
    missing = [t for t in TOOLS if not shutil.which(t)]
    for path in (WINE32_LOADER, WINE64_LOADER):
        if not os.path.exists(path):
            missing.append(path)
    return missing


def _i386_runs():
    try:
        r = subprocess.run([WINE32_LOADER, "--version"], capture_output=True, timeout=60)
        return r.returncode == 0
    except OSError:
        return False
    except subprocess.TimeoutExpired:
        return False


def ensure_i386():
    """Makes sure i386 programs run; returns a line that says how. KESTRUP_LAB_QEMU=1 runs them
    through qemu-user even where this kernel runs them itself, to try the lab as it runs on
    machines without 32-bit support (binfmt_misc's handlers come before the kernel's own)."""
    if os.environ.get("KESTRUP_LAB_QEMU") == "1" and not os.path.exists(os.path.join(BINFMT_DIR, BINFMT_NAME)):
        _register_qemu()
        return "32-bit Wine through qemu-i386 (KESTRUP_LAB_QEMU=1; this kernel could run it natively)"
    if _i386_runs():
        # A handler registered with binfmt_misc comes before the kernel's own 32-bit support, so
        # whether the kernel has it cannot be told here (an earlier run may have registered ours).
        if os.path.exists(os.path.join(BINFMT_DIR, BINFMT_NAME)):
            return "32-bit Wine through qemu-i386 (registered with binfmt_misc before this run)"
        if _foreign_i386_handler():
            return "32-bit Wine through an i386 handler registered with binfmt_misc"
        return "32-bit Wine natively"
    if not os.path.exists(QEMU_I386):
        raise LabUnavailable("this kernel cannot run 32-bit programs and %s is missing: "
                             "install the Debian package qemu-user-static (scripts/lab does)" % QEMU_I386)
    if os.geteuid() != 0:
        raise LabUnavailable("this kernel cannot run 32-bit programs; registering qemu-i386 with "
                             "binfmt_misc needs root")
    _register_qemu()
    return "32-bit Wine through qemu-i386 (registered now; this kernel has no 32-bit support)"


def _register_qemu():
    if not os.path.exists(QEMU_I386):
        raise LabUnavailable("%s is missing: install the Debian package qemu-user-static" % QEMU_I386)
    if not os.path.exists(os.path.join(BINFMT_DIR, "register")):
        subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT_DIR], check=False)
    try:
        with open(os.path.join(BINFMT_DIR, "register"), "w") as f:
            f.write(BINFMT_RULE)
    except OSError as e:
        raise LabUnavailable("cannot register qemu-i386 with binfmt_misc: %s" % e)
    if not _i386_runs():
        raise LabUnavailable("32-bit programs still do not run after registering qemu-i386")


def _foreign_i386_handler():
    try:
        for name in os.listdir(BINFMT_DIR):
            if "i386" in name or "i686" in name:
                return True
    except OSError:
        pass
    return False


def check_ready(kestrup):
    """Everything a lab run needs before it starts; returns how 32-bit programs run."""
    missing = missing_tools()
    if missing:
        raise LabUnavailable("missing: %s (scripts/lib/deps.sh installs them)" % " ".join(missing))
    if not os.path.isfile(kestrup):
        raise LabUnavailable("%s is missing: cmake --preset windows && cmake --build --preset windows" % kestrup)
    return ensure_i386()
