"""The lab's report of one run: what it showed and what it changed, as text and as HTML.

`RunRecord` holds what a run left (exit value, windows shown with their
photographs, registry and file changes, hive loads, programs started, restart
requests); `text(record)` and `html(record)` present it. The HTML page is self-
contained: the photographs are embedded as data: addresses, there are no
scripts, style sheets or fonts from elsewhere.
"""

import base64
import html as _html
import os
import re
from dataclasses import dataclass, field

SHOW = {0: "SW_HIDE", 1: "SW_SHOWNORMAL", 2: "SW_SHOWMINIMIZED", 3: "SW_SHOWMAXIMIZED", 7: "SW_SHOWMINNOACTIVE"}
EXIT = {0: "stopped", 1: "completed, or a restart or log-off was requested"}
EWX = {3: "restart (EWX_SHUTDOWN | EWX_REBOOT)", 4: "log-off (EWX_LOGOFF | EWX_FORCE)"}

# What a change is about, by the key as a 32-bit program names it (first match wins).
TOPICS = (
    ("Earlier software and installed packages", ("hklm\\software\\microsoft\\windows\\currentversion\\uninstall\\",
                                                 "hklm\\software\\kestrup lab\\earlier")),
    ("Installer event log", ("hklm\\software\\halvern\\kestrup\\installerlog",)),
    ("Identity", ("hkcu\\software\\mit\\kerberos5", "hkcu\\software\\mit\\netidmgr\\kcdb\\",
                  "hkcu\\software\\halvern\\kfw",
                  "hklm\\software\\mit\\netidmgr\\pluginmanager\\plugins\\afscred",
                  "hkcu\\software\\mit\\netidmgr\\pluginmanager\\plugins\\afscred")),
    ("Internet Explorer", ("hkcu\\software\\microsoft\\windows\\currentversion\\internet settings",)),
    ("LSA and TCP/IP", ("hklm\\system\\currentcontrolset\\control\\lsa",
                        "hklm\\system\\currentcontrolset\\services\\tcpip")),
    ("Kerberos for Windows package", ("hklm\\software\\mit\\kerberos",)),
    ("Credential manager", ("hkcu\\software\\mit\\netidmgr",)),
)
OTHER = "Other"


def topic_of(path):
    k = path.lower() + "\\"
    for name, prefixes in TOPICS:
        if any(k.startswith(p) for p in prefixes):
            return name
    return OTHER


@dataclass
class Shown:
    """A window the run showed, in order: its title, the message box's text and style when the
    trace has them, and its photograph."""
    title: str
    photo: str = None
    text: str = None
    style: int = None
    answer: str = None


@dataclass
class RegChange:
    owner: str        # "Machine" or the user whose hive holds it
    path: str         # the key as a 32-bit program names it
    view: str         # "", "32-bit view" or "64-bit view"
    name: str
    before: str       # None when added
    after: str        # None when removed


@dataclass
class FileChange:
    owner: str
    path: str
    kind: str         # added, changed, removed
    before: int       # size in bytes, None when added
    after: int
    diff: list = None  # for a text file such as prefs.js: its lines removed ("- ") and added ("+ ")


@dataclass
class RunRecord:
    title: str
    machine: str
    windows: str
    switches: str
    package: str
    exit: int = None
    shown: list = field(default_factory=list)
    registry: list = field(default_factory=list)
    installer_records: int = 0
    files: list = field(default_factory=list)
    hives: dict = field(default_factory=dict)      # user: (loads that succeeded, unloads)
    started: list = field(default_factory=list)    # (program, command line, show state, current directory)
    requests: list = field(default_factory=list)   # ExitWindowsEx calls, described
    package_results: list = field(default_factory=list)  # what MsiInstallProductA answered, each call
    log: list = field(default_factory=list)        # the installer event log's new entries
    drives: list = field(default_factory=list)     # network drives the run disconnected
    held: list = field(default_factory=list)       # the machine file's expectations that held
    failed: list = field(default_factory=list)     # and those that did not
    notes: list = field(default_factory=list)
    artefacts: str = ""
    run_log: tuple = (None, None)  # the installer's own log of the run: (file name, text)


