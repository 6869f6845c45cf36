"""The lab's HTML report in real Firefox: a report with two photographs and the change tables,
opened by headless firefox-esr (--screenshot), renders: the page is not blank, both embedded
images decode as the pictures they were, and both show on the screen in their own colours."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "lab"))

from harness import report  # noqa: E402
from harness.display import rgb_pixels  # noqa: E402

# Two photographs in colours that nothing else on the page has.
PICTURES = {"red.png": (200, 30, 30), "green.png": (30, 160, 60)}
SIZE = (240, 120)


def count(raw, colour, tolerance=12):
    n = 0
    for i in range(0, len(raw) - 2, 3):
        if all(abs(raw[i + k] - colour[k]) <= tolerance for k in range(3)):
            n += 1
    return n


@unittest.skipUnless(shutil.which("firefox-esr") and shutil.which("convert"), "needs firefox-esr and ImageMagick")
class ReportInFirefox(unittest.TestCase):
    def test_report_renders_with_every_image(self):
        work = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, work, True)
        shown = []
        for name, (r, g, b) in PICTURES.items():
            path = os.path.join(work, name)
            subprocess.run(["convert", "-size", "%dx%d" % SIZE, "xc:rgb(%d,%d,%d)" % (r, g, b), path], check=True)
            shown.append(report.Shown(title=name, photo=path, text="A question?\n\nYes or no.", style=0x40024,
                                      answer="y"))
        record = report.RunRecord(title="render check", machine="demo.toml", windows="winxp", switches="/Silent",
                                  package="ok", exit=1, shown=shown, artefacts=work)
        record.registry = [report.RegChange("Machine", "HKLM\\Software\\MIT\\Kerberos", "32-bit view", "InstallDir",
                                            None, "REG_SZ 'C:\\\\Program Files\\\\MIT\\\\Kerberos\\\\'"),
                           report.RegChange("root", "HKCU\\Software\\MIT\\NetIDMgr\\CredWindow", "", "AutoInit",
                                            "REG_DWORD 0 (0x0)", "REG_DWORD 1 (0x1)")]
        record.files = [report.FileChange("alice", "C:\\users\\alice\\prefs.js", "changed", 579, 704)]
        record.hives = {"alice": (3, 3)}
        page = report.html(record)
        html_path = os.path.join(work, "report.html")
        with open(html_path, "w") as f:
            f.write(page)

        # Self-contained: nothing fetched from elsewhere, and each image is the picture it was.
        self.assertNotRegex(page, r'(src|href)="(?!data:)')
        images = report.embedded_images(page)
        self.assertEqual(len(images), len(PICTURES))
        for data, (name, colour) in zip(images, PICTURES.items()):
            decoded = os.path.join(work, "decoded-" + name)
            with open(decoded, "wb") as f:
                f.write(data)
            w, h, raw = rgb_pixels(decoded)
            self.assertEqual((w, h), SIZE)
            self.assertEqual(count(raw, colour, 0), w * h)

        shot = os.path.join(work, "screenshot.png")
        profile = os.path.join(work, "profile")
        os.makedirs(profile)
        r = subprocess.run(["timeout", "120", "firefox-esr", "--headless", "--no-remote", "--profile", profile,
                            "--window-size=1200,1400", "--screenshot", shot, "file://" + html_path],
                           capture_output=True, text=True, env=dict(os.environ, MOZ_HEADLESS="1"))
        self.assertTrue(os.path.isfile(shot), "no screenshot: %s" % r.stderr[-800:])
        w, h, raw = rgb_pixels(shot)
        white = count(raw, (255, 255, 255), 3)
        self.assertLess(white, 0.97 * w * h, "the page is blank")
        for name, colour in PICTURES.items():
            # Each picture shows, at least at half its size (the page may scale it down).
            self.assertGreater(count(raw, colour), SIZE[0] * SIZE[1] // 4, "%s does not show" % name)


# (package answers, restart requests, event log, exit value, the report's first line)
HEADLINES = [
    ([0], [], [], 1, "Kerberos for Windows installed; the run completed."),
    ([3010], ["ExitWindowsEx(00000003,00000000)"], [], 1,
     "Kerberos for Windows installed; Windows must restart to finish; the run ended with a restart request."),
    ([], ["ExitWindowsEx(00000003,00000000)"], [], 1,
     "Kerberos for Windows deferred to the next run (a restart was requested first); the run ended with a "
     "restart request."),
    ([1603], [], ["FATAL ERROR: Fatal error during installation."], 0,
     "Kerberos for Windows not installed (the package answered 1603); the run stopped: FATAL ERROR: Fatal error "
     "during installation."),
    ([], [], [], None, "Kerberos for Windows not installed (the package was never started); the run did not end by "
     "itself."),
]


class Headline(unittest.TestCase):
    def test_the_first_line_says_what_became_of_the_package_and_why_the_run_stopped(self):
        for results, requests, log, rc, want in HEADLINES:
            with self.subTest(want):
                record = report.RunRecord(title="t", machine="m.toml", windows="winxp", switches="", package="ok",
                                          exit=rc, requests=requests, package_results=results, log=log)
                self.assertEqual(report.headline(record), want)
                self.assertIn(want, report.text(record).splitlines()[2])
        empty = report.text(report.RunRecord(title="t", machine="m", windows="winxp", switches="", package="ok"))
        self.assertIn("What the run did:\n  nothing changed\n", empty)


if __name__ == "__main__":
    unittest.main()
