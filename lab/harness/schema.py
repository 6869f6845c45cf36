"""The lab's machine and scenario files: typed records, checked strictly.

A lab scenario (lab/scenarios/*.toml) and a machine that site staff describe
for `scripts/lab --machine FILE` are the same kind of file: a machine (Windows
version, users, earlier software, files, registry values, running programs,
the package, the switches, answers to the boxes) and, for a scenario, what
must hold afterwards. `load(path)` reads one into a `Machine`; any key it does
not know, a value of the wrong type, a missing required key or a fixture file
that is not there raises `SchemaError` naming the file, the key and what was
expected, before anything is staged or run.

What several scenarios share is named once in lab/shared.toml: a file says
`include = ["NAME", ...]` for the set-up and expectations of each group
`[include.NAME]` (added after the file's own entries), and a `[[box]]` says
`like = "NAME"` for the title, text and style of `[box.NAME]` (its own keys win).
A name that is not there is refused like an unknown key.

The records can also be read like the TOML tables they come from
(`box["title"]`, `box.get("ignored", [])`, `"text" in box`): a key counts as
present when the file gave it.
"""

from __future__ import annotations

import dataclasses
import os
import re
import tomllib
import typing
from dataclasses import dataclass, field
from types import NoneType
from typing import Literal, Optional, Union

LAB_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FIXTURES = os.path.join(LAB_DIR, "fixtures")
SHARED = os.path.join(LAB_DIR, "shared.toml")

# Wine's names for the Windows versions it can report (HKCU\Software\Wine "Version").
WINE_VERSIONS = ("win98", "win95", "winme", "nt40", "win2k", "winxp", "winxp64", "win2003", "vista", "win2008",
                 "win7", "win2008r2", "win8", "win81", "win10", "win11")
# Service packs that the lab sets through the registry instead (see wine.windows_values).
SERVICE_PACK_VERSIONS = ("win2k", "winxp")

RegType = Literal["REG_SZ", "REG_EXPAND_SZ", "REG_MULTI_SZ", "REG_DWORD", "REG_BINARY"]
Data = Union[str, int, list[str]]


class SchemaError(Exception):
    """What is wrong with a file: every fault found (faults), one a line in the message."""

    def __init__(self, message, faults=None, partial=None):
        super().__init__(message)
        self.faults = list(faults) if faults else [message]
        self.partial = partial  # the record made of what was right, for the checks that need one


def fill(text, values):
    """A scenario's text with its placeholders ({progdir}, {package}, {package_sha256}, {InstallDir},
    {infopage}) filled."""
    for k, v in values.items():
        text = text.replace("{%s}" % k, v)
    return text


def expectation(**kw):
    """A table (or key) that says what must hold after the run: checks.py handles each by its name."""
    return field(metadata={"expectation": True}, **kw)


class Record:
    """A typed table that can also be read like the dict it was made from."""

    def get(self, name, default=None):
        v = getattr(self, name, None)
        return default if v is None else v

    def __getitem__(self, name):
        v = getattr(self, name, None)
        if v is None:
            raise KeyError(name)
        return v

    def __contains__(self, name):
        return getattr(self, name, None) is not None

    def keys(self):
        return [f.name for f in dataclasses.fields(self) if getattr(self, f.name) is not None]


# ---- registry ------------------------------------------------------------------------------

@dataclass
class SetValue(Record):
    """[[setup]]: a registry value seeded before the run."""
    key: str
    data: Data
    name: str = ""
    view: Literal[32, 64] = 32
    type: RegType = "REG_SZ"


@dataclass
class RegCheck(Record):
    """[[reg]], [[absent]], [[live]] and a box's [[box.check]]: a value that must (or must not) be there."""
    key: str
    name: str
    data: Optional[Data] = None
    view: Literal[32, 64] = 32
    type: RegType = "REG_SZ"
    absent: Optional[bool] = None
    ansi_size: Optional[int] = None


# ---- the machine ---------------------------------------------------------------------------

@dataclass
class Place(Record):
    """[[place]]: a built lab stub copied into the prefix."""
    stub: str
    path: str


@dataclass
class Put(Record):
    """[[put]]: a file laid into the prefix, from text or a fixture file."""
    path: str
    text: Optional[str] = None
    fixture: Optional[str] = None
    readonly: Optional[bool] = None