# Windows Installer's answers that leave the package installed.
INSTALLED = {0: "installed", 3010: "installed; Windows must restart to finish",
             1641: "installed; the package restarted Windows"}


def headline(record):
    """One line: whether Kerberos for Windows ended up installed, and why the run stopped."""
    fatal = [e for e in record.log if e.startswith("FATAL ERROR: ")]
    restart = bool(record.requests) or any(s.title in ("Restart Computer?", "Reboot now?") for s in record.shown)
    result = record.package_results[-1] if record.package_results else None
    if result in INSTALLED:
        state = "Kerberos for Windows %s" % INSTALLED[result]
    elif result is None and restart:
        state = "Kerberos for Windows deferred to the next run (a restart was requested first)"
    elif result is None:
        state = "Kerberos for Windows not installed (the package was never started)"
    else:
        state = "Kerberos for Windows not installed (the package answered %d)" % result
    if record.exit is None:
        why = "the run did not end by itself"
    elif record.exit == 1:
        why = "the run ended with a restart request" if restart else "the run completed"
    elif fatal:
        why = "the run stopped: %s" % fatal[-1]
    elif record.shown:
        why = "the run stopped after %r" % record.shown[-1].title
    else:
        why = "the run stopped"
    return "%s; %s." % (state, why.rstrip("."))


def exit_text(rc):
    return "%s%s" % (rc, " (%s)" % EXIT[rc] if rc in EXIT else " (the run did not end by itself)" if rc is None else "")


def show_state(rec):
    show = int(rec.get("showwindow", "0") or 0)
    if rec.get("useshowwindow") == "1":
        return "%s (%d) asked through STARTF_USESHOWWINDOW" % (SHOW.get(show, "?"), show)
    return "no show state asked"


def owners(record):
    seen = []
    for c in record.registry + record.files:
        if c.owner not in seen:
            seen.append(c.owner)
    for u in record.hives:
        if u not in seen:
            seen.append(u)
    return sorted(seen, key=lambda o: (o != "Machine", o))


def _describe(c):
    verb = "added" if c.before is None else "removed" if c.after is None else "changed"
    return "%s: %s \"%s\"%s %s" % (c.owner, c.path, c.name or "(default)", " [%s]" % c.view if c.view else "", verb)


def summary(record):
    """[(topic, [line])]: what the run did, topic by topic in the order of the run."""
    by_topic = {}
    for c in record.registry:
        by_topic.setdefault(topic_of(c.path), []).append(_describe(c))
    browsers = by_topic.pop("Internet Explorer", [])
    browsers += ["%s: Firefox preferences %s %s" % (f.owner, f.path, f.kind)
                 for f in record.files if re.search(r"\\prefs\.js(\.BACKUP)?$", f.path, re.I)]
    browsers += ["%s: hive loaded %d times and unloaded %d times for the per-user settings" % (u, lo, un)
                 for u, (lo, un) in sorted(record.hives.items())]
    if browsers:
        by_topic["Browsers (Firefox and Internet Explorer)"] = browsers
    order = [t for t, _ in TOPICS if t != "Internet Explorer"]
    order.insert(order.index("LSA and TCP/IP"), "Browsers (Firefox and Internet Explorer)")
    return [(t, by_topic[t]) for t in order + [OTHER] if t in by_topic]


# ---- text -----------------------------------------------------------------------------------

