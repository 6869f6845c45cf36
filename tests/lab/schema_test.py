"""Machine and scenario files through the lab's schema: one file per kind of content, good and
bad, and what the furnishings of a good one become in the prefix."""

import os
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "lab"))

from harness import checks, machine, scenario, schema, staging, wine  # noqa: E402

GOOD = '''
about = "every kind of content"
windows = "win7"
switches = "/Silent /NoHotFix"
package = "reboot"
calendar = "9.0.4"
klist = "root@HALVERN.EDU"
hotfix_installed = true
include = ["not_installed"]

[[user]]
name = "root"
[[user.firefox]]
prefs = "user_pref(\\"a\\", 1);\\n"

[[user]]
name = "alice"
[[user.firefox]]
name = "work"
relative = false
prefs_file = "beside.js"
readonly = true
[[user.firefox]]
name = "big"
prefs_size = 5000

[[user]]
name = "bob"
hive = false

[[earlier]]
package = "tessel"
kind = "uninstaller"

[[earlier]]
package = "openafs"

[[drive]]
letter = "H"
remote = '\\\\AFS\\ir.halvern.edu'

[[running]]
stub = "firefox.exe"

[[box]]
like = "remove_tessel"
answer = "y"

[[started]]
stub = "klist"
count = 0
'''

# (what is wrong, the text changed, what the message must say)
BAD = [
    ("a misspelt table", ("[[box]]", "[[boxes]]"), "line 45: boxes: unknown key 'boxes'"),
    ("a misspelt key in a table", ('answer = "y"', 'answr = "y"'), "box[1].answr: unknown key"),
    ("a text for a number", ('hotfix_installed = true', 'hotfix_installed = true\ntimeout = "60"'),
     "timeout: expected a whole number, got the text '60'"),
    ("true for a number", ('hotfix_installed = true', 'hotfix_installed = true\nexit = true'),
     "exit: expected a whole number, got true"),
    ("a missing required key", ('windows = "win7"', ''), "windows: missing (expected a text)"),
    ("an unknown Windows", ('windows = "win7"', 'windows = "winxp sp"'), "windows: expected one of"),
    ("an unknown package outcome", ('package = "reboot"', 'package = "maybe"'),
     "package: expected one of 'ok', 'reboot', 'fail', 'none', got the text 'maybe'"),
    ("a missing fixture", ('prefs_file = "beside.js"', 'prefs_file = "nowhere.js"'),
     "user[2].firefox[1].prefs_file: no file 'nowhere.js'"),
    ("prefs given twice", ('prefs_size = 5000', 'prefs_size = 5000\nprefs = "x"'),
     "user[2].firefox[2]: give exactly one of prefs (text), prefs_file and prefs_size, not prefs, prefs_size"),
    ("a program the lab cannot run", ('stub = "firefox.exe"', 'stub = "chrome.exe"'),
     "running[1].stub: expected one of"),
    ("a nested table of the wrong kind", ('kind = "uninstaller"', 'kind = "setup.exe"'), "earlier[1].kind"),
    ("a user twice", ('hive = false', 'hive = false\n[[user]]\nname = "Alice"'), "user 'Alice' given twice"),
    ("not TOML at all", ('about = "every', 'about = every'), "not a valid TOML file"),
    ("an unknown shared group", ('include = ["not_installed"]', 'include = ["not_installed", "nowhere"]'),
     "line 9: include[2]: no group 'nowhere' in"),
    ("an unknown shared box", ('like = "remove_tessel"', 'like = "remove_old"'), "box[1].like: no box 'remove_old'"),
    ("a value both present and absent",
     ('[[started]]', '[[reg]]\nkey = \'HKCU\\Software\\MIT\\NetIDMgr\\CredWindow\'\n'
                     'name = "AutoInit"\ndata = 1\ntype = "REG_DWORD"\n[[started]]'),
     "absent[3] (from [include.not_installed] of %s): HKCU\\Software\\MIT\\NetIDMgr\\CredWindow 'AutoInit' "
     "(32-bit view) is already checked by reg[1]" % schema.SHARED),
    ("a stub counted twice, once by a group", ('stub = "klist"', 'stub = "netidmgr"'),
     "started[2].stub (from [include.not_installed] of"),
    ("a drive letter with its colon", ('letter = "H"', 'letter = "H:"'),
     "line 39: drive[1].letter: expected a drive letter alone (\"H\"), got 'H:'"),
    ("an answer xdotool has no key for", ('answer = "y"', 'answer = "yes"'),
     "line 47: box[1].answer: 'yes' is not a key xdotool presses"),
]

# A file a hurried administrator writes: every mistake is named in one run, each with its line.
HURRIED = [('windows = "win7"', 'windows = "win12"'), ('package = "reboot"', 'package = "maybe"'),
           ('prefs_size = 5000', 'prefs_size = "5000"'), ('kind = "uninstaller"', 'knd = "uninstaller"'),
           ('count = 0', 'count = "none"')]