@dataclass
class Preinstall(Record):
    """[[preinstall]]: a lab package installed through Windows Installer before the run."""
    package: Literal["tessel", "openafs", "openafs64"]
    entry: str


@dataclass
class Drive(Record):
    """[[drive]]: a drive letter mapped to a network share."""
    letter: str
    remote: str


@dataclass
class Running(Record):
    """[[running]]: a program already running when kestrup.exe starts."""
    stub: Literal["firefox.exe", "firefox64.exe", "iexplore.exe"]
    path: Optional[str] = None


@dataclass
class FirefoxProfile(Record):
    """[[user.firefox]]: one Firefox profile of a user, with its prefs.js given as text, as a file
    (a name in lab/fixtures or a path beside the machine file) or as a size to generate."""
    name: str = "default"
    folder: Optional[str] = None
    relative: bool = True
    prefs: Optional[str] = None
    prefs_file: Optional[str] = None
    prefs_size: Optional[int] = None
    readonly: bool = False


@dataclass
class User(Record):
    """[[user]]: a local user with a profile folder, a hive file and Firefox profiles. "root" is the
    user who runs kestrup.exe (Wine's own user, whose hive is HKEY_CURRENT_USER)."""
    name: str
    hive: bool = True
    hive_file: Optional[str] = None
    firefox: list[FirefoxProfile] = field(default_factory=list)


@dataclass
class Earlier(Record):
    """[[earlier]]: earlier software installed before the run: the Tessel or AFS package as the
    real Windows Installer product ("msi") or as a plain uninstall entry with its uninstaller."""
    package: Literal["tessel", "openafs"]
    kind: Literal["msi", "uninstaller"] = "msi"


# ---- what the run shows and must leave -----------------------------------------------------

@dataclass
class Box(Record):
    """[[box]]: a window the run shows, in order, with the keys that answer it; like = "NAME" takes
    the title, text and style of [box.NAME] in lab/shared.toml."""
    title: str
    answer: str
    like: Optional[str] = None
    text: Optional[str] = None
    style: Optional[int] = None
    traced: Optional[bool] = None
    ignored: Optional[list[str]] = None
    units: Optional[list[int]] = None
    no_colour: Optional[list[list[int]]] = None
    check: Optional[list[RegCheck]] = None


@dataclass
class Started(Record):
    """[[started]]: a stub program's records of how it was started."""
    stub: str
    count: int = 1
    module: Optional[str] = None
    cmdline: Optional[str] = None
    cmdline_re: Optional[str] = None
    program: Optional[str] = None
    useshowwindow: Optional[int] = None
    showwindow: Optional[int] = None
    cwd: Optional[str] = None


@dataclass
class FileCheck(Record):
    """[[files]]: a file that must (or must not) be there, and what it holds."""
    path: str
    absent: Optional[bool] = None
    text: Optional[str] = None
    line_end: Optional[Literal["LF", "CRLF"]] = None
    same_as: Optional[str] = None
    readonly: Optional[bool] = None
    # Preferences that real Firefox holds after reading the file.
    firefox: Optional[dict[str, Union[bool, int, str]]] = None


@dataclass
class Traced(Record):
    """[[traced]]: every traced call of a function, its arguments and results."""
    function: str
    args: list[str] = field(default_factory=list)
    results: Optional[list[str]] = None