def text(record):
    out = []
    p = out.append
    p("")
    p("Kestrup lab report: %s" % record.title)
    p("  %s" % headline(record))
    p("  machine %s; Windows %s; switches %s; package '%s'" % (record.machine, record.windows,
                                                               record.switches or "(none)", record.package))
    p("  exit value: %s" % exit_text(record.exit))
    p("")
    p("Windows shown, in order (%d):" % len(record.shown))
    for s in record.shown:
        line = "  [%s]" % s.title
        if s.style is not None:
            line += " style 0x%x" % s.style
        if s.text is not None:
            line += ": " + s.text.replace("\n", "\\n")
        if s.answer:
            line += "  -> answered %r" % s.answer
        p(line)
    p("")
    p("What the run did:")
    for topic, lines in summary(record):
        p("  %s" % topic)
        for line in lines:
            p("    %s" % line)
    if not summary(record) and not record.drives:
        p("  nothing changed")
    for d in record.drives:
        p("  network drive %s disconnected" % d)
    p("")
    for owner in owners(record):
        regs = [c for c in record.registry if c.owner == owner]
        files = [c for c in record.files if c.owner == owner]
        p("%s: %d registry values and %d files added, changed or removed" % (owner, len(regs), len(files)))
        for c in regs:
            where = '%s  "%s"%s' % (c.path, c.name or "(default)", "  [%s]" % c.view if c.view else "")
            if c.before is None:
                p("  + %s = %s" % (where, c.after))
            elif c.after is None:
                p("  - %s (was %s)" % (where, c.before))
            else:
                p("  ~ %s = %s (was %s)" % (where, c.after, c.before))
        for f in files:
            p("  %s %s (%s bytes)" % ({"added": "+", "changed": "~", "removed": "-"}[f.kind], f.path,
                                      f.after if f.after is not None else f.before))
            for line in f.diff or []:
                p("      %s" % line)
        if owner in record.hives:
            loads, unloads = record.hives[owner]
            p("  hive loaded %d times, unloaded %d times (Wine keeps nothing written into a loaded hive;"
              " those values are checked on the simulated Windows)" % (loads, unloads))
    if record.installer_records:
        p("(and %d values of Windows Installer's own records of the packages, not listed)" % record.installer_records)
    p("")
    p("Programs started (lab stub records):")
    if not record.started:
        p("  none")
    for name, cmdline, how, cwd in record.started:
        p("  %s: command line %s; %s; current directory %s" % (name, cmdline, how, cwd))
    p("")
    p("Restart and log-off requests: %s" % (", ".join(record.requests) or "none"))
    if record.held or record.failed:
        p("")
        p("What the machine file expects: %d held, %d did not" % (len(record.held), len(record.failed)))
        for h in record.held:
            p("  held: %s" % h)
        for f in record.failed:
            p("  DID NOT HOLD: %s" % f)
    for n in record.notes:
        p("Note: %s" % n)
    p("")
    name, log = record.run_log
    where = "C:\\windows\\Logs\\Kestrup\\%s, %d lines (in the HTML report)" % (name, log.count("\n")) if name else None
    p("The run's own log: %s" % (where or "none"))
    p("Artefacts (Wine's trace, registry files before and after, screenshots): %s" % record.artefacts)
    return "\n".join(out) + "\n"


# ---- HTML -----------------------------------------------------------------------------------

STYLE = """
body { font-family: sans-serif; margin: 1.5em; color: #222; background: #fff; }
h1 { font-size: 1.4em; } h2 { font-size: 1.15em; margin-top: 1.6em; border-bottom: 1px solid #ccc; }
table { border-collapse: collapse; margin: 0.5em 0 1em; }
th, td { border: 1px solid #bbb; padding: 0.2em 0.5em; text-align: left; vertical-align: top; font-size: 0.9em; }
th { background: #e8eef6; }
td.added { background: #e6f5e6; } td.removed { background: #f9e3e3; } td.changed { background: #fff6d9; }
code, td.v { font-family: monospace; white-space: pre-wrap; word-break: break-all; }
figure { display: inline-block; margin: 0 1em 1em 0; vertical-align: top; max-width: 48%; }
figure img { max-width: 100%; border: 1px solid #999; }
figcaption { font-size: 0.9em; }
.exit { font-size: 1.1em; font-weight: bold; }
pre.log { font-size: 0.85em; background: #f6f6f6; border: 1px solid #ccc; padding: 0.5em; white-space: pre-wrap; }
span.added { background: #e6f5e6; } span.removed, li.removed { background: #f9e3e3; }
"""


