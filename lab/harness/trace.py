"""Reading Wine's relay trace (WINEDEBUG=+relay with a RelayInclude list)."""

import re

RELAY_INCLUDE = ";".join([
    "user32.MessageBoxA", "user32.ExitWindowsEx",
    "advapi32.RegLoadKeyA", "advapi32.RegUnLoadKeyA",
    "mpr.WNetCancelConnection2A", "kernel32.MoveFileExA",
    "user32.DialogBoxParamA", "user32.EndDialog", "mpr.WNetGetConnectionA",
    "msi.MsiInstallProductA",
])

_STR = r'\w+ "((?:[^"\\]|\\.)*)"(\.\.\.)?'
_MSGBOX = re.compile(r"Call user32\.MessageBoxA\((\w+)," + _STR + "," + _STR + r",(\w+)\)")
_DBG_ESC = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"', "a": "\a", "b": "\b", "f": "\f", "v": "\v"}


def unescape_debugstr(s):
    out, i = [], 0
    while i < len(s):
        c = s[i]
        if c == "\\" and i + 1 < len(s):
            n = s[i + 1]
            if n == "x":
                m = re.match(r"[0-9a-fA-F]{1,2}", s[i + 2:])
                out.append(chr(int(m.group(0), 16)))
                i += 2 + len(m.group(0))
                continue
            if n.isdigit():
                m = re.match(r"[0-7]{1,3}", s[i + 1:])
                out.append(chr(int(m.group(0), 8)))
                i += 1 + len(m.group(0))
                continue
            out.append(_DBG_ESC.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


class MessageBoxCall:
    def __init__(self, owner, text, text_cut, title, title_cut, style):
        self.owner, self.text, self.text_cut = int(owner, 16), text, text_cut
        self.title, self.title_cut, self.style = title, title_cut, int(style, 16)

    def text_matches(self, expected):
        return expected.startswith(self.text) if self.text_cut else expected == self.text

    def title_matches(self, expected):
        return expected.startswith(self.title) if self.title_cut else expected == self.title


def message_boxes(trace_text):
    calls = []
    for m in _MSGBOX.finditer(trace_text):
        calls.append(MessageBoxCall(m.group(1), unescape_debugstr(m.group(2)), bool(m.group(3)),
                                    unescape_debugstr(m.group(4)), bool(m.group(5)), m.group(6)))
    return calls


def calls(trace_text, function):
    """The argument texts of every relayed call of e.g. 'user32.ExitWindowsEx'."""
    pat = re.compile(r"Call %s\((.*)\) ret=" % re.escape(function))
    return [m.group(1) for m in pat.finditer(trace_text)]


def calls_with_results(trace_text, function):
    """(argument text, return value text or None) of every relayed call of the function: the
    return is the next "Ret" line of the same function on the same thread."""
    name = re.escape(function)
    pat = re.compile(r"^(\w+):(?:Call %s\((.*)\) ret=|Ret  %s\(\) retval=(\w+))" % (name, name), re.M)
    found, open_calls = [], {}
    for m in pat.finditer(trace_text):
        thread = m.group(1)
        if m.group(3) is None:
            open_calls[thread] = len(found)
            found.append([m.group(2), None])
        elif thread in open_calls:
            found[open_calls.pop(thread)][1] = m.group(3)
    return [tuple(f) for f in found]


def without_pointers(args):
    """Call arguments without the addresses that Wine prints before each string."""
    return re.sub(r'\b[0-9a-f]{8} (?=")', "", args)


def sides_of_the_verdict(trace_text):
    """What the package answered and every box the installer asked, as the trace shows them, so
    that a failure says whether Windows Installer, the harness or the installer went another way."""
    package = calls_with_results(trace_text, "msi.MsiInstallProductA")
    notes = ["package: %s" % ("; ".join("MsiInstallProductA(%s) answered %s" % (
        without_pointers(a), int(r, 16) if r else "nothing (it did not return)") for a, r in package)
        or "MsiInstallProductA never called")]
    answers = [r for _, r in calls_with_results(trace_text, "user32.MessageBoxA")]
    boxes = message_boxes(trace_text)
    notes.append("boxes asked: %s" % (", ".join("%r (style 0x%x) answered %s" % (
        b.title, b.style, int(r, 16) if r else "nothing") for b, r in zip(boxes, answers + [None] * len(boxes)))
        or "none"))
    return notes


_CRASH = re.compile(r"^wine: Unhandled .* in (32|64)-bit code.*$", re.M)


def crash(trace_text):
    """(bitness, Wine's line) of the first crash Wine reports in the run's log, or None. The
    installer and the lab's stubs are 32-bit; a crash in 64-bit code is one of Wine's own
    programs (a service, the desktop)."""
    m = _CRASH.search(trace_text)
    return (int(m.group(1)), m.group(0)) if m else None
