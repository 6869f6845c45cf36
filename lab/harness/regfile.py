"""Reading Wine's registry files (system.reg, user.reg) without starting Wine.

Wine saves them when its server ends, so they are read after a session is
over. Keys and value names compare without regard to case, as Windows does.
"""

import re

REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD = 1, 2, 3, 4, 7, 11
TYPE_NAMES = {0: "REG_NONE", 1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY", 4: "REG_DWORD",
              7: "REG_MULTI_SZ", 11: "REG_QWORD"}
TYPE_CODES = {v: k for k, v in TYPE_NAMES.items()}

_ESCAPES = {"a": "\a", "b": "\b", "t": "\t", "n": "\n", "v": "\v", "f": "\f", "r": "\r",
            "e": "\x1b", "\\": "\\", '"': '"', "0": "\0"}


def unescape(text):
    """Undo Wine's escaping of key names and string data."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if c != "\\" or i + 1 >= n:
            out.append(c)
            i += 1
            continue
        nxt = text[i + 1]
        if nxt == "x":
            m = re.match(r"[0-9a-fA-F]{1,4}", text[i + 2:])
            if m:
                out.append(chr(int(m.group(0), 16)))
                i += 2 + len(m.group(0))
                continue
        if nxt in "01234567":
            m = re.match(r"[0-7]{1,3}", text[i + 1:])
            if len(m.group(0)) > 1 or nxt != "0":
                out.append(chr(int(m.group(0), 8)))
                i += 1 + len(m.group(0))
                continue
        out.append(_ESCAPES.get(nxt, nxt))
        i += 2
    return "".join(out)


def _read_quoted(line, start):
    """Returns (raw text between quotes, index after closing quote)."""
    assert line[start] == '"'
    i = start + 1
    while i < len(line):
        if line[i] == "\\":
            i += 2
            continue
        if line[i] == '"':
            return line[start + 1:i], i + 1
        i += 1
    raise ValueError("unterminated string: %r" % line)


def _hex_bytes(text):
    text = text.replace("\\", "").replace(" ", "").replace("\t", "")
    return bytes(int(b, 16) for b in text.split(",") if b)


def _decode(data_text):
    """Decodes the data part of a value line into (type code, python value, stored byte count)."""
    if data_text.startswith('"'):
        raw, _ = _read_quoted(data_text, 0)
        val = unescape(raw)
        # Wine writes a string without its final terminator.
        return REG_SZ, val, 2 * (len(val) + 1)
    m = re.match(r"str\((\d+)\):", data_text)
    if m:
        raw, _ = _read_quoted(data_text, m.end())
        typ = int(m.group(1))
        val = unescape(raw)
        size = 2 * (len(val) + 1)
        if typ == REG_MULTI_SZ:
            return typ, [s for s in val.split("\0") if s], size
        return typ, val, size
    if data_text.startswith("dword:"):
        return REG_DWORD, int(data_text[6:], 16), 4
    m = re.match(r"hex(?:\(([0-9a-fA-F]+)\))?:", data_text)
    if m:
        typ = int(m.group(1), 16) if m.group(1) else REG_BINARY
        data = _hex_bytes(data_text[m.end():])
        if typ in (REG_SZ, REG_EXPAND_SZ):
            return typ, data.decode("utf-16-le", "replace").rstrip("\0"), len(data)
        if typ == REG_MULTI_SZ:
            return typ, [s for s in data.decode("utf-16-le", "replace").split("\0") if s], len(data)
        if typ == REG_DWORD and len(data) == 4:
            return typ, int.from_bytes(data, "little"), 4
        if typ == REG_QWORD and len(data) == 8:
            return typ, int.from_bytes(data, "little"), 8
        return typ, data, len(data)
    raise ValueError("unknown value data: %r" % data_text)


class Value:
    """size: the data's stored byte count. Wine stores texts in UTF-16, so a text
    value's size is twice what a program's ANSI call (RegQueryValueExA) reports."""
    __slots__ = ("name", "type", "data", "size")

    def __init__(self, name, typ, data, size=None):
        self.name, self.type, self.data, self.size = name, typ, data, size

    def __eq__(self, other):
        return isinstance(other, Value) and (self.type, self.data) == (other.type, other.data)

    def type_name(self):
        return TYPE_NAMES.get(self.type, "type %d" % self.type)

    def show(self):
        if self.type == REG_DWORD:
            return "%s %d (0x%x)" % (self.type_name(), self.data, self.data)
        if isinstance(self.data, bytes):
            return "%s %s" % (self.type_name(), self.data.hex(","))
        return "%s %r" % (self.type_name(), self.data)


_MACHINE = "\\registry\\machine\\"


class Hive:
    """One .reg file: {lower-case key path: (key path, {lower-case name: Value})}.

    A key marked "#link" is a registry link: Wine shares some keys between the
    registry views so (Software\\Wow6432Node\\Policies names Software\\Policies,
    as on Windows), and a path through it is read where it leads."""

    def __init__(self, path):
        self.path = path
        self.keys = {}
        linked, name = [], None
        with open(path, encoding="utf-8", errors="surrogateescape") as f:
            lines = f.read().split("\n")
        current = None
        i = 0
        while i < len(lines):
            line = lines[i]
            i += 1
            while line.endswith("\\") and not line.startswith("[") and i < len(lines):
                line = line[:-1] + lines[i].strip()
                i += 1
            if line == "#link" and current is not None:
                linked.append(name.lower())
            if not line or line.startswith(";") or line.startswith("#") or line.startswith("WINE REGISTRY"):
                continue
            if line.startswith("["):
                end = line.rfind("]")
                name = unescape(line[1:end])
                current = self.keys.setdefault(name.lower(), (name, {}))[1]
                continue
            if current is None:
                continue
            if line.startswith("@="):
                vname, rest = "", line[2:]
            elif line.startswith('"'):
                raw, after = _read_quoted(line, 0)
                vname, rest = unescape(raw), line[after + 1:]
            else:
                continue
            try:
                typ, data, size = _decode(rest)
            except ValueError:
                continue
            current[vname.lower()] = Value(vname, typ, data, size)
        self.links = {}
        for link in linked:
            target = self.keys[link][1].get("symboliclinkvalue")
            if target is not None and isinstance(target.data, bytes):
                text = target.data.decode("utf-16-le", "replace").lower()
                if text.startswith(_MACHINE):
                    self.links[link] = text[len(_MACHINE):]

    def resolve(self, path):
        """The key a path leads to, through the links on its way (a few deep)."""
        parts = path.strip("\\").split("\\")
        for _ in range(8):
            for n in range(1, len(parts) + 1):
                target = self.links.get("\\".join(parts[:n]).lower())
                if target is not None:
                    parts = target.split("\\") + parts[n:]
                    break
            else:
                break
        return "\\".join(parts)

    def key(self, path):
        entry = self.keys.get(self.resolve(path).lower())
        return entry[1] if entry else None

    def value(self, path, name):
        k = self.key(path)
        return None if k is None else k.get(name.lower())


def split_root(path):
    """'HKLM\\Software\\X' -> ('HKLM', 'Software\\X')."""
    root, _, rest = path.partition("\\")
    root = root.upper()
    root = {"HKEY_LOCAL_MACHINE": "HKLM", "HKEY_CURRENT_USER": "HKCU"}.get(root, root)
    if root not in ("HKLM", "HKCU"):
        raise ValueError("only HKLM and HKCU keys are supported: %s" % path)
    return root, rest


def view_path(root, rest, view):
    """The key as stored in the file for the given view (32 or 64).

    A 64-bit Windows keeps the 32-bit view of HKLM\\Software under
    Software\\Wow6432Node; HKCU\\Software is shared by both views.
    """
    if view == 32 and root == "HKLM":
        parts = rest.split("\\")
        if parts[0].lower() == "software" and (len(parts) < 2 or parts[1].lower() != "wow6432node"):
            return "\\".join([parts[0], "Wow6432Node"] + parts[1:])
    return rest


class Registry:
    """The two files of a prefix, looked up by Windows key paths and views."""

    def __init__(self, prefix_dir):
        self.machine = Hive("%s/system.reg" % prefix_dir)
        self.user = Hive("%s/user.reg" % prefix_dir)

    def hive(self, root):
        return self.machine if root == "HKLM" else self.user

    def key(self, path, view=32):
        root, rest = split_root(path)
        return self.hive(root).key(view_path(root, rest, view))

    def value(self, path, name, view=32):
        root, rest = split_root(path)
        return self.hive(root).value(view_path(root, rest, view), name)
