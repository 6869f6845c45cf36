#!/usr/bin/env bash
# A signed site build, end to end: a throwaway code-signing certificate made
# with openssl; kestrup.exe built with it in its own build directory; the
# signature accepted by `osslsigncode verify` (SHA-256); the exe checks on the
# signed file; then a wrong password and a missing key: the build stops with the
# reason and no kestrup.exe is left.
# Usage: tests/windows/signing_test.sh [BUILD_DIR]   (default build/windows-signed)
set -uo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/windows-signed}
fail() { echo "signing_test: FAILED: $*" >&2; exit 1; }

keys=$(mktemp -d)
trap 'rm -rf "$keys"' EXIT
printf 'lab-signing-password\n' > "$keys/password.txt"
printf 'not-the-password\n' > "$keys/wrong.txt"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Kestrup signing test" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$keys/key.pem" -out "$keys/cert.pem" 2>/dev/null ||
    fail "openssl could not make a certificate"
openssl pkcs12 -export -inkey "$keys/key.pem" -in "$keys/cert.pem" -out "$keys/sign.p12" \
    -passout "file:$keys/password.txt" || fail "openssl could not make the PKCS#12 file"

configure() {
    cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
          -DCMAKE_BUILD_TYPE=MinSizeRel "$@" >"$keys/configure.log" 2>&1
}
exe="$build/kestrup.exe"

# 1. Signed with the right password.
configure -DKESTRUP_SIGN_PKCS12="$keys/sign.p12" -DKESTRUP_SIGN_PASSWORD_FILE="$keys/password.txt" ||
    { cat "$keys/configure.log"; fail "configure"; }
cmake --build "$build" --target kestrup >"$keys/build.log" 2>&1 || { cat "$keys/build.log"; fail "signed build"; }
osslsigncode verify -CAfile "$keys/cert.pem" -in "$exe" >"$keys/verify.log" 2>&1 ||
    { cat "$keys/verify.log"; fail "osslsigncode verify rejects the signed kestrup.exe"; }
grep -q "Signature verification: ok" "$keys/verify.log" || { cat "$keys/verify.log"; fail "no verified signature"; }
grep -qi "Message digest algorithm *: SHA256" "$keys/verify.log" ||
    { cat "$keys/verify.log"; fail "the signature's digest is not SHA-256"; }
ctest --test-dir "$build" --output-on-failure >"$keys/ctest.log" 2>&1 ||
    { cat "$keys/ctest.log"; fail "the exe checks reject the signed kestrup.exe"; }

# 2. A password that does not open the key: the relink fails and leaves no program.
configure -DKESTRUP_SIGN_PASSWORD_FILE="$keys/wrong.txt" || fail "configure with the wrong password"
if cmake --build "$build" --target kestrup >"$keys/build.log" 2>&1; then fail "a build with a wrong password passed"; fi
grep -q "could not be signed" "$keys/build.log" || { cat "$keys/build.log"; fail "no reason given"; }
[ ! -e "$exe" ] || fail "an unsigned kestrup.exe was left after the signing failed"

# 3. A key file that is not there stops the configuration, naming it.
if configure -DKESTRUP_SIGN_PKCS12="$keys/missing.p12"; then fail "configure with a missing key passed"; fi
grep -q "KESTRUP_SIGN_PKCS12: no such file" "$keys/configure.log" || { cat "$keys/configure.log"; fail "no reason"; }

# Leave the directory with the good signed program, for a lab run with it.
configure -DKESTRUP_SIGN_PKCS12="$keys/sign.p12" -DKESTRUP_SIGN_PASSWORD_FILE="$keys/password.txt" &&
    cmake --build "$build" --target kestrup >"$keys/build.log" 2>&1 || { cat "$keys/build.log"; fail "rebuild"; }
osslsigncode verify -CAfile "$keys/cert.pem" -in "$exe" >/dev/null 2>&1 || fail "the rebuilt program is not signed"
echo "signing_test: osslsigncode verify accepts the SHA-256 signature; exe checks pass; a wrong password and a missing key stop the build"
