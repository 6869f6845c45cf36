#!/usr/bin/env bash
# Makes the seed fuzz/corpus/prefs_rewrite/firefox_written.js: a prefs.js that
# real Firefox (Debian's firefox-esr) wrote itself, with a trusted-URIs list of
# its own and string values that need its escapes, so that the fuzzer starts
# from Firefox's exact output and not from our idea of it.
# Usage: fuzz/make_firefox_seed.sh   (rewrites the seed file in place)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/deps.sh
kestrup_need_packages firefox-esr || exit 1

source scripts/lib/firefox.sh
kestrup_firefox_sandbox
mkdir -p "$work/profile"
cat >"$work/profile/user.js" <<'PREFS'
user_pref("network.negotiate-auth.trusted-uris", "intranet.example, https://wiki.example.org");
user_pref("network.negotiate-auth.delegation-uris", "intranet.example");
user_pref("zzz.kestrup.seed.quotes", "a \"quoted\" word, a back\\slash and a 'single' one");
user_pref("zzz.kestrup.seed.unicode", "Zürich \u00e9t\u00e9");
user_pref("zzz.kestrup.seed.number", -42);
user_pref("zzz.kestrup.seed.flag", false);
PREFS
kestrup_firefox_run "$work/profile" "$work/log"
grep -q '^user_pref("network.negotiate-auth.trusted-uris"' "$work/profile/prefs.js" ||
    { echo "make_firefox_seed: Firefox wrote no trusted-URIs line (see its log below)" >&2; cat "$work/log" >&2; exit 1; }
# Only the lines Firefox wrote: its header and the preferences above, plus the
# blank-separated layout; the many machine-specific ones would bloat the seed.
grep -E '^(//|$|user_pref\("(network\.negotiate-auth|zzz\.kestrup|browser\.startup\.homepage_override))' \
    "$work/profile/prefs.js" >fuzz/corpus/prefs_rewrite/firefox_written.js
echo "make_firefox_seed: wrote fuzz/corpus/prefs_rewrite/firefox_written.js ($(wc -l <fuzz/corpus/prefs_rewrite/firefox_written.js) lines)"
