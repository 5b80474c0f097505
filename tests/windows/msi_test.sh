#!/usr/bin/env bash
# The Windows installers under wine, per machine and per user: builds both at VERSION and at a
# higher version, then for each scope in one fresh prefix: install, check the files, the five
# registry values and that the installed .exe answers a request; upgrade (one product left, the
# newer package's files; no way back down); uninstall and check that no file, value or key is left.
#
#   msi_test.sh EXE MANIFEST_DIR LICENSE VERSION HOST_NAME
set -euo pipefail
[ $# -eq 5 ] || { echo "usage: $0 EXE MANIFEST_DIR LICENSE VERSION HOST_NAME" >&2; exit 2; }
exe=$1 manifests=$2 license=$3 version=$4 name=$5
here=$(cd "$(dirname "$0")" && pwd)
build_msi=$here/../../packaging/windows/build-msi.sh
export TESSERA_WINE64=${TESSERA_WINE64:-/usr/lib/wine/wine64}
export TESSERA_WINESERVER=${TESSERA_WINESERVER:-/usr/lib/wine/wineserver}
wine=$TESSERA_WINE64
command -v "${TESSERA_WIXL:-wixl}" >/dev/null || { echo "wixl missing (Debian: wixl)"; exit 77; }
command -v msiinfo >/dev/null || { echo "msiinfo missing (Debian: msitools)"; exit 77; }
[ -x "$wine" ] || { echo "wine missing (Debian: wine64)"; exit 77; }
command -v python3 >/dev/null || { echo "python3 missing"; exit 77; }

scratch=$(mktemp -d)
export WINEPREFIX=$scratch/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  "$here/wine-prefix.sh" stop "$WINEPREFIX" || true
  rm -rf "$scratch"
}
trap cleanup EXIT
failures=0
check() {
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

# The newer package admits one more extension of each kind: its manifests tell whose files are
# installed after the upgrade.
IFS=. read -r major minor build <<<"$version"
newer="$major.$((minor + 1)).$build"
newer_chrome="chrome-extension://ponmlkjihgfedcbaponmlkjihgfedcba/"
newer_firefox="newer@tessera-smartcard.example"
mkdir "$scratch/newer-manifests"
python3 - "$manifests" "$scratch/newer-manifests" "$newer_chrome" "$newer_firefox" <<'PY'
import json, sys
src, dst, origin, addon = sys.argv[1:]
for file, key, extra in (("chromium.json", "allowed_origins", origin),
                         ("firefox.json", "allowed_extensions", addon)):
    manifest = json.load(open(f"{src}/{file}"))
    manifest[key].append(extra)
    json.dump(manifest, open(f"{dst}/{file}", "w"), indent=2)
PY
"$build_msi" "$exe" "$manifests" "$license" "$version" "$name" "$scratch/old" >/dev/null
"$build_msi" "$exe" "$scratch/newer-manifests" "$license" "$newer" "$name" "$scratch/new" >/dev/null

# What wine, running as the one user it has, cannot show: which packages ask for elevation.
word_count() { msiinfo suminfo "$1" | sed -n 's/^Source: \([0-9]*\).*/\1/p'; }
check "the machine package installs for all users (ALLUSERS=1)" \
  grep -q -x "ALLUSERS.1" <(msiinfo export "$scratch/old/tessera-smartcard-$version-x64-machine.msi" \
                              Property | tr -d '\r')
check "the user package needs no elevation (word count bit 8)" \
  test $(($(word_count "$scratch/old/tessera-smartcard-$version-x64-user.msi") & 8)) = 8

"$here/wine-prefix.sh" start "$WINEPREFIX"
msiexec() { "$wine" msiexec "$@" </dev/null >/dev/null 2>&1; }
# The default value of a key, or nothing when the key is missing.
default_value() {
  "$wine" reg query "$1" /ve 2>/dev/null | tr -d '\r' | sed -n 's/^ *(Default) *REG_SZ *//p'
}
key_absent() { ! "$wine" reg query "$1" >/dev/null 2>&1; }
not() { ! "$@"; }
products_named() {
  { "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null
    "$wine" reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null
  } | tr -d '\r' | grep -c -x " *DisplayName *REG_SZ *$1" || true
}
manifest_admits() { grep -q -F "\"$2\"" "$1"; }
# One framed request to the installed .exe, with wine's own winscard: any well-formed reply with
# the request's id and the call's result shows that the host runs.
host_answers() {
  python3 - "$here/run-host-under-wine.sh" "$1" <<'PY'
import json, struct, subprocess, sys
request = json.dumps({"i": "1", "c": 114, "p": 2}).encode()
out = subprocess.run(sys.argv[1:], input=struct.pack("<I", len(request)) + request,
                     capture_output=True, timeout=60).stdout
size = struct.unpack("<I", out[:4])[0] if len(out) >= 4 else -1
reply = json.loads(out[4:4 + size]) if size == len(out) - 4 else {}
sys.exit(0 if reply.get("i") == "1" and "SCardEstablishContext" in reply else 1)
PY
}

# Wine names the profile folder after the user it runs for: ask it.
local_app_data=$("$wine" cmd /c 'echo %LOCALAPPDATA%' </dev/null 2>/dev/null | tr -d '\r')
for scope in machine user; do
  if [ "$scope" = machine ]; then
    root=HKLM product="Tessera smart-card host"
    dir_windows='C:\Program Files\Tessera Smartcard'
    dir="$WINEPREFIX/drive_c/Program Files/Tessera Smartcard"
  else
    root=HKCU product="Tessera smart-card host (current user)"
    dir_windows="$local_app_data\\Programs\\Tessera Smartcard"
    dir=$("$wine" winepath -u "$dir_windows" </dev/null 2>/dev/null)
  fi
  keys=()
  for browser in 'Google\Chrome' Chromium 'Microsoft\Edge' 'BraveSoftware\Brave-Browser' Mozilla; do
    keys+=("$root\\Software\\$browser\\NativeMessagingHosts\\$name")
  done
  old_msi="$scratch/old/tessera-smartcard-$version-x64-$scope.msi"
  new_msi="$scratch/new/tessera-smartcard-$newer-x64-$scope.msi"

  check "$scope $version: msiexec /i" msiexec /i "$old_msi" /qn
  check "$scope: the .exe" cmp -s "$exe" "$dir/tessera-smartcard.exe"
  check "$scope: LICENSE.txt" cmp -s "$license" "$dir/LICENSE.txt"
  check "$scope: the Chrome-family manifest" cmp -s "$manifests/chromium.json" "$dir/$name.chromium.json"
  check "$scope: the Firefox manifest" cmp -s "$manifests/firefox.json" "$dir/$name.firefox.json"
  for key in "${keys[@]}"; do
    family=chromium
    [[ $key == *Mozilla* ]] && family=firefox
    check "$scope: $key names the $family manifest" \
      test "$(default_value "$key")" = "$dir_windows\\$name.$family.json"
  done
  check "$scope: the installed host answers a request" host_answers "$dir/tessera-smartcard.exe"

  check "$scope $newer: msiexec /i (upgrade)" msiexec /i "$new_msi" /qn
  check "$scope: one product left" test "$(products_named "$product")" = 1
  check "$scope: the newer Chrome-family manifest" manifest_admits "$dir/$name.chromium.json" "$newer_chrome"
  check "$scope: the newer Firefox manifest" manifest_admits "$dir/$name.firefox.json" "$newer_firefox"
  check "$scope: the .exe after the upgrade" cmp -s "$exe" "$dir/tessera-smartcard.exe"
  check "$scope: registered after the upgrade" \
    test "$(default_value "${keys[4]}")" = "$dir_windows\\$name.firefox.json"

  check "$scope: the older package is refused now" not msiexec /i "$old_msi" /qn
  check "$scope: still the newer manifests" manifest_admits "$dir/$name.firefox.json" "$newer_firefox"

  check "$scope: msiexec /x" msiexec /x "$new_msi" /qn
  check "$scope: no product left" test "$(products_named "$product")" = 0
  check "$scope: no folder left" test ! -e "$dir"
  # The per-user package also keeps its key path value under Software\tessera-smartcard.
  if [ "$scope" = user ]; then keys+=("HKCU\\Software\\tessera-smartcard"); fi
  for key in "${keys[@]}"; do
    check "$scope: $key is gone" key_absent "$key"
  done
done

[ "$failures" = 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "PASS"
