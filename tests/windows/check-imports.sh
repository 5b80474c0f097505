#!/usr/bin/env bash
# The Windows host must need nothing at run time beyond KERNEL32, msvcrt and WinSCard (a static
# build), and the test winscard.dll must export every WinSCard symbol the host imports, or wine
# would refuse to start the host with it.
#   check-imports.sh OBJDUMP HOST.exe WINSCARD.dll
set -euo pipefail
objdump=$1 exe=$2 dll=$3
dlls=$("$objdump" -p "$exe" | sed -n 's/^\tDLL Name: //p' | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ')
echo "host imports from: $dlls"
[ "$dlls" = "kernel32.dll msvcrt.dll winscard.dll " ] || { echo "FAIL: unexpected DLLs" >&2; exit 1; }
# The names listed under the WinSCard import block, up to the next blank line.
imports=$("$objdump" -p "$exe" | awk 'tolower($0) ~ /dll name: winscard.dll/ {f=1; next}
  f && /^[[:space:]]*$/ {f=0} f && $1 ~ /^[0-9a-f]+$/ && NF == 3 {print $3}' | sort -u)
exports=$("$objdump" -p "$dll" | awk '/\[Ordinal\/Name Pointer\] Table/ {f=1; next}
  f && /^[[:space:]]*$/ {f=0} f {print $NF}' | sort -u)
[ -n "$imports" ] || { echo "FAIL: no WinSCard imports found" >&2; exit 1; }
echo "WinSCard imports: $(echo $imports)"
missing=$(comm -23 <(echo "$imports") <(echo "$exports"))
[ -z "$missing" ] || { echo "FAIL: winscard.dll lacks: $missing" >&2; exit 1; }
for data in g_rgSCardT0Pci g_rgSCardT1Pci g_rgSCardRawPci SCardAccessStartedEvent; do
  grep -qx "$data" <<<"$exports" || { echo "FAIL: winscard.dll lacks $data" >&2; exit 1; }
done
echo "imports: ok"