def data_uri(png):
    with open(png, "rb") as f:
        return "data:image/png;base64," + base64.b64encode(f.read()).decode("ascii")


def _e(t):
    return _html.escape("" if t is None else str(t))


def html(record):
    out = ['<!DOCTYPE html>', '<html lang="en"><head><meta charset="utf-8">',
           '<title>Kestrup lab report</title><style>%s</style></head><body>' % STYLE]
    p = out.append
    p("<h1>Kestrup lab report: %s</h1>" % _e(record.title))
    p("<p>Machine <code>%s</code>; Windows <b>%s</b>; switches <code>%s</code>; package <b>%s</b>.</p>"
      % (_e(record.machine), _e(record.windows), _e(record.switches or "(none)"), _e(record.package)))
    p('<p class="exit">%s</p>' % _e(headline(record)))
    p('<p>Exit value: %s</p>' % _e(exit_text(record.exit)))

    p("<h2>Windows shown, in order (%d)</h2>" % len(record.shown))
    if not record.shown:
        p("<p>None: the run asked nothing.</p>")
    for i, s in enumerate(record.shown, 1):
        p("<figure>")
        if s.photo and os.path.isfile(s.photo):
            p('<img alt="%s" src="%s">' % (_e(s.title), data_uri(s.photo)))
        cap = "%d. <b>%s</b>" % (i, _e(s.title))
        if s.style is not None:
            cap += " (style 0x%x)" % s.style
        if s.answer:
            cap += ", answered <code>%s</code>" % _e(s.answer)
        if s.text:
            cap += "<br>%s" % _e(s.text).replace("\n", "<br>")
        p("<figcaption>%s</figcaption></figure>" % cap)

    p("<h2>What the run did</h2><ul>")
    for topic, lines in summary(record):
        p("<li><b>%s</b><ul>%s</ul></li>" % (_e(topic), "".join("<li>%s</li>" % _e(x) for x in lines)))
    for d in record.drives:
        p("<li>Network drive <code>%s</code> disconnected</li>" % _e(d))
    if not summary(record) and not record.drives:
        p("<li>Nothing changed.</li>")
    p("</ul>")

    for owner in owners(record):
        regs = [c for c in record.registry if c.owner == owner]
        files = [c for c in record.files if c.owner == owner]
        p("<h2>%s</h2>" % _e(owner if owner == "Machine" else "User " + owner))
        if owner in record.hives:
            loads, unloads = record.hives[owner]
            p("<p>Hive loaded %d times, unloaded %d times. Wine keeps nothing written into a loaded hive: "
              "those values are checked on the simulated Windows.</p>" % (loads, unloads))
        if regs:
            p("<table><tr><th>Registry key</th><th>Value</th><th>Before</th><th>After</th></tr>")
            for c in regs:
                kind = "added" if c.before is None else "removed" if c.after is None else "changed"
                p('<tr><td class="v">%s%s</td><td class="v">%s</td><td class="v">%s</td><td class="v %s">%s</td></tr>'
                  % (_e(c.path), " <i>(%s)</i>" % _e(c.view) if c.view else "", _e(c.name or "(default)"),
                     _e(c.before if c.before is not None else "—"), kind,
                     _e(c.after if c.after is not None else "(removed)")))
            p("</table>")
        if files:
            p("<table><tr><th>File</th><th>Before</th><th>After</th></tr>")
            for f in files:
                p('<tr><td class="v">%s</td><td>%s</td><td class="%s">%s</td></tr>'
                  % (_e(f.path), "—" if f.before is None else "%d bytes" % f.before, f.kind,
                     "(removed)" if f.after is None else "%d bytes" % f.after))
                if f.diff:
                    p('<tr><td colspan="3" class="v">%s</td></tr>' % "<br>".join(
                        '<span class="%s">%s</span>' % ("removed" if d.startswith("-") else "added", _e(d))
                        for d in f.diff))
            p("</table>")
    if record.installer_records:
        p("<p>And %d values of Windows Installer's own records of the packages, not listed.</p>"
          % record.installer_records)

    p("<h2>Programs started</h2>")
    if record.started:
        p("<table><tr><th>Program</th><th>Command line</th><th>Show state</th><th>Current directory</th></tr>")
        for name, cmdline, how, cwd in record.started:
            p("<tr><td>%s</td><td class=\"v\">%s</td><td>%s</td><td class=\"v\">%s</td></tr>"
              % (_e(name), _e(cmdline), _e(how), _e(cwd)))
        p("</table>")
    else:
        p("<p>None.</p>")
    p("<h2>Restart and log-off requests</h2><p>%s</p>" % _e(", ".join(record.requests) or "None."))
    if record.held or record.failed:
        p("<h2>What the machine file expects: %d held, %d did not</h2><ul>" % (len(record.held), len(record.failed)))
        p("".join("<li>held: %s</li>" % _e(h) for h in record.held))
        p("".join('<li class="removed"><b>did not hold:</b> %s</li>' % _e(f) for f in record.failed))
        p("</ul>")
    for n in record.notes:
        p("<p><b>Note:</b> %s</p>" % _e(n))
    name, log = record.run_log
    p("<h2>The run's own log</h2>")
    if name:
        p("<p><code>C:\\windows\\Logs\\Kestrup\\%s</code>, as kestrup.exe wrote it:</p>" % _e(name))
        p('<pre class="log">%s</pre>' % _e(log))
    else:
        p("<p>None: the run left no log.</p>")
    p("<p>Artefacts: <code>%s</code></p>" % _e(record.artefacts))
    p("</body></html>")
    return "\n".join(out) + "\n"


