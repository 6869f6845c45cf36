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

# Builds the host tool $2 of a check named $3 in the host build $1 (configuring
# the default build/host first when needed) and sets $domain to the site domain
# that build was made for.
kestrup_build_host_tool() {
    local build=$1 target=$2 check=$3
    if [ ! -f "$build/build.ninja" ]; then
        if [ "$build" != build/host ]; then echo "$check: $build is not configured" >&2; return 1; fi
        cmake --preset host >/dev/null || return 1
    fi
    cmake --build "$build" --target "$target" >/dev/null || { echo "$check: build failed" >&2; return 1; }
    domain=$(sed -n 's/^constexpr char kDomain\[\] = "\(.*\)";$/\1/p' "$build/generated/site_constants.h")
    [ -n "$domain" ] || { echo "$check: no site domain in $build" >&2; return 1; }
}
