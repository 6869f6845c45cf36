# Sourced by the scripts that start real Firefox (the prefs.js and policy checks,
# the fuzz seed).

# A throwaway HOME in a temporary folder, removed on exit together with any
# Firefox still running as $pid.
kestrup_firefox_sandbox() {
    work=$(mktemp -d)
    pid=
    trap '[ -n "$pid" ] && kill -9 "$pid" 2>/dev/null; rm -rf "$work"' EXIT
    export HOME=$work/home MOZ_CRASHREPORTER_DISABLE=1 MOZ_DISABLE_AUTO_SAFE_MODE=1
    mkdir -p "$HOME"
}

# The start of a check against real Firefox named $1: firefox-esr installed when
# missing, the host tool $2 built in the host build $3 (the default build/host is
# configured first when needed), $domain set to the site domain that build was
# made for, the sandbox, and fail, which ends the check with its reason.
kestrup_firefox_check() {
    firefox_check=$1
    local target=$2 build=$3
    source scripts/lib/deps.sh
    kestrup_need_packages firefox-esr || exit 1
    if [ ! -f "$build/build.ninja" ]; then
        [ "$build" = build/host ] || fail "$build is not configured"
        cmake --preset host >/dev/null || exit 1
    fi
    cmake --build "$build" --target "$target" >/dev/null || fail "the build failed"
    domain=$(sed -n 's/^constexpr char kDomain\[\] = "\(.*\)";$/\1/p' "$build/generated/site_constants.h")
    [ -n "$domain" ] || fail "no site domain in $build"
    kestrup_firefox_sandbox
}

fail() { echo "$firefox_check: FAILED: $*" >&2; exit 1; }

# Runs Firefox headless on profile $1 (its output in $2) until its start-up is
# over, then ends it as a logout does (SIGTERM), after which it writes prefs.js.
# Start-up is over when Firefox records its last checkpoint in
# sessionCheckpoints.json; a fixed wait of a few seconds was too short on a busy
# machine, where Firefox was ended before it had read prefs.js and so never
# wrote it again. It then runs four seconds more: ended at once after start-up,
# it has changed nothing and writes nothing either.
kestrup_firefox_run() {
    local profile=$1 log=$2 i
    rm -f "$profile/sessionCheckpoints.json"
    timeout 120 firefox-esr --headless --no-remote --profile "$profile" about:blank >"$log" 2>&1 &
    pid=$!
    for i in $(seq 1 400); do
        grep -qs sessionstore-windows-restored "$profile/sessionCheckpoints.json" && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.25
    done
    sleep 4
    kill -TERM "$pid" 2>/dev/null || true
    for i in $(seq 1 120); do kill -0 "$pid" 2>/dev/null || break; sleep 0.25; done
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=
    return 0
}