def embedded_images(page):
    """The decoded bytes of every data: image of a page, in order (for its test)."""
    return [base64.b64decode(m.group(1)) for m in re.finditer(r'src="data:image/png;base64,([A-Za-z0-9+/=]+)"', page)]


# ---- a scenario's outcome -------------------------------------------------------------------

class Outcome:
    """What a scenario's run came to: the problems found in the installer's run (none: passed),
    the lab's own errors (Wine or the harness went another way: no verdict on the installer),
    notes, or why it could not be staged on this machine (skipped)."""

    def __init__(self, name):
        self.name = name
        self.problems = []
        self.held = []  # the expectations that held, one line each
        self.errors = []
        self.notes = []
        self.seconds = 0.0
        self.exit = None
        self.skipped = None  # why the scenario could not be staged on this machine

    @property
    def passed(self):
        return not self.problems and not self.errors and not self.skipped

    def fail(self, text):
        self.problems.append(text)

    def error(self, text):
        self.errors.append(text)

    @property
    def verdict(self):
        if self.errors:
            return "ERROR"
        return "SKIP" if self.skipped and not self.problems else "PASS" if self.passed else "FAIL"

    def line(self):
        """The scenario's line in the lab's output."""
        why = {"SKIP": ": %s" % self.skipped, "FAIL": ": %s" % "; ".join(self.problems),
               "ERROR": ": %s" % "; ".join(self.errors + self.problems)}.get(self.verdict, "")
        return "%s %s (%.0f s)%s" % (self.verdict, self.name, self.seconds, why)


def write_result(path, s, o):
    """result.txt beside the scenario's artefacts."""
    with open(path, "w") as f:
        f.write("%s %s (%.1f s)\n" % (o.verdict, s.name, o.seconds))
        if o.skipped:
            f.write("skipped: %s\n" % o.skipped)
        f.write("about: %s\nexit value: %s\n" % (s.about, o.exit))
        for e in o.errors:
            f.write("lab error (no verdict on the installer): %s\n" % e)
        for p in o.problems:
            f.write("problem: %s\n" % p)
        for n in o.notes:
            f.write("note: %s\n" % n)
