#!/usr/bin/env bash
# Builds the extension from extension/ and the client module in client/:
#   build.sh [--unpacked DIR] [OUTDIR]
# OUTDIR (default build/extension) gets tessera-smartcard-VERSION.zip for Chrome, Edge, Brave and
# Chromium, and tessera-smartcard-VERSION.xpi for Firefox, with the unpacked tree beside them.
# --unpacked DIR only assembles the unpacked extension in DIR (what the tests load).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
unpacked_only=""
if [ "${1:-}" = "--unpacked" ]; then
  unpacked_only=${2:?--unpacked needs a folder}
  shift 2
fi

assemble() {
  local dest=$1
  rm -rf "$dest"
  mkdir -p "$dest/lib"
  cp "$here"/{manifest.json,managed-schema.json,background.js,checks.js,origins.js,content.js,page.js} "$dest/"
  cp "$here"/{grant.html,grant.js,options.html,options.js} "$dest/"
  # The same Web Smart Card module extension authors use, with what it imports.
  # (node-port.js is for Node only.)
  [ -f "$root/client/web-smart-card.js" ] || { echo "build.sh: client/web-smart-card.js missing" >&2; exit 1; }
  for f in "$root"/client/*.js; do
    [ "$(basename "$f")" = node-port.js ] || cp "$f" "$dest/lib/"
  done
}

if [ -n "$unpacked_only" ]; then
  assemble "$unpacked_only"
  exit 0
fi

out=$(mkdir -p "${1:-$root/build/extension}" && cd "${1:-$root/build/extension}" && pwd)
version=$(sed -n 's/^ *"version": *"\([^"]*\)".*/\1/p' "$here/manifest.json")
assemble "$out/unpacked"
rm -f "$out/tessera-smartcard-$version.zip" "$out/tessera-smartcard-$version.xpi"
# Same tree for both: Chrome ignores browser_specific_settings and background.scripts, Firefox
# ignores the key. -X: no extra file attributes; files in a fixed order.
(cd "$out/unpacked" && find . -type f | LC_ALL=C sort | TZ=UTC zip -q -X -D "$out/tessera-smartcard-$version.zip" -@)
cp "$out/tessera-smartcard-$version.zip" "$out/tessera-smartcard-$version.xpi"
id_of() { sed -n "s/^ *\"$1\": *\"\([^\"]*\)\".*/\1/p" "$here/ids.json"; }
echo "$out/tessera-smartcard-$version.zip (Chrome family, ID $(id_of chrome))"
echo "$out/tessera-smartcard-$version.xpi (Firefox, ID $(id_of firefox))"
