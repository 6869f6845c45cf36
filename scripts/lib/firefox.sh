# Sourced by the scripts that start real Firefox (the prefs.js check, the fuzz seed):
# a throwaway HOME in a temporary folder, removed on exit together with any
# Firefox still running as $pid.
kestrup_firefox_sandbox() {
    work=$(mktemp -d)
    pid=
    trap '[ -n "$pid" ] && kill -9 "$pid" 2>/dev/null; rm -rf "$work"' EXIT
    export HOME=$work/home MOZ_CRASHREPORTER_DISABLE=1 MOZ_DISABLE_AUTO_SAFE_MODE=1
    mkdir -p "$HOME"
}
