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
