#!/usr/bin/env bash
# Runs the browser test inside a private rig (pcscd with virtual readers, private namespaces).
#   run-e2e.sh HOST_BINARY VCARD_BINARY
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export TESSERA_HOST=$1 TESSERA_VCARD=$2
browser=${TESSERA_CHROMIUM:-/usr/lib/chromium/chromium}
[ -x "$browser" ] || { echo "no browser at $browser (install Debian's chromium)"; exit 77; }
node_major=$(node -p 'process.versions.node.split(".")[0]')
[ "$node_major" -ge 20 ] || { echo "playwright-core needs node 20 or later, found $node_major"; exit 77; }
[ -d "$here/node_modules/playwright-core" ] ||
  { echo "playwright-core missing: run tests/setup.d/50-browser.sh"; exit 77; }
exec "$here/../integration/run-in-rig.sh" --show-log -- node --test "$here/e2e.test.mjs"