@dataclass
class Machine(Record):
    """A whole file: the machine, the run, and (for a scenario) what must hold afterwards."""
    windows: str
    about: str = ""
    package: Literal["ok", "reboot", "fail", "none"] = "ok"
    switches: str = ""
    timeout: int = 240
    hostname: Optional[str] = None
    # Added to WINEDLLOVERRIDES for the run's session ("mpr,msi=n,b": native copies first).
    dll_overrides: Optional[str] = None
    engine: Optional[str] = None
    # kestrup.exe started in a window station of its own that is not visible, as a deployment
    # tool's service starts it (lab_service_launch.exe): a box there is one nobody can answer.
    as_service: bool = False
    calendar: Optional[str] = None
    klist: Optional[str] = None
    hotfix_installed: bool = False
    user: list[User] = field(default_factory=list)
    earlier: list[Earlier] = field(default_factory=list)
    setup: list[SetValue] = field(default_factory=list)
    place: list[Place] = field(default_factory=list)
    put: list[Put] = field(default_factory=list)
    preinstall: list[Preinstall] = field(default_factory=list)
    drive: list[Drive] = field(default_factory=list)
    running: list[Running] = field(default_factory=list)
    tolerate: list[str] = field(default_factory=list)
    # Groups of lab/shared.toml whose entries this file takes too.
    include: list[str] = field(default_factory=list)
    # What must hold: each one checked by the function of checks.py registered under its name.
    box: list[Box] = expectation(default_factory=list)
    exit: Optional[int] = expectation(default=None)
    log: Optional[list[str]] = expectation(default=None)
    # Lines the run's own log holds, in this order, each without its time of day.
    run_log: list[str] = expectation(default_factory=list)
    reg: list[RegCheck] = expectation(default_factory=list)
    absent: list[RegCheck] = expectation(default_factory=list)
    live: list[RegCheck] = expectation(default_factory=list)
    started: list[Started] = expectation(default_factory=list)
    calls: list[str] = expectation(default_factory=list)
    no_calls: list[str] = expectation(default_factory=list)
    traced: list[Traced] = expectation(default_factory=list)
    files: list[FileCheck] = expectation(default_factory=list)
    # Where the file came from: fixtures named in it are looked for beside it first.
    source: Optional[str] = field(default=None, metadata={"internal": True})


def expectations():
    """The names of the tables and keys that say what must hold after a run."""
    return [f.name for f in dataclasses.fields(Machine) if f.metadata.get("expectation")]


# ---- what scenarios share (lab/shared.toml) -------------------------------------------------

@dataclass
class Group(Record):
    """[include.NAME]: set-up and expectations that a file takes with include = ["NAME"]."""
    about: str = ""
    setup: list[SetValue] = field(default_factory=list)
    place: list[Place] = field(default_factory=list)
    put: list[Put] = field(default_factory=list)
    reg: list[RegCheck] = field(default_factory=list)
    absent: list[RegCheck] = field(default_factory=list)
    live: list[RegCheck] = field(default_factory=list)
    started: list[Started] = field(default_factory=list)
    calls: list[str] = field(default_factory=list)
    no_calls: list[str] = field(default_factory=list)
    traced: list[Traced] = field(default_factory=list)
    files: list[FileCheck] = field(default_factory=list)


@dataclass
class SharedBox(Record):
    """[box.NAME]: a box that a [[box]] takes with like = "NAME"."""
    title: str
    text: Optional[str] = None
    style: Optional[int] = None


@dataclass
class Shared(Record):
    include: dict[str, Group] = field(default_factory=dict)
    box: dict[str, SharedBox] = field(default_factory=dict)


# ---- reading ------------------------------------------------------------------------------

def _describe(t):
    origin = typing.get_origin(t)
    if t is str:
        return "a text"
    if t is int:
        return "a whole number"
    if t is bool:
        return "true or false"
    if origin is Literal:
        return "one of " + ", ".join(repr(a) for a in typing.get_args(t))
    if origin is list:
        return "a list of " + _describe(typing.get_args(t)[0]).replace("a ", "", 1)
    if origin is dict:
        return "a table of " + _describe(typing.get_args(t)[1]).replace("a ", "", 1) + " values"
    if origin is Union:
        return " or ".join(_describe(a) for a in typing.get_args(t) if a is not NoneType)
    if dataclasses.is_dataclass(t):
        return "a table"
    return str(t)


def _each(items, convert, errors):
    """Converts every item, collecting the errors of all of them instead of stopping at the first."""
    out = []
    for item in items:
        try:
            out.append(convert(item))
        except SchemaError as e:
            errors.extend(e.faults)
    return out


