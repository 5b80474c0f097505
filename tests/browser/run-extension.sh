#!/usr/bin/env bash
# Runs the extension's scenario in one browser inside a private rig (pcscd with virtual readers,
# private mounts for the browsers' policy folders).
#   run-extension.sh chromium|firefox HOST_BINARY VCARD_BINARY
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
browser=${1:?usage: run-extension.sh chromium|firefox HOST VCARD}
export TESSERA_HOST=$2 TESSERA_VCARD=$3
case "$browser" in
  chromium) binary=${TESSERA_CHROMIUM:-/usr/lib/chromium/chromium}; module=playwright-core ;;
  firefox) binary=${TESSERA_FIREFOX:-/usr/lib/firefox-esr/firefox-esr}; module=puppeteer-core ;;
  *) echo "unknown browser $browser"; exit 2 ;;
esac
[ -x "$binary" ] || { echo "no $browser at $binary (see tests/deps/browser.txt)"; exit 77; }
[ -d "$here/node_modules/$module" ] || { echo "$module missing: run tests/setup.d/50-browser.sh"; exit 77; }
exec "$here/../integration/run-in-rig.sh" --show-log -- \
  node --test --test-timeout=120000 "$here/extension-$browser.test.mjs"
