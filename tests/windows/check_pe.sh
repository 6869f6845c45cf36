#!/usr/bin/env bash
# Checks the built kestrup.exe as Windows will load it: a 32-bit GUI program
# with ASLR and DEP that imports only DLLs Windows always takes from the system
# folder, and carries the requireAdministrator manifest and a version resource.
set -u
exe=$1
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
fail=0
check() { if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; fail=1; fi; }

headers=$("$objdump" -p "$exe")
check "PE32 for i386" '"$objdump" -f "$exe" | grep -q "file format pei-i386"'
check "GUI subsystem" 'grep -qE "^Subsystem\s+00000002" <<<"$headers"'

# Only DLLs that every Windows from XP to 11 takes from the system folder
# (KnownDLLs): the imports are resolved before WinMain runs, so anything else
# could be taken from the program's folder.
allowed='^(kernel32|user32|gdi32|advapi32|msvcrt|shell32|ole32|oleaut32|comdlg32)\.dll$'
dlls=$(grep -oP 'DLL Name: \K\S+' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
outside=$(grep -vE "$allowed" <<<"$dlls" || true)
check "imports only KnownDLLs (has: $(echo $dlls))" '[ -n "$dlls" ] && [ -z "$outside" ] && grep -qx kernel32.dll <<<"$dlls"'
check "loads msi, mpr, psapi and version at run time, not by import" \
    '! grep -qE "^(msi|mpr|psapi|version)\.dll$" <<<"$dlls"'

# ASLR and DEP, with the relocations ASLR needs.
check "DYNAMIC_BASE" 'grep -qE "^\s+DYNAMIC_BASE" <<<"$headers"'
check "NX_COMPAT" 'grep -qE "^\s+NX_COMPAT" <<<"$headers"'
check "relocations kept" 'grep -qE "^\s*[0-9]+\s+\.reloc" <<<"$("$objdump" -h "$exe")"'

strings_out=$(strings -a "$exe")
check "manifest asks for requireAdministrator" 'grep -q "level=\"requireAdministrator\"" <<<"$strings_out"'
check "manifest declares no Windows 8.1 or later" '! grep -q "<supportedOS" <<<"$strings_out"'
check "version resource" 'strings -a -el "$exe" | grep -q "OriginalFilename"'
exit $fail