def _convert(t, value, where):
    origin = typing.get_origin(t)
    if origin is Union:
        options = [a for a in typing.get_args(t) if a is not NoneType]
        for a in options:
            try:
                return _convert(a, value, where)
            except SchemaError:
                pass
        raise SchemaError("%s: expected %s, got %s" % (where, _describe(t), _shown(value)))
    if origin is Literal:
        if value in typing.get_args(t) and type(value) in {type(a) for a in typing.get_args(t)}:
            return value
        raise SchemaError("%s: expected %s, got %s" % (where, _describe(t), _shown(value)))
    if origin is list:
        if not isinstance(value, list):
            raise SchemaError("%s: expected %s, got %s" % (where, _describe(t), _shown(value)))
        inner = typing.get_args(t)[0]
        errors = []
        out = _each(enumerate(value), lambda iv: _convert(inner, iv[1], "%s[%d]" % (where, iv[0] + 1)), errors)
        if errors:
            raise SchemaError(errors[0], errors)
        return out
    if origin is dict:
        if not isinstance(value, dict):
            raise SchemaError("%s: expected %s, got %s" % (where, _describe(t), _shown(value)))
        inner = typing.get_args(t)[1]
        errors = []
        out = _each(value.items(), lambda kv: (kv[0], _convert(inner, kv[1], "%s.%s" % (where, kv[0]))), errors)
        if errors:
            raise SchemaError(errors[0], errors)
        return dict(out)
    if dataclasses.is_dataclass(t):
        if not isinstance(value, dict):
            raise SchemaError("%s: expected a table, got %s" % (where, _shown(value)))
        return _record(t, value, where)
    # bool is an int to Python, not to a file's reader.
    if t in (str, int, bool) and type(value) is t:
        return value
    raise SchemaError("%s: expected %s, got %s" % (where, _describe(t), _shown(value)))


def _shown(value):
    kinds = {str: "the text %r", int: "the number %r", bool: "%s", float: "the number %r"}
    for k, f in kinds.items():
        if type(value) is k:
            return f % (value if k is not bool else ("true" if value else "false"))
    if isinstance(value, list):
        return "a list"
    if isinstance(value, dict):
        return "a table"
    return repr(value)


def _record(cls, table, where):
    """A record of the table; a SchemaError carries every fault found in it (args[1])."""
    hints = typing.get_type_hints(cls)
    known = {f.name: f for f in dataclasses.fields(cls) if not f.metadata.get("internal")}
    errors = ["%s: unknown key %r (known: %s)" % (where + "." + k if where else k, k, ", ".join(sorted(known)))
              for k in table if k not in known]
    args = {}
    for name, f in known.items():
        at = "%s.%s" % (where, name) if where else name
        if name not in table:
            if f.default is dataclasses.MISSING and f.default_factory is dataclasses.MISSING:
                errors.append("%s: missing (expected %s)" % (at, _describe(hints[name])))
            continue
        try:
            args[name] = _convert(hints[name], table[name], at)
        except SchemaError as e:
            errors.extend(e.faults)
    if errors:
        try:
            partial = cls(**args)
        except TypeError:  # a required key is wrong or missing
            partial = None
        raise SchemaError(errors[0], errors, partial)
    return cls(**args)


def find_fixture(name, source=None):
    """A fixture file: beside the file that names it, else in lab/fixtures. None when neither."""
    for d in ([os.path.dirname(os.path.abspath(source))] if source else []) + [FIXTURES]:
        p = os.path.join(d, name)
        if os.path.isfile(p):
            return p
    return None


# The keys xdotool presses by name in a box's answer; a single character is pressed as itself.
XDOTOOL_KEYS = ("Return", "Tab", "space", "Escape", "Left", "Right", "Up", "Down", "Home", "End", "BackSpace",
                "Delete", "F1")


def _answer_fault(answer):
    """What is wrong with a box's answer as xdotool keys ("y", "Return", "Tab space", "alt+n"), or None."""
    for key in answer.split() or [""]:
        *mods, last = key.split("+")
        if any(m not in ("alt", "ctrl", "shift") for m in mods) or not (len(last) == 1 or last in XDOTOOL_KEYS):
            return ("%r is not a key xdotool presses: give single characters (y, n) or names (%s), "
                    "several separated by blanks" % (key, ", ".join(XDOTOOL_KEYS)))
    return None


