#!/usr/bin/env python3
"""Feeds the same generated prefs.js files to two builds of rewrite_prefs and
reports any difference in what they write: a change made for speed must keep
every byte. The files mix Firefox's own lines with the forms that are hard to
read (comments across lines, several statements on a line, values in single
quotes, escapes, accented and other 8-bit characters, long lines, no final
line end).

    python3 tests/firefox/compare_rewrites.py OLD/rewrite_prefs NEW/rewrite_prefs [COUNT]
"""

import os
import random
import subprocess
import sys
import tempfile

PIECES = [
    'user_pref("network.negotiate-auth.trusted-uris", "example.org");',
    'user_pref("network.negotiate-auth.trusted-uris", "");',
    'user_pref("network.negotiate-auth.trusted-uris", "a.org, halvern.edu");',
    'user_pref("network.negotiate-auth.trusted-uris","x.org");',
    'user_pref("network.negotiate-auth.trusted-uris",    "y.org");',
    'USER_PREF("NETWORK.NEGOTIATE-AUTH.TRUSTED-URIS", "z.org");',
    "user_pref('network.negotiate-auth.trusted-uris', 'q\"uote.org');",
    '  user_pref( "network.negotiate-auth.trusted-uris" , "s.org" ) ;',
    'user_pref("a", 1); user_pref("network.negotiate-auth.trusted-uris", "two.org");',
    '// user_pref("network.negotiate-auth.trusted-uris", "commented.org");',
    '/* user_pref("network.negotiate-auth.trusted-uris", "block.org");',
    '*/ user_pref("b", "*/ and /* in a string");',
    '/* one-line comment */ user_pref("c", true);',
    'user_pref("network.negotiate-auth.trusted-uris", "unterminated',
    'network.negotiate-auth.trusted-uris but no statement',
    'user_pref("network.negotiate-auth.trusted-ur\xfds", "dotless.org");',
    'user_pref("network.auth.use-sspi", false);',
    'user_pref("network.auth.use-sspi", true);',
    'user_pref("network.auth.use-sspi", false);  // trailing',
    'user_pref("caf\xe9.pr\xe9f", "\xe9t\xe9");',
    'user_pref("browser.startup.homepage", "https://www.halvern.edu/");',
    '# hash comment',
    'pref("network.negotiate-auth.trusted-uris", "pref-form.org");',
    '',
]


def generate(rng):
    lines = []
    for _ in range(rng.randint(0, 40)):
        piece = rng.choice(PIECES)
        if rng.random() < 0.05:
            piece += " " + "x" * rng.randint(4000, 9000)
        lines.append(piece)
    ends = rng.choice(["\n", "\r\n"])
    text = ends.join(lines)
    if lines and rng.random() < 0.7:
        text += ends
    return text.encode("latin-1")


def rewrite(tool, data, workdir, tag):
    src, dst = os.path.join(workdir, tag + ".in"), os.path.join(workdir, tag + ".out")
    with open(src, "wb") as f:
        f.write(data)
    r = subprocess.run([tool, src, dst, "LABPC"], capture_output=True)
    out = open(dst, "rb").read() if os.path.exists(dst) else None
    return r.returncode, out


def main():
    old, new = sys.argv[1], sys.argv[2]
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 300
    rng = random.Random(11)
    differ = 0
    with tempfile.TemporaryDirectory() as workdir:
        for i in range(count):
            data = generate(rng)
            a, b = rewrite(old, data, workdir, "old"), rewrite(new, data, workdir, "new")
            if a != b:
                differ += 1
                with open(os.path.join(os.getcwd(), "rewrite-differs-%d.js" % i), "wb") as f:
                    f.write(data)
    print("compare_rewrites: %d files, %d rewritten differently%s" % (
        count, differ, " (inputs kept as rewrite-differs-*.js)" if differ else ""))
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
