"""The run itself: kestrup.exe in its prefix, every window it shows photographed and answered.

`run_kestrup` starts the program under the lab's display and answers the windows it shows with
the scenario's [[box]] entries, in order (or, for a machine file, each window by the first
unused box of its title). A window nobody expects, a box that stays open after its answer and
a window that closes on keys it must ignore end the run at once: the faults are the outcome's.
"""

import os
import re
import subprocess
import time

from . import trace
from .wine import PROGRAM_DIR_WIN

KESTRUP_EXE = PROGRAM_DIR_WIN + "kestrup.exe"
# The windows Wine's debugger shows when a program of the session crashes.
CRASH_WINDOWS = re.compile(r"^(Program Error|Program Error Details|Wine Debugger)$")


class Session:
    """One run's state: the boxes still to come, the windows seen and photographed."""

    def __init__(self, screen, artefacts, boxes, tolerate, outcome, on_box, any_order, log_path):
        self.log_path = log_path
        self.screen = screen
        self.artefacts = artefacts
        self.expected = list(boxes)
        self.tolerate = tolerate
        self.outcome = outcome
        self.on_box = on_box
        self.any_order = any_order
        self.seen, self.handled = [], set()
        self.aborted = False

    def abort(self, text):
        self.outcome.fail(text)
        self.aborted = True

    def photograph(self, title):
        time.sleep(0.5)  # let it paint before the photograph
        photo = os.path.join(self.artefacts, "%02d-%s.png" % (len(self.seen) + 1, re.sub(r"\W+", "_", title)))
        self.screen.photograph(photo)
        self.seen.append(title)
        return photo

    def box_for(self, title):
        """The expected box that answers a window of this title, taken off the list; None."""
        if self.any_order:
            at = next((i for i, b in enumerate(self.expected) if b["title"] == title), None)
        else:
            at = 0 if self.expected and self.expected[0]["title"] == title else None
        if at is None:
            want = ("a window with an answer" if self.any_order else
                    repr(self.expected[0]["title"]) if self.expected else "no further window")
            self.abort("unexpected window %r (expected %s)" % (title, want))
            return None
        return self.expected.pop(at)

    def ignores(self, wid, title, keys):
        """Presses keys the window must ignore: it is still there 3 s later (under qemu a closed
        window can take 2 s to go)."""
        self.screen.press(wid, keys)
        for _ in range(15):
            time.sleep(0.2)
            if not self.screen.is_visible(wid):
                break
        if not self.screen.is_visible(wid):
            self.abort("window %r closed on %r, which it must ignore" % (title, keys))
            return False
        return True

    def answer(self, wid, title, keys):
        self.screen.press(wid, keys)
        for _ in range(50):
            if not self.screen.is_visible(wid):
                return
            time.sleep(0.1)
        self.abort("box %r still open after pressing %r" % (title, keys))

    def crashed(self, title):
        """A program of the session crashed: the installer's fault when 32-bit code crashed (it and
        the lab's stubs are 32-bit), a lab error when one of Wine's own 64-bit programs did."""
        self.photograph(title)
        time.sleep(1)  # Wine writes its line about the crash before the window comes
        with open(self.log_path, errors="replace") as f:
            found = trace.crash(f.read())
        what = "a program crashed (Wine's window %r): %s" % (title, found[1] if found else "no line in wine.log")
        if found and found[0] == 32:
            self.outcome.fail(what)
        else:
            self.outcome.error(what)
        self.aborted = True

    def handle(self, wid, title):
        if CRASH_WINDOWS.match(title):
            self.crashed(title)
            return
        if any(t.search(title) for t in self.tolerate):
            self.outcome.notes.append("window %r tolerated" % title)
            return
        photo = self.photograph(title)
        box = self.box_for(title)
        if box is None:
            return
        if self.on_box:
            self.on_box(box, wid, photo)
        if all(self.ignores(wid, title, keys) for keys in box.get("ignored", [])):
            self.answer(wid, title, box["answer"])

    def poll(self):
        for wid, title in self.screen.windows().items():
            if wid not in self.handled:
                self.handled.add(wid)
                self.handle(wid, title)
                if self.aborted:
                    return


def run_kestrup(pfx, switches, screen, artefacts, boxes=(), tolerate=(), timeout=240, outcome=None,
                on_box=None, any_order=False, launcher=None):
    """Runs kestrup.exe in the prefix, answering the expected boxes in order (any_order: each
    window by the first unused box of its title, and boxes that never come are no fault).
    on_box(box, window id, photograph) makes the checks due while a box is up.

    Returns (exit value or None, titles seen in order, trace text). Problems go
    to outcome.fail.
    """
    pfx.display = screen.name
    log_path = os.path.join(artefacts, "wine.log")
    # A launcher (a deployment tool's stand-in) is given kestrup.exe's command line and answers its exit value.
    program = [launcher, KESTRUP_EXE] if launcher else [KESTRUP_EXE]
    args = pfx.session_command(["timeout", str(timeout), "wine"] + program + switches.split())
    s = Session(screen, artefacts, boxes, tolerate, outcome, on_box, any_order, log_path)
    with open(log_path, "w") as log:
        proc = subprocess.Popen(args, cwd=pfx.program_dir(), env=pfx.env("-all,+relay"),
                                stdout=log, stderr=subprocess.STDOUT)
        while proc.poll() is None and not s.aborted:
            s.poll()
            time.sleep(0.2)
        if s.aborted:
            pfx.kill()
        try:
            rc = proc.wait(timeout + 30)
        except subprocess.TimeoutExpired:
            proc.kill()
            rc = None
    if rc == 124:
        gave_up = "90 s: the launcher gave up on it, as a deployment tool would"
        outcome.fail("kestrup.exe did not end within %s" % (gave_up if launcher else "%d s" % timeout))
        rc = None
    for box in [] if any_order else s.expected:
        outcome.fail("expected box %r never appeared" % box["title"])
    with open(log_path, errors="replace") as f:
        trace_text = f.read()
    return (None if s.aborted else rc), s.seen, trace_text
