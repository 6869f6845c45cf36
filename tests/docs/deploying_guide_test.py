"""docs/deploying.md against the code: the switches, exit values, log key, file names and
detection value that the guide's "At a glance" table states are the ones the program uses,
read from its sources; and every installer event log message the guide explains is one the
program can write."""

import os
import re
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def source(rel):
    with open(os.path.join(ROOT, rel), encoding="utf-8") as f:
        return f.read()


def c_text(literal):
    return re.sub(r"\\(.)", lambda m: {"n": "\n", "\\": "\\", '"': '"'}.get(m.group(1), m.group(1)), literal)


def constant(rel, name):
    m = re.search(r"constexpr\s+(?:char|int)\s+%s(?:\[\])?\s*=\s*(\"(?:[^\"\\]|\\.)*\"|-?\d+)\s*;" % name, source(rel))
    if not m:
        raise AssertionError("no constant %s in %s" % (name, rel))
    v = m.group(1)
    return c_text(v[1:-1]) if v.startswith('"') else int(v)


def guide_table():
    text = source("docs/deploying.md")
    section = text.split("## At a glance", 1)[1].split("\n## ", 1)[0]
    rows = {}
    for line in section.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) == 2 and cells[1].startswith("`"):
            rows.setdefault(cells[0], []).append(cells[1].strip("`"))
    return rows


def program_literals():
    """Every string literal of the driver's sources and of the per-user hives' reasons, adjacent pieces joined."""
    out = []
    names = [os.path.join("src", "driver", n) for n in sorted(os.listdir(os.path.join(ROOT, "src", "driver")))]
    for name in names + [os.path.join("src", "platform", "user_hives.cpp")]:
        text = source(name)
        for m in re.finditer(r'"(?:[^"\\]|\\.)*"(?:\s*"(?:[^"\\]|\\.)*")*', text):
            out.append("".join(c_text(p[1:-1]) for p in re.findall(r'"(?:[^"\\]|\\.)*"', m.group(0))))
    return out


LITERAL = r'"(?:[^"\\]|\\.)*"'


def product_sources():
    for folder, _, files in sorted(os.walk(os.path.join(ROOT, "src"))):
        for name in sorted(files):
            if name.endswith((".cpp", ".h")):
                yield source(os.path.relpath(os.path.join(folder, name), ROOT))


def written_value_names():
    """The registry value names the product writes under a name of its own (a literal)."""
    names = set()
    for text in product_sources():
        calls = re.findall(r"\bRegWrite(?:String|Dword|MultiString)\(\s*HKEY_\w+\s*,[^,;]+,\s*(%s)" % LITERAL, text)
        calls += re.findall(r"\bRegSetValueExA\(\s*[^,;]+,\s*(%s)" % LITERAL, text)
        for args in re.findall(r"\bWriteEveryUserHiveDword\(([^;]*?)\);", text):
            calls += re.findall(LITERAL, args)[-1:]  # the value name is its last text
        names.update(c_text(c[1:-1]) for c in calls)
    return names


def changes_table():
    section = source("docs/deploying.md").split("## Everything a run changes", 1)[1].split("\n## ", 1)[0]
    rows = []
    for line in section.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) == 4 and cells[2].startswith("`"):
            rows.append((cells[0], cells[2].strip("`")))
    return rows


class GuideAgainstCode(unittest.TestCase):
    def test_every_change_of_a_run_is_in_the_table(self):
        rows = changes_table()
        documented = {name for kind, name in rows if kind == "registry value" and not name.startswith("<")}
        self.assertEqual(sorted(documented), sorted(written_value_names()))
        # Files, connections and the rest: each name is one the program uses.
        code = "".join(c_text(lit[1:-1]) for text in product_sources() for lit in re.findall(LITERAL, text))
        code += "".join(product_sources())
        for kind, name in rows:
            if kind != "registry value":
                with self.subTest(kind=kind, name=name):
                    self.assertIn(name, code)

    def test_at_a_glance_table_matches_the_program(self):
        rows = guide_table()
        run = source("src/driver/run.cpp")
        engine = source("src/driver/engine_update.cpp")
        prerequisites = source("src/driver/prerequisites.cpp")
        code = {
            "switch": re.findall(r'FindNoCase\(commandLine, "(/\w+)"\)', run),
            "exit value, success": [str(constant("src/driver/run.h", "kExitCompleted"))],
            "exit value, failure": [str(constant("src/driver/run.h", "kExitStopped"))],
            "installer event log key": ["HKLM\\" + constant("src/driver/event_log.h", "kInstallerLogKey")],
            "package file": [constant("src/driver/package.h", "kPackageFileName")],
            "engine redistributable": re.findall(r'\{"([^"]+\.exe)", "[\d.]+"\}', engine),
            "hotfix installer": re.findall(r'fileName = "([^"]+\.exe)"', prerequisites),
            "detection key": ["HKLM\\" + constant("src/driver/run.h", "kKerberosKey")],
            "detection value": re.findall(r'RegReadString\(HKEY_LOCAL_MACHINE, kKerberosKey, "(\w+)"', run),
            "Firefox policy key": ["HKLM\\" + constant("src/integration/firefox_policy.cpp", "kAuthenticationKey")],
            "run log folder": ["%windir%\\" + constant("src/platform/run_log.h", "kRunLogFolder")],
        }
        for fact, values in code.items():
            with self.subTest(fact=fact):
                self.assertTrue(values, "nothing found in the code for %r" % fact)
                self.assertEqual(sorted(rows.get(fact, [])), sorted(values))
        self.assertEqual(set(rows) - set(code), set(), "facts in the guide that nothing checks")

    def test_every_log_message_explained_is_one_the_program_writes(self):
        text = source("docs/deploying.md")
        section = text.split("### Every message and what to do", 1)[1]
        messages = [m for line in section.splitlines() if line.startswith("| `")
                    for m in re.findall(r"`([^`]+)`", line.split("|")[1])]
        self.assertGreaterEqual(len(messages), 6)
        literals = program_literals()
        fatal = constant("src/driver/run.cpp", "kFatal")
        for message in messages:
            if message.startswith(fatal) and not any(message in lit for lit in literals):
                message = message[len(fatal):]  # run.cpp puts its kFatal before the text
            # <path>, <code>, ... stand for what the program fills in: each piece between them is
            # part of one of its texts (a format's %s stands where the guide has <...>).
            for piece in re.split(r"<[a-z]+>|\(<[a-z]+>\)", message):
                piece = piece.strip()
                if len(piece) < 4:
                    continue
                with self.subTest(message=message, piece=piece):
                    self.assertTrue(any(piece in lit or piece in re.sub(r"%[si]", "", lit) for lit in literals),
                                    "not a text of the program: %r" % piece)


if __name__ == "__main__":
    unittest.main()
