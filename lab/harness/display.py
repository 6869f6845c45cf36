"""A virtual screen for the lab's message boxes: Xvfb, xdotool and import."""

import os
import re
import subprocess
import time


class Screen:
    """One Xvfb for a whole lab run, on the first free display number."""

    def __init__(self, first=90):
        self.proc = None
        for n in range(first, first + 60):
            if os.path.exists("/tmp/.X%d-lock" % n) or os.path.exists("/tmp/.X11-unix/X%d" % n):
                continue
            proc = subprocess.Popen(["Xvfb", ":%d" % n, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            for _ in range(50):
                if os.path.exists("/tmp/.X11-unix/X%d" % n):
                    break
                if proc.poll() is not None:
                    break
                time.sleep(0.1)
            if proc.poll() is None and os.path.exists("/tmp/.X11-unix/X%d" % n):
                self.proc, self.name = proc, ":%d" % n
                return
            proc.kill()
            proc.wait()
        raise RuntimeError("no free display for Xvfb")

    def _x(self, args, timeout=10):
        env = dict(os.environ, DISPLAY=self.name)
        try:
            return subprocess.run(args, env=env, capture_output=True, text=True, errors="replace",
                                  timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def windows(self):
        """{window id: title} of the visible windows that have a title."""
        r = self._x(["xdotool", "search", "--onlyvisible", "--name", "."])
        found = {}
        if r is None or r.returncode != 0:
            return found
        for wid in r.stdout.split():
            n = self._x(["xdotool", "getwindowname", wid])
            if n is not None and n.returncode == 0:
                found[wid] = n.stdout.rstrip("\n")
        return found

    def find(self, title):
        r = self._x(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % re.escape(title)])
        if r is None or r.returncode != 0:
            return []
        return r.stdout.split()

    def is_visible(self, wid):
        r = self._x(["xdotool", "search", "--onlyvisible", "--name", "."])
        return r is not None and wid in r.stdout.split()

    def press(self, wid, keys):
        # No window manager: the newest top-most window has the focus. Focusing
        # it first makes that explicit where Xvfb allows it.
        self._x(["xdotool", "windowfocus", "--sync", wid], timeout=3)
        r = self._x(["xdotool", "key", "--clearmodifiers"] + keys.split())
        return r is not None and r.returncode == 0

    def photograph(self, path):
        r = self._x(["import", "-window", "root", path], timeout=30)
        return r is not None and r.returncode == 0

    def close(self):
        if self.proc:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
            self.proc = None
