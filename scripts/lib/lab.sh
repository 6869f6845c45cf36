# The Wine lab's extra need: on a kernel without 32-bit support, Wine's i386
# loader runs through qemu's user-mode emulator (lab/harness/host.py
# registers it with binfmt_misc). Sourced after scripts/lib/deps.sh.

kestrup_lab_can_run_i386() {
    [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
}

kestrup_install_lab_deps() {
    kestrup_install_deps || return 1
    if ! kestrup_lab_can_run_i386; then
        echo "kestrup: this kernel cannot run 32-bit programs; the lab will use qemu-i386" >&2
        kestrup_need_packages qemu-user-static || return 1
    fi
}
