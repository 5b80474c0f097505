#!/usr/bin/env bash
# Puts the demo extension together in DEST, with the client library in lib/, ready for
# chrome://extensions -> "Load unpacked".   usage: assemble.sh DEST
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dest=${1:?usage: assemble.sh DEST}
mkdir -p "$dest/lib"
cp "$here/manifest.json" "$here/background.js" "$here/popup.html" "$here/popup.js" "$dest/"
cp "$here/../../client/tessera-smartcard.js" "$here/../../client/encodings.js" \
  "$here/../../client/web-smart-card.js" "$dest/lib/"
echo "$dest (extension ID $(cat "$here/extension-id.txt"))"
