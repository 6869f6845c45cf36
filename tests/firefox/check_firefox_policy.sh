#!/usr/bin/env bash
# Checks the installer's Firefox policy against real Firefox (Debian's
# firefox-esr), which reads policies from a policies.json where there is no
# registry: the values the installer writes on a simulated 64-bit Windows, over
# a site entry already there, become that file (firefox_policy_json), and a
# copy of the Firefox installation with it starts headless on a fresh profile
# while a start-up script of the copy prints the trusted-URIs default. It must
# be the site domain, then the site's entry, unlocked. A control run without
# "Locked" shows that Firefox locks the list then.
# Usage: tests/firefox/check_firefox_policy.sh [HOST_BUILD_DIR]   (default build/host)
set -uo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/host}

source scripts/lib/firefox.sh
kestrup_firefox_check check_firefox_policy firefox_policy_json "$build"

installed=/usr/lib/firefox-esr
# A system-wide file would be read instead of the distribution folder's.
for system in /etc/firefox/policies/policies.json /etc/firefox-esr/policies/policies.json; do
    [ -e "$system" ] && fail "$system is read before any other policies.json; this check cannot run here"
done

# The copy: the program itself (Firefox finds its folder from its own path),
# links to the rest, and folders of its own for the policy and the script.
app=$work/firefox
mkdir -p "$app/distribution" "$app/defaults/pref"
for entry in "$installed"/*; do
    case ${entry##*/} in firefox-esr | distribution | defaults) ;; *) ln -s "$entry" "$app/${entry##*/}" ;; esac
done
cp "$installed/firefox-esr" "$app/"
cp "$installed"/defaults/pref/*.js "$app/defaults/pref/"
cat >"$app/defaults/pref/autoconfig.js" <<'EOF'
pref("general.config.filename", "kestrup-check.cfg");
pref("general.config.obscure_value", 0);
pref("general.config.sandbox_enabled", false);
pref("browser.dom.window.dump.enabled", true);
EOF
cat >"$app/kestrup-check.cfg" <<'EOF'
// Prints the trusted-URIs default and its lock once start-up is done, after the policies applied.
Services.obs.addObserver(() => {
  const name = "network.negotiate-auth.trusted-uris";
  dump("KESTRUP-CHECK " + Services.prefs.getDefaultBranch("").getStringPref(name, "") +
       " | locked=" + Services.prefs.prefIsLocked(name) + "\n");
}, "final-ui-startup");
EOF

# Runs the copy on a fresh profile under the policies.json given; prints what
# the start-up script saw.
trusted_default() {
    local profile log i
    profile=$(mktemp -d "$work/profile.XXXX")
    log=$profile.log
    cp "$1" "$app/distribution/policies.json"
    timeout 60 "$app/firefox-esr" --headless --no-remote --profile "$profile" about:blank >"$log" 2>&1 &
    pid=$!
    for i in $(seq 1 120); do grep -q '^KESTRUP-CHECK ' "$log" && break; sleep 0.25; done
    kill -TERM "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    pid=
    sed -n 's/^KESTRUP-CHECK //p' "$log" | head -1
}

# 1. The policy as the installer writes it, over a site's own entry.
"$build/firefox_policy_json" intranet.example >"$work/policies.json" || fail "firefox_policy_json failed"
echo "check_firefox_policy: the registry values as policies.json: $(cat "$work/policies.json")"

# 2. A fresh profile under it.
seen=$(trusted_default "$work/policies.json")
[ "$seen" = "$domain, intranet.example | locked=false" ] ||
    fail "Firefox's trusted-URIs default under the policy is '$seen', not '$domain, intranet.example' unlocked"

# Control: the same policy without "Locked".
python3 -c 'import json, sys; p = json.load(open(sys.argv[1])); del p["policies"]["Authentication"]["Locked"]
json.dump(p, open(sys.argv[2], "w"))' "$work/policies.json" "$work/unlocked.json" || fail "no Locked value written"
seen=$(trusted_default "$work/unlocked.json")
[ "$seen" = "$domain, intranet.example | locked=true" ] ||
    fail "control: without Locked Firefox gave '$seen', not the list locked, so this check could not see a lock"

echo "check_firefox_policy: passed ($(firefox-esr --version 2>/dev/null | tr -d '\n'); site domain $domain)"
