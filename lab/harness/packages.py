"""The lab's Windows Installer packages, built from lab/wix with wixl.

kfw_*: the Kerberos package laid beside kestrup.exe. tessel and openafs:
earlier software that a scenario installs before the run.

wixl cannot express a failing custom action, so the failing package is the
installing one with a type-19 action ("error message, then fail") added by
msibuild after InstallFiles: Windows Installer answers 1603.
"""

import os
import shutil
import subprocess

WIX_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "wix")
PACKAGES = ("ok", "reboot", "fail")
# The site's earlier software, installed into a prefix before a run (tessel.wxs, openafs.wxs), with
# the architecture of each package: on 64-bit Windows the AFS client is a 64-bit package (it has a
# driver), so its uninstall entry is in the 64-bit view of the registry alone.
EARLIER = {"tessel": "x86", "openafs": "x86", "openafs64": "x64"}

FAIL_SQL = [
    "INSERT INTO `CustomAction` (`Action`,`Type`,`Source`,`Target`) "
    "VALUES ('LabFail',19,'','This lab package fails on purpose.')",
    "INSERT INTO `InstallExecuteSequence` (`Action`,`Condition`,`Sequence`) VALUES ('LabFail','NOT Installed',4001)",
]


def view_of(package):
    """The registry view that holds an earlier package's uninstall entry."""
    return 64 if EARLIER[package] == "x64" else 32


def build(stub_dir, out_dir):
    """Builds every package into out_dir; returns {name: path}."""
    stub = os.path.join(stub_dir, "netidmgr.exe")
    if not os.path.isfile(stub):
        raise FileNotFoundError("stub %s is missing: build the windows preset first" % stub)
    src = os.path.join(out_dir, "src")
    shutil.rmtree(src, ignore_errors=True)
    os.makedirs(src)
    for name in os.listdir(WIX_DIR):
        if name.endswith((".wxs", ".wxi")):
            shutil.copy(os.path.join(WIX_DIR, name), src)
    shutil.copy(stub, src)
    built = {}
    for p in PACKAGES:
        msi = os.path.join(out_dir, "kfw_%s.msi" % p)
        if os.path.exists(msi):
            os.remove(msi)
        r = subprocess.run(["wixl", "-a", "x86", "-o", msi, "kfw_%s.wxs" % p], cwd=src,
                           capture_output=True, text=True)
        if r.returncode != 0 or not os.path.isfile(msi):
            raise RuntimeError("wixl kfw_%s.wxs failed: %s" % (p, r.stderr.strip()))
        if p == "fail":
            for q in FAIL_SQL:
                r = subprocess.run(["msibuild", msi, "-q", q], capture_output=True, text=True)
                if r.returncode != 0:
                    raise RuntimeError("msibuild failed: %s" % r.stderr.strip())
        built[p] = msi
    for p, arch in EARLIER.items():
        msi = os.path.join(out_dir, "%s.msi" % p)
        if os.path.exists(msi):
            os.remove(msi)
        wxs = "%s.wxs" % (p[:-2] if p.endswith("64") else p)
        r = subprocess.run(["wixl", "-a", arch, "-o", msi, wxs], cwd=src, capture_output=True, text=True)
        if r.returncode != 0 or not os.path.isfile(msi):
            raise RuntimeError("wixl -a %s %s failed: %s" % (arch, wxs, r.stderr.strip()))
        built[p] = msi
    return built
