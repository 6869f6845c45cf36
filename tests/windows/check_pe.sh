#!/usr/bin/env bash
# Checks the built kestrup.exe as Windows will load it: a 32-bit GUI program
# that imports only Windows system DLLs (msi.dll by ordinal only) and carries
# the requireAdministrator manifest and a version resource.
set -u
exe=$1
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
fail=0
check() { if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; fail=1; fi; }

headers=$("$objdump" -p "$exe")
check "PE32 for i386" '"$objdump" -f "$exe" | grep -q "file format pei-i386"'
check "GUI subsystem" 'grep -qE "^Subsystem\s+00000002" <<<"$headers"'

allowed='^(kernel32|user32|gdi32|advapi32|msvcrt|msi|mpr|psapi|version|shell32|comctl32|ole32|shlwapi)\.dll$'
dlls=$(grep -oP 'DLL Name: \K\S+' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
outside=$(grep -vE "$allowed" <<<"$dlls" || true)
check "imports only Windows system DLLs (has: $(echo $dlls))" '[ -z "$outside" ]'

# The msi.dll import entries: ordinals only, never names.
msi=$(awk '/DLL Name: msi.dll/{on=1; next} /DLL Name:/{on=0} on' <<<"$headers")
check "msi.dll imported by ordinal only" '! grep -qE "^\s+[0-9a-f]+\s+[0-9]+\s+Msi" <<<"$msi" && grep -qE "^\s+[0-9a-f]+\s+(87|141|189)\s+<none>" <<<"$msi"'

strings_out=$(strings -a "$exe")
check "manifest asks for requireAdministrator" 'grep -q "level=\"requireAdministrator\"" <<<"$strings_out"'
check "manifest declares no Windows 8.1 or later" '! grep -q "<supportedOS" <<<"$strings_out"'
check "version resource" 'strings -a -el "$exe" | grep -q "OriginalFilename"'
exit $fail