HURRIED_SAYS = ["line 5: package: expected one of", "line 25: user[2].firefox[2].prefs_size: expected a whole",
                "line 33: earlier[1].knd: unknown key", "line 51: started[1].count: expected a whole number",
                "line 3: windows: expected one of"]
HURRIED_CHECKED = [('windows = "win7"', 'windows = "win12"'), ('letter = "H"', 'letter = "H:"'),
                   ('answer = "y"', 'answer = "yes"'), ('prefs_file = "beside.js"', 'prefs_file = "nowhere.js"')]
HURRIED_CHECKED_SAYS = ["line 3: windows: expected one of", "line 21: user[2].firefox[1].prefs_file: no file",
                        "line 39: drive[1].letter", "line 47: box[1].answer"]


class Schema(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        with open(os.path.join(self.dir, "beside.js"), "w") as f:
            f.write('user_pref("beside", true);\n')

    def write(self, text):
        path = os.path.join(self.dir, "machine.toml")
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_bad_files_are_refused_naming_file_key_and_expectation(self):
        for what, (old, new), message in BAD:
            with self.subTest(what):
                self.assertIn(old, GOOD)
                path = self.write(GOOD.replace(old, new, 1))
                with self.assertRaises(schema.SchemaError) as e:
                    scenario.Scenario(path)
                self.assertIn(path, str(e.exception))
                self.assertIn(message, str(e.exception))

    def test_a_good_file_is_furnished(self):
        s = scenario.Scenario(self.write(GOOD))
        puts = {p.path: p for p in s.put}
        setups = {(v.key, v.name): v.data for v in s.setup}
        profile_list = machine.PROFILE_LIST
        # Users other than Wine's own get a profile and (unless hive = false) a hive file.
        self.assertEqual(setups[(profile_list + "S-1-5-21-0-0-0-1001", "ProfileImagePath")],
                         "%SystemDrive%\\users\\alice")
        self.assertEqual(setups[(profile_list + "S-1-5-21-0-0-0-1002", "ProfileImagePath")],
                         "%SystemDrive%\\users\\bob")
        self.assertIn("C:\\users\\alice\\NTUSER.DAT", puts)
        self.assertNotIn("C:\\users\\bob\\NTUSER.DAT", puts)
        self.assertNotIn("C:\\users\\root\\NTUSER.DAT", puts)
        # Windows 7: profiles under AppData\Roaming; an absolute profile under AppData\Local.
        ini = puts["C:\\users\\alice\\AppData\\Roaming\\Mozilla\\Firefox\\profiles.ini"].text
        self.assertIn("Name=work\nIsRelative=0\nPath=C:\\users\\alice\\AppData\\Local\\Mozilla\\Firefox\\Profiles\\",
                      ini)
        self.assertIn("Name=big\nIsRelative=1\nPath=Profiles/", ini)
        prefs = [p for p in s.put if p.path.endswith("prefs.js")]
        self.assertEqual(len(prefs), 3)
        work = next(p for p in prefs if ".work\\" in p.path)
        self.assertEqual((work.fixture, work.readonly), (os.path.join(self.dir, "beside.js"), True))
        big = next(p for p in prefs if ".big\\" in p.path)
        self.assertGreaterEqual(len(big.text), 5000)
        self.assertLess(len(big.text), 5100)
        self.assertTrue(big.text.startswith("// Mozilla User Preferences"))
        # Earlier software: a plain entry with its uninstaller, and the AFS product through msiexec.
        self.assertEqual(setups[(machine.UNINSTALL + "PC-Tessel", "DisplayName")], "PC-Tessel 2.0")
        self.assertIn(("tessel_uninstall.exe", "C:\\Program Files (x86)\\PC-Tessel\\uninstall.exe"),
                      [(p.stub, p.path) for p in s.place])
        self.assertEqual([(p.package, p.entry) for p in s.preinstall], [("openafs", machine.EARLIER_MSI["openafs"])])
        self.assertEqual(setups[(machine.UNINSTALL + machine.CALENDAR_ENTRY, "DisplayVersion")], "9.0.4")
        self.assertEqual(setups[("HKCU\\Software\\Kestrup Lab", "KlistPrincipal")], "root@HALVERN.EDU")
        self.assertIn((machine.UNINSTALL + "KB892090", "DisplayName"), setups)
        self.assertEqual(s.running[0].path, machine.RUNNING_PATHS["firefox.exe"])
        self.assertEqual((s.boxes[0]["title"], s.boxes[0].get("traced", True)), ("Remove Old Software?", True))
        # What is named once in lab/shared.toml: the box's text and style, the group's entries after the own.
        self.assertEqual((s.boxes[0].style, s.boxes[0].text.split("\n")[0], s.boxes[0].answer),
                         (0x40024, "PC-Tessel will be removed and replaced by Kerberos for Windows.", "y"))
        self.assertEqual([(st.stub, st.count) for st in s.started], [("klist", 0), ("netidmgr", 0)])
        self.assertIn("InstallDir", [a.name for a in s.absent])

    def test_every_mistake_of_a_file_is_named_at_once_with_its_line(self):
        for mistakes, says in ((HURRIED, HURRIED_SAYS), (HURRIED_CHECKED, HURRIED_CHECKED_SAYS)):
            text = GOOD
            for old, new in mistakes:
                self.assertIn(old, text)
                text = text.replace(old, new, 1)
            with self.assertRaises(schema.SchemaError) as e:
                scenario.Scenario(self.write(text))
            self.assertEqual(len(e.exception.faults), len(says), e.exception.faults)
            for fault, said in zip(e.exception.faults, says):
                self.assertIn(said, fault)

    def test_win11_runs_as_win10(self):
        s = scenario.Scenario(self.write(GOOD.replace('windows = "win7"', 'windows = "win11"')))
        self.assertEqual(wine.windows_values(s.windows), [("HKCU\\Software\\Wine", 32, "Version", "REG_SZ", "win10")])

    def test_a_set_up_that_did_not_take_is_named_before_the_run(self):
        # The good file laid into a prefix whose saved registry lacks one value (the trace list,
        # as a set-up session ended before the server saved it left it) and one file.
        s = scenario.Scenario(self.write(GOOD.replace('package = "reboot"', 'package = "none"')))
        pfx = wine.Prefix.__new__(wine.Prefix)
        pfx.path = os.path.join(self.dir, "prefix")
        pfx.laid_values = [("HKCU\\Software\\Wine", 32, "Version", "REG_SZ", "win7"),
                           ("HKCU\\Software\\Wine\\Debug", 32, "RelayInclude", "REG_SZ", "user32.MessageBoxA"),
                           ("HKLM\\Software\\Lab", 32, "Count", "REG_DWORD", 3)]
        os.makedirs(pfx.path)
        with open(os.path.join(pfx.path, "user.reg"), "w") as f:
            f.write('WINE REGISTRY Version 2\n\n[Software\\\\Wine]\n"Version"="win7"\n')
        with open(os.path.join(pfx.path, "system.reg"), "w") as f:
            f.write('WINE REGISTRY Version 2\n\n[Software\\\\Wow6432Node\\\\Lab]\n"Count"=dword:00000002\n')
        os.makedirs(pfx.program_dir())
        open(os.path.join(pfx.program_dir(), "kestrup.exe"), "w").close()
        for e in s.place + s.put:
            path = pfx.unix_path(e.path)
            if not path.endswith("prefs.js"):
                os.makedirs(os.path.dirname(path), exist_ok=True)
                open(path, "w").close()
        s.preinstall = []
        faults = staging.setup_faults(pfx, s, {}, staging.fills("kestrup.exe"))
        self.assertEqual(faults[:2], ["HKCU\\Software\\Wine\\Debug 'RelayInclude' (32-bit view) missing",
                                      "HKLM\\Software\\Lab 'Count' is REG_DWORD 2 (0x2), not REG_DWORD 3"])
        self.assertEqual(len([f for f in faults if f.endswith("prefs.js missing")]), 3)
        self.assertIn("network drive H: not mapped", faults)
        self.assertEqual(len(faults), 6, faults)

    def test_every_expectation_is_checked_and_an_unchecked_one_stops_the_lab(self):
        self.assertEqual(checks.unhandled(), [])
        path = self.write(GOOD)
        with mock.patch.object(schema, "expectations", return_value=schema.expectations() + ["regs"]):
            self.assertEqual(checks.unhandled(), ["regs"])
            with self.assertRaises(schema.SchemaError) as e:
                scenario.load([path])
            self.assertIn("do not handle [[regs]]", str(e.exception))

    def test_run_py_refuses_a_misspelt_scenario_from_anywhere(self):
        path = self.write(GOOD.replace("[[started]]", "[[startd]]"))
        r = subprocess.run([sys.executable, os.path.join(ROOT, "lab", "run.py"), "--scenario", path],
                           cwd=self.dir, capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 1)
        self.assertIn("%s: line 49: startd: unknown key 'startd'" % path, r.stdout)

    def test_every_scenario_and_machine_of_the_lab_loads(self):
        lab = os.path.join(ROOT, "lab")
        self.assertGreater(len(scenario.load_all(os.path.join(lab, "scenarios"))), 20)
        for name in os.listdir(os.path.join(lab, "machines")):
            with self.subTest(name):
                scenario.Scenario(os.path.join(lab, "machines", name))
        # The example that lab/README.md gives site staff, with the prefs file it names beside it.
        with open(os.path.join(lab, "README.md")) as f:
            example = f.read().split("```toml\n", 1)[1].split("```", 1)[0]
        with open(os.path.join(self.dir, "our-prefs.js"), "w") as f:
            f.write('user_pref("a", 1);\n')
        readme = scenario.Scenario(self.write(example))
        self.assertEqual([u.name for u in readme.machine.user], ["root", "jdoe"])
        demo = scenario.Scenario(os.path.join(lab, "machines", "demo.toml"))
        self.assertEqual(demo.windows, "winxp")
        self.assertEqual(len([p for p in demo.put if p.path.endswith("prefs.js")]), 4)


if __name__ == "__main__":
    unittest.main()
