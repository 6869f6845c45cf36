"""Reading Wine's relay trace (WINEDEBUG=+relay with a RelayInclude list)."""

import re

RELAY_INCLUDE = ";".join([
    "user32.MessageBoxA", "user32.ExitWindowsEx",
    "advapi32.RegLoadKeyA", "advapi32.RegUnLoadKeyA",
    "mpr.WNetCancelConnection2A", "kernel32.MoveFileExA",
    "user32.DialogBoxParamA", "user32.EndDialog", "mpr.WNetGetConnectionA",
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
