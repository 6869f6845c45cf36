"""What a run changed in a prefix: registry values and files, before against after."""

import os
import re

from .regfile import Registry

# Keys that Wine itself rewrites in every session, whatever the program does.
NOISE_KEYS = (
    "hardware\\",
    "system\\currentcontrolset\\control\\session manager\\environment",
    "system\\currentcontrolset\\services\\tcpip\\parameters\\interfaces",
    "software\\microsoft\\windows nt\\currentversion\\perflib",
    "software\\wine\\",
    "software\\wow6432node\\wine\\",
    "system\\currentcontrolset\\control\\class\\",
    "system\\currentcontrolset\\enum\\",
    "system\\currentcontrolset\\control\\deviceclasses\\",
    "system\\currentcontrolset\\control\\video\\",
    "system\\mounteddevices",
    "volatile environment",
    "software\\microsoft\\windows\\currentversion\\explorer\\",
)
# Records of the Windows Installer's own bookkeeping: kept, but summed up.
INSTALLER_KEYS = (
    "software\\microsoft\\windows\\currentversion\\installer\\",
    "software\\classes\\installer\\",
    "software\\wow6432node\\microsoft\\windows\\currentversion\\uninstall\\",
    "software\\microsoft\\windows\\currentversion\\uninstall\\",
)
# Uninstall entries: each one's DisplayName is shown, the rest summed up with the records above.
UNINSTALL_KEYS = INSTALLER_KEYS[2:]
NOISE_FILES = ("windows/", "ProgramData/Microsoft/")
# What Wine itself keeps in every user's profile (shell folders, caches, temporary files).
NOISE_USER_FILES = re.compile(r"users/[^/]+/(AppData/Local/(Temp|Microsoft)/|Temp/|Local Settings/Temp/)", re.I)


def _is(key, prefixes):
    k = key.lower() + "\\"
    return any(k.startswith(p) for p in prefixes)


def registry_changes(before_dir, after_dir):
    """[(hive, key, name, old Value or None, new Value or None)], noise left out."""
    before, after = Registry(before_dir), Registry(after_dir)
    out = []
    for label, b, a in (("HKLM", before.machine, after.machine), ("HKCU", before.user, after.user)):
        for lk, (key, avals) in sorted(a.keys.items()):
            if _is(key, NOISE_KEYS):
                continue
            bvals = b.keys.get(lk, (key, {}))[1]
            for ln, v in sorted(avals.items()):
                old = bvals.get(ln)
                if old is None or old != v:
                    out.append((label, key, v.name, old, v))
            for ln, v in sorted(bvals.items()):
                if ln not in avals:
                    out.append((label, key, v.name, v, None))
        for lk, (key, bvals) in sorted(b.keys.items()):
            if lk not in a.keys and not _is(key, NOISE_KEYS):
                for v in bvals.values():
                    out.append((label, key, v.name, v, None))
    return out


def file_snapshot(drive_c):
    snap = {}
    for root, dirs, files in os.walk(drive_c):
        for f in files:
            p = os.path.join(root, f)
            try:
                st = os.lstat(p)
            except OSError:
                continue
            snap[os.path.relpath(p, drive_c)] = (st.st_size, st.st_mtime_ns)
    return snap


def file_changes(before, after):
    out = []
    for rel in sorted(set(before) | set(after)):
        r = rel.replace(os.sep, "/")
        if r.startswith(NOISE_FILES) or NOISE_USER_FILES.match(r):
            continue
        if rel not in before:
            out.append(("added", rel, after[rel][0]))
        elif rel not in after:
            out.append(("removed", rel, before[rel][0]))
        elif before[rel] != after[rel]:
            out.append(("changed", rel, after[rel][0]))
    return out


def view_of(hive, key):
    """How a 32-bit program names the key, and in which view it lives."""
    if hive == "HKLM" and key.lower().startswith("software\\wow6432node\\"):
        return "HKLM\\Software\\" + key[len("software\\wow6432node\\"):], "32-bit view"
    if hive == "HKLM" and key.lower().startswith("software\\"):
        return "HKLM\\" + key, "64-bit view"
    return hive + "\\" + key, ""
