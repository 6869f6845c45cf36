#!/usr/bin/env bash
# Checks the installer's prefs.js rewriting against real Firefox (Debian's
# firefox-esr, installed when missing):
#   1. Firefox makes a profile and writes its prefs.js, with a trusted-URIs list
#      of its own longer than 4095 characters (set through user.js, then removed);
#   2. the installer's code rewrites that prefs.js (rewrite_prefs, on the
#      simulated Windows);
#   3. Firefox starts on it again and writes prefs.js anew when it exits;
#   4. the same for a trusted-URIs line indented with a tab.
# Passes when Firefox reported no parse error, wrote the file itself (LF line
# ends again), and its trusted list is the old list followed by the site
# domain, with SSPI off and a preference after it still there. A control run
# first shows that this Firefox does report a broken statement.
# Usage: tests/firefox/check_real_firefox.sh [HOST_BUILD_DIR]   (default build/host)
set -uo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/host}

source scripts/lib/firefox.sh
kestrup_firefox_check check_real_firefox rewrite_prefs "$build"

run_firefox() {
    kestrup_firefox_run "$1" "$2"
    [ -s "$1/prefs.js" ] || fail "Firefox wrote no prefs.js in $1 (see $2)"
}

# The existing list: 400 hosts, about 8000 characters on one line.
list="intranet.example"
for i in $(seq 1 400); do list="$list, h$i.example"; done

# 1. Firefox's own prefs.js.
profile=$work/profile
mkdir -p "$profile"
{
    echo "user_pref(\"network.negotiate-auth.trusted-uris\", \"$list\");"
    echo 'user_pref("zzz.kestrup.check.marker", true);'
} >"$profile/user.js"
run_firefox "$profile" "$work/first.log"
rm "$profile/user.js"
grep -qF "user_pref(\"network.negotiate-auth.trusted-uris\", \"$list\");" "$profile/prefs.js" ||
    fail "Firefox did not write the trusted list into prefs.js"

# Control: the same file with its trusted-URIs line broken after 4095
# characters, as a reader in pieces would leave it; Firefox must report it.
control=$work/control
cp -r "$profile" "$control"
python3 - "$control/prefs.js" <<'EOF'
import sys
path = sys.argv[1]
lines = open(path, newline="").read().split("\n")
for i, line in enumerate(lines):
    if line.startswith('user_pref("network.negotiate-auth.trusted-uris"'):
        lines[i] = line[:4095] + ', site");\n' + line[4095:]
open(path, "w", newline="").write("\n".join(lines))
EOF
run_firefox "$control" "$work/control.log"
grep -qi "parse error" "$work/control.log" ||
    fail "control: Firefox reported no parse error for a broken line, so this check could not see one"

# 2. The installer rewrites it (for an account domain that turns SSPI off).
"$build/rewrite_prefs" "$profile/prefs.js" "$work/rewritten.js" "KESTRUP-PC" || fail "rewrite_prefs failed"
grep -q $'\r' "$work/rewritten.js" || fail "the rewritten file has no CR LF line ends"
cp "$work/rewritten.js" "$profile/prefs.js"

# 3. Firefox reads it and writes it again.
run_firefox "$profile" "$work/second.log"
if grep -i "parse error" "$work/second.log"; then fail "Firefox reported a parse error for the rewritten prefs.js"; fi
grep -q $'\r' "$profile/prefs.js" && fail "Firefox did not write prefs.js again on exit"
grep -qF "user_pref(\"network.negotiate-auth.trusted-uris\", \"$list, $domain\");" "$profile/prefs.js" ||
    fail "the site domain is not at the end of Firefox's trusted list"
grep -qF 'user_pref("network.auth.use-sspi", false);' "$profile/prefs.js" || fail "SSPI is not off"
grep -qF 'user_pref("zzz.kestrup.check.marker", true);' "$profile/prefs.js" ||
    fail "Firefox dropped a preference that follows the rewritten lines"

# 4. A trusted-URIs statement indented with a tab, and a tab between its tokens
#    (Firefox takes both as blanks), gets the site domain too.
tabbed=$work/tabbed
mkdir -p "$tabbed"
printf '// Mozilla User Preferences\n\n\tuser_pref("network.negotiate-auth.trusted-uris",\t"tab.example");\n' \
    >"$work/tabbed.js"
"$build/rewrite_prefs" "$work/tabbed.js" "$tabbed/prefs.js" "KESTRUP-PC" || fail "rewrite_prefs failed on the tab-indented file"
run_firefox "$tabbed" "$work/tabbed.log"
if grep -i "parse error" "$work/tabbed.log"; then fail "Firefox reported a parse error for the rewritten tab-indented line"; fi
grep -q $'\r' "$tabbed/prefs.js" && fail "Firefox did not write the tab-indented profile's prefs.js again on exit"
grep -qF "user_pref(\"network.negotiate-auth.trusted-uris\", \"tab.example, $domain\");" "$tabbed/prefs.js" ||
    fail "the site domain is not in Firefox's trusted list read from a tab-indented line"

echo "check_real_firefox: passed ($(firefox-esr --version 2>/dev/null | tr -d '\n'); site domain $domain)"
