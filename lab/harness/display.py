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

    def geometry(self, wid):
        """(x, y, width, height) of a window on the screen, or None."""
        r = self._x(["xdotool", "getwindowgeometry", "--shell", wid])
        if r is None or r.returncode != 0:
            return None
        g = dict(line.split("=", 1) for line in r.stdout.split() if "=" in line)
        try:
            return int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"])
        except (KeyError, ValueError):
            return None

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


def rgb_pixels(png, rect=None):
    """(width, height, raw RGB bytes) of a picture, or of the part inside rect (x, y, width, height)."""
    crop = ["-crop", "%dx%d+%d+%d" % (rect[2], rect[3], rect[0], rect[1]), "+repage"] if rect else []
    r = subprocess.run(["convert", png] + crop + ["-alpha", "off", "-depth", "8", "ppm:-"], capture_output=True,
                       timeout=30)
    if r.returncode != 0:
        raise RuntimeError("convert %s: %s" % (png, r.stderr.decode(errors="replace").strip()))
    data = r.stdout
    # P6 header: magic, width, height, maximum, each followed by one white space or more.
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    return int(fields[1]), int(fields[2]), data[pos + 1:]


def coloured_pixels(png, rect):
    """The pixels of a photograph inside rect (x, y, width, height) that are not grey:
    [(x, y, (r, g, b))]. Dialog faces, texts and frames are grey; colour comes from pictures."""
    x, y = rect[0], rect[1]
    pw, ph, data = rgb_pixels(png, rect)
    found = []
    for j in range(ph):
        for i in range(pw):
            o = 3 * (j * pw + i)
            c = data[o], data[o + 1], data[o + 2]
            if max(c) - min(c) > 24:
                found.append((x + i, y + j, c))
    return found