def _check(m, text, path, origins=None):
    """Every fault of a typed file at once, each with its line."""
    faults = []

    def fail(where, fault):
        entry = where.partition(".")[0]
        if origins and entry in origins:
            where += " (from %s of %s)" % (origins[entry], SHARED)
        faults.append("%s: %s" % (where, fault))

    name, _, sp = m.windows.partition(" ")
    if name not in WINE_VERSIONS or (sp and (name not in SERVICE_PACK_VERSIONS or not sp.startswith("sp")
                                             or not sp[2:].isdigit())):
        fail("windows", "expected one of %s, or %s with a service pack (\"winxp sp2\"), got %r"
             % (", ".join(WINE_VERSIONS), " or ".join(SERVICE_PACK_VERSIONS), m.windows))
    for i, p in enumerate(m.put):
        if (p.text is None) == (p.fixture is None):
            fail("put[%d]" % (i + 1), "give exactly one of text and fixture")
        if p.fixture is not None and not find_fixture(p.fixture, path):
            fail("put[%d].fixture" % (i + 1), "no file %r beside the file or in lab/fixtures" % p.fixture)
    for i, c in enumerate(m.files):
        if c.same_as is not None and not find_fixture(c.same_as, path):
            fail("files[%d].same_as" % (i + 1), "no file %r beside the file or in lab/fixtures" % c.same_as)
    for what, checks in (("reg", m.reg), ("live", m.live)):
        for i, c in enumerate(checks):
            if not c.absent and c.data is None:
                fail("%s[%d].data" % (what, i + 1), "missing (expected the value's data, or absent = true)")
    seen = set()
    for i, u in enumerate(m.user):
        at = "user[%d]" % (i + 1)
        if not u.name or any(ch in u.name for ch in '\\/:*?"<>|'):
            fail(at + ".name", "expected a Windows user name, got %r" % u.name)
        if u.name.lower() in seen:
            fail(at + ".name", "user %r given twice" % u.name)
        seen.add(u.name.lower())
        if u.hive_file is not None and not find_fixture(u.hive_file, path):
            fail(at + ".hive_file", "no file %r beside the file or in lab/fixtures" % u.hive_file)
        for j, fx in enumerate(u.firefox):
            where = "%s.firefox[%d]" % (at, j + 1)
            given = [k for k in ("prefs", "prefs_file", "prefs_size") if fx.get(k) is not None]
            if len(given) != 1:
                fail(where, "give exactly one of prefs (text), prefs_file and prefs_size, not %s"
                     % (", ".join(given) or "none"))
            if fx.prefs_file is not None and not find_fixture(fx.prefs_file, path):
                fail(where + ".prefs_file", "no file %r beside the file or in lab/fixtures" % fx.prefs_file)
            if fx.prefs_size is not None and not 0 < fx.prefs_size <= 64 << 20:
                fail(where + ".prefs_size", "expected a size in bytes from 1 to 64 MiB, got %d" % fx.prefs_size)
    kinds = [(e.package, e.kind) for e in m.earlier]
    if len(set(p for p, _ in kinds)) != len(kinds):
        fail("earlier", "each package at most once")
    # One expectation per value and per stub: two would contradict each other or say the same twice.
    said = {}
    for what, checks in (("reg", m.reg), ("absent", m.absent)):
        for i, c in enumerate(checks):
            k = (c.key.lower(), c.name.lower(), c.view)
            if k in said:
                fail("%s[%d]" % (what, i + 1), "%s %r (%d-bit view) is already checked by %s"
                     % (c.key, c.name, c.view, said[k]))
            said[k] = "%s[%d]" % (what, i + 1)
    counted = {}
    for i, st in enumerate(m.started):
        if st.stub.lower() in counted:
            fail("started[%d].stub" % (i + 1), "%r is already checked by %s" % (st.stub, counted[st.stub.lower()]))
        counted[st.stub.lower()] = "started[%d]" % (i + 1)
    for i, d in enumerate(m.drive):
        if not re.fullmatch(r"[A-Za-z]", d.letter):
            fail("drive[%d].letter" % (i + 1), "expected a drive letter alone (\"H\"), got %r" % d.letter)
    for i, b in enumerate(m.box):
        for key, keys in [("answer", [b.answer])] + [("ignored", b.get("ignored", []))]:
            for k in keys:
                if _answer_fault(k):
                    fail("box[%d].%s" % (i + 1, key), _answer_fault(k))
    return faults


