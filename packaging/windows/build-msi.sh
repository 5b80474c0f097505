#!/usr/bin/env bash
# Builds the two Windows installers with wixl (Debian: wixl, msitools):
#   OUT_DIR/tessera-smartcard-VERSION-x64-machine.msi   Program Files, HKLM, for every user
#   OUT_DIR/tessera-smartcard-VERSION-x64-user.msi      %LOCALAPPDATA%\Programs, HKCU, no administrator
#
#   build-msi.sh EXE MANIFEST_DIR LICENSE VERSION HOST_NAME OUT_DIR
#
# MANIFEST_DIR holds chromium.json and firefox.json with "path": "tessera-smartcard.exe" (CMake
# writes them with the configured extension IDs).
set -euo pipefail
[ $# -eq 6 ] || { echo "usage: $0 EXE MANIFEST_DIR LICENSE VERSION HOST_NAME OUT_DIR" >&2; exit 2; }
exe=$1 manifests=$2 license=$3 version=$4 name=$5 out=$6
here=$(cd "$(dirname "$0")" && pwd)
wixl=${TESSERA_WIXL:-wixl}

# Windows Installer compares only the first three fields (at most 255.255.65535), and wixl
# accepts any text without a word.
if ! [[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] || [ "${BASH_REMATCH[1]}" -gt 255 ] ||
  [ "${BASH_REMATCH[2]}" -gt 255 ] || [ "${BASH_REMATCH[3]}" -gt 65535 ]; then
  echo "build-msi: version '$version' is not MAJOR.MINOR.BUILD within 255.255.65535" >&2
  exit 2
fi
for file in "$exe" "$manifests/chromium.json" "$manifests/firefox.json" "$license"; do
  [ -f "$file" ] || { echo "build-msi: missing $file" >&2; exit 2; }
done
mkdir -p "$out"
out=$(cd "$out" && pwd)

# wixl finds sources only by paths relative to its working folder: stage them in one.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$exe" "$stage/tessera-smartcard.exe"
cp "$manifests/chromium.json" "$manifests/firefox.json" "$stage/"
cp "$license" "$stage/LICENSE"
cd "$stage"
for scope in machine user; do
  msi="$out/tessera-smartcard-$version-x64-$scope.msi"
  "$wixl" -a x64 -D "Version=$version" -D "HostName=$name" -o "$msi" "$here/host-$scope.wxs"
  echo "build-msi: $msi"
done
