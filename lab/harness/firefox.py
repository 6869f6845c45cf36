"""Real Firefox reads a prefs.js that kestrup.exe rewrote inside the prefix.

Debian's firefox-esr starts headless on a fresh profile holding only a copy
of that prefs.js, is ended the way a logout ends it (SIGTERM), and writes
prefs.js anew as it exits. The check passes when Firefox reported no parse
error, wrote the file itself (LF line ends again, where the installer wrote
CR LF) and holds each expected preference with the expected value.
"""

import json
import os
import shutil
import signal
import subprocess
import tempfile
import time

FIREFOX = "firefox-esr"


def _statement(name, value):
    # Firefox writes strings in double quotes with JSON's escapes, truth values in lower case.
    return 'user_pref(%s, %s);' % (json.dumps(name), json.dumps(value))


def problems_reading(prefs_path, expected, timeout=60):
    """What is wrong when Firefox reads prefs_path; an empty list when nothing is.
    expected: {preference name: value} that Firefox must hold afterwards."""
    if shutil.which(FIREFOX) is None:
        return ["%s is not installed (apt-get install %s)" % (FIREFOX, FIREFOX)]
    work = tempfile.mkdtemp(prefix="kestrup-firefox-")
    try:
        profile = os.path.join(work, "profile")
        os.makedirs(profile)
        shutil.copy(prefs_path, os.path.join(profile, "prefs.js"))
        env = dict(os.environ, HOME=os.path.join(work, "home"), MOZ_CRASHREPORTER_DISABLE="1",
                   MOZ_DISABLE_AUTO_SAFE_MODE="1")
        os.makedirs(env["HOME"])
        env.pop("DISPLAY", None)
        log_path = os.path.join(work, "firefox.log")
        with open(log_path, "wb") as log:
            proc = subprocess.Popen([FIREFOX, "--headless", "--no-remote", "--profile", profile, "about:blank"],
                                    stdout=log, stderr=subprocess.STDOUT, env=env, start_new_session=True)
            try:
                # Firefox has read the preferences once it has written its compatibility record.
                deadline = time.time() + timeout
                while time.time() < deadline and proc.poll() is None and \
                        not os.path.exists(os.path.join(profile, "compatibility.ini")):
                    time.sleep(0.25)
                time.sleep(2)
                proc.send_signal(signal.SIGTERM)
                proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                pass
            finally:
                if proc.poll() is None:
                    os.killpg(proc.pid, signal.SIGKILL)
                    proc.wait()
        with open(log_path, "rb") as f:
            log_text = f.read().decode("utf-8", "replace")
        with open(os.path.join(profile, "prefs.js"), "rb") as f:
            written = f.read().decode("utf-8", "replace")
        problems = []
        for line in log_text.splitlines():
            if "parse error" in line.lower():
                problems.append("Firefox reported: %s" % line.strip())
        if "\r" in written:
            problems.append("Firefox did not write prefs.js again on exit")
            return problems
        for name, value in expected.items():
            want = _statement(name, value)
            if want not in written.splitlines():
                got = [line for line in written.splitlines() if json.dumps(name) in line]
                problems.append("Firefox holds %s, expected %s" % (got or "nothing for %s" % name, want))
        return problems
    finally:
        shutil.rmtree(work, ignore_errors=True)