def _line_of(text, where):
    """The line that a key path such as "box[2].answr" or "user[1].firefox[1].prefs" stands on,
    best effort; None when it cannot be told."""
    lines = text.splitlines()
    start, table = 0, ""
    parts = where.split(".")
    for i, part in enumerate(parts):
        name, _, index = part.partition("[")
        table = table + "." + name if table else name
        last = i == len(parts) - 1
        header = re.compile(r"\s*\[\[?\s*%s\s*\]\]?\s*(#.*)?$" % re.escape(table))
        assign = re.compile(r"\s*%s\s*=" % re.escape(name))
        count = int(index.rstrip("]")) if index else 1
        for n in range(start, len(lines)):
            if last and assign.match(lines[n]):  # a key, or a list of values ("include[2]")
                start = n
                break
            if header.match(lines[n]):
                count -= 1
                if count == 0:
                    start = n
                    break
        else:
            return None
    return start + 1


def _toml(text, path):
    try:
        return tomllib.loads(text)
    except tomllib.TOMLDecodeError as e:
        raise SchemaError("%s: not a valid TOML file: %s" % (path, e)) from None


def _at_line(text, path, fault):
    """path: line N: fault, where the fault's key path can be found in the text."""
    line = _line_of(text, fault.partition(":")[0].partition(" (from ")[0])
    return "%s: %s%s" % (path, "line %d: " % line if line else "", fault)


def _in_file(faults, text, path):
    lines = [_at_line(text, path, f) for f in faults]
    return SchemaError("\n".join(lines), lines)


def _typed(cls, table, text, path):
    try:
        return _record(cls, table, "")
    except SchemaError as e:
        raise _in_file(e.faults, text, path) from None


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8")
    except (OSError, UnicodeDecodeError) as e:
        raise SchemaError("%s: cannot be read: %s" % (path, e)) from None


def load_shared(path=None):
    """lab/shared.toml, checked like any other file: (its tables as read, its typed record)."""
    path = path or SHARED
    text = _read(path)
    table = _toml(text, path)
    return table, _typed(Shared, table, text, path)


def _take_shared(table, shared_path):
    """Adds the included groups' entries after the file's own and a box's like = "NAME" keys
    under its own, in the file's tables as read. Returns where each added entry came from
    ({"reg[5]": "[include.NAME]"}). A name that lab/shared.toml does not have is refused."""
    names = table.get("include", [])
    boxes = table.get("box", [])
    likes = [b for b in boxes if isinstance(b, dict) and "like" in b] if isinstance(boxes, list) else []
    if not names or not isinstance(names, list):
        names = []
    if not names and not likes:
        return {}
    raw, shared = load_shared(shared_path)
    origins = {}
    for i, name in enumerate(names):
        if name not in shared.include:
            raise SchemaError("include[%d]: no group %r in %s (known: %s)"
                              % (i + 1, name, shared_path or SHARED, ", ".join(sorted(shared.include))))
        for key, entries in raw["include"][name].items():
            if key == "about":
                continue
            own = table.setdefault(key, [])
            if not isinstance(own, list):
                continue  # a wrong type of the file's own is reported by the reader
            for e in entries:
                own.append(e)
                origins["%s[%d]" % (key, len(own))] = "[include.%s]" % name
    for i, b in enumerate(boxes if likes else []):
        if isinstance(b, dict) and "like" in b:
            if b["like"] not in shared.box:
                raise SchemaError("box[%d].like: no box %r in %s (known: %s)"
                                  % (i + 1, b["like"], shared_path or SHARED, ", ".join(sorted(shared.box))))
            boxes[i] = dict(raw["box"][b["like"]], **b)
    return origins


def parse(text, path="<text>", shared=None):
    """A machine or scenario from TOML text; SchemaError names what is wrong. shared: the file
    of shared groups and boxes (lab/shared.toml)."""
    table = _toml(text, path)
    try:
        origins = _take_shared(table, shared)
    except SchemaError as e:
        if str(e).startswith((shared or SHARED) + ":"):
            raise
        line = _line_of(text, str(e).partition(":")[0])
        raise SchemaError("%s: %s%s" % (path, "line %d: " % line if line else "", e)) from None
    try:
        m, faults = _record(Machine, table, ""), []
    except SchemaError as e:
        m, faults = e.partial, e.faults
    if m is not None:
        m.source = path
        faults += _check(m, text, path, origins)
    if faults:
        raise _in_file(faults, text, path)
    return m


def load(path):
    return parse(_read(path), path)
