#!/usr/bin/env bash
# Installs a folder's npm packages from its committed lock file, unless node_modules already holds
# the locked versions of the named modules. Installs npm from Debian when it is missing.
# Usage: npm-ci-if-stale.sh DIR MODULE... [-- CHECK_SCRIPT]
# CHECK_SCRIPT, an ES module run with node in DIR, must succeed too (a native binding that loads).
set -euo pipefail
cd "$1"
shift
modules=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do modules+=("$1"); shift; done
check=${2:-}
if ! command -v npm >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends npm >/dev/null
fi
version() { node -p "try { require('$1').packages ? require('$1').packages['node_modules/$2'].version : require('$1').version } catch { '' }"; }
stale=0
for module in "${modules[@]}"; do
  [ "$(version ./package-lock.json "$module")" = "$(version "./node_modules/$module/package.json" "$module")" ] || stale=1
done
if [ -n "$check" ] && ! node --input-type=module -e "$check" 2>/dev/null; then stale=1; fi
if [ "$stale" = 1 ]; then
  PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error
fi
for module in "${modules[@]}"; do printf '%s %s\n' "$module" "$(version ./package-lock.json "$module")"; done
