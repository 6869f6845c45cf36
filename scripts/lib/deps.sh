# Installs the Debian packages the build, the host tests and the Wine lab need.
# Sourced by scripts/test and scripts/lab; idempotent: does nothing when all is there.

kestrup_need_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "kestrup: these Debian packages are missing: ${missing[*]}" >&2
        echo "kestrup: run this script as root, or install them first: sudo apt-get install ${missing[*]}" >&2
        echo "kestrup: (wine32 needs: sudo dpkg --add-architecture i386 && sudo apt-get update)" >&2
        return 1
    fi
    echo "kestrup: installing ${missing[*]}" >&2
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386 || return 1
    fi
    apt-get update -qq || { echo "kestrup: apt-get update failed; check the machine's package sources" >&2; return 1; }
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
        { echo "kestrup: apt-get install ${missing[*]} failed" >&2; return 1; }
}

# Everything: cross compiler, host build, Wine lab with its package tools and display,
# clang and libFuzzer for the fuzz build.
kestrup_install_deps() {
    kestrup_need_packages cmake ninja-build g++ googletest libgtest-dev qemu-user-static \
        g++-mingw-w64-i686 gcc-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64-i686 \
        wine wine32 wine64 wixl msitools xvfb xdotool imagemagick x11-utils python3 procps \
        firefox-esr osslsigncode openssl flake8 clang libclang-rt-14-dev clang-format-14
}
