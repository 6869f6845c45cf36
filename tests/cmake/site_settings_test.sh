#!/usr/bin/env bash
# The site settings are checked when CMake configures: each bad value must stop
# the configuration with a message naming the setting; good ones must pass and
# size the KdcNames block from the names.
set -u
settings=$(dirname "$0")/../../cmake/SiteSettings.cmake
pass=0 fail=0
expect() {  # expect ok|error "message part" -Dvar=value...
    local want=$1 part=$2; shift 2
    local out rc
    out=$(cmake "$@" -P "$settings" 2>&1); rc=$?
    if { [ "$want" = ok ] && [ $rc -eq 0 ] && grep -q -- "$part" <<<"$out"; } ||
       { [ "$want" = error ] && [ $rc -ne 0 ] && grep -q -- "$part" <<<"$out"; }; then
        pass=$((pass + 1))
    else
        fail=$((fail + 1)); echo "FAIL: $* (wanted $want with \"$part\"):"; echo "$out" | sed 's/^/    /'
    fi
}
expect ok "KdcNames block 70 bytes"
expect ok "KdcNames block 55 bytes" -DKESTRUP_SITE_KDC1=a.b.edu
expect ok "domain example.org" -DKESTRUP_SITE_DOMAIN=example.org
expect ok "later users true"
expect ok "later users false" -DKESTRUP_SITE_LATER_USERS=off
expect error "KESTRUP_SITE_LATER_USERS=\"maybe\"" -DKESTRUP_SITE_LATER_USERS=maybe
expect error "KESTRUP_SITE_DOMAIN=\"Example.EDU\"" -DKESTRUP_SITE_DOMAIN=Example.EDU
expect error "must contain .edu" -DKESTRUP_SITE_DOMAIN=example.xyz
expect error "must not contain" -DKESTRUP_SITE_DOMAIN=pelnetid.edu
expect error "too long" -DKESTRUP_SITE_DOMAIN=$(printf 'a%.0s' {1..60}).edu
expect error "without blanks" "-DKESTRUP_SITE_DOMAIN=exa mple.edu"
expect error "must not be empty" -DKESTRUP_SITE_KDC2=
expect error "KESTRUP_SITE_KDC3" -DKESTRUP_SITE_KDC3=kdc
expect error "KESTRUP_SITE_AFS_CELL" "-DKESTRUP_SITE_AFS_CELL=a\"b.edu"
expect error "must be an http" -DKESTRUP_SITE_INFO_PAGE=ftp://x.edu/
expect error "KESTRUP_SITE_CALENDAR_PAGE" "-DKESTRUP_SITE_CALENDAR_PAGE=https://a b/"
expect ok "files pinned by SHA-256: none"
expect ok "pinned by SHA-256: kfw_release.msi$" -DKESTRUP_SITE_SHA256_KFW_RELEASE=9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08
expect error "KESTRUP_SITE_SHA256_KB892090_XP" -DKESTRUP_SITE_SHA256_KB892090_XP=9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A0
expect error "64 hexadecimal digits" "-DKESTRUP_SITE_SHA256_KFW_RELEASE=9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08  kfw_release.msi"
expect error "SHA-256 of instmsia.exe" -DKESTRUP_SITE_SHA256_INSTMSIA=sha256:9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08
echo "site settings: $pass passed, $fail failed"
[ $fail -eq 0 ]
