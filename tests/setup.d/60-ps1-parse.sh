#!/usr/bin/env bash
# npm packages of the PowerShell parse check, installed from the committed lock file into
# tests/windows/ps1-parse/node_modules. tree-sitter compiles a native binding (python3, make, g++).
set -euo pipefail
cd "$(dirname "$0")/../windows/ps1-parse"
if ! command -v npm >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends npm >/dev/null
fi
version() { node -p "try { require('$1').packages ? require('$1').packages['node_modules/$2'].version : require('$1').version } catch { '' }"; }
stale=0
for module in tree-sitter tree-sitter-powershell; do
  [ "$(version ./package-lock.json "$module")" = "$(version "./node_modules/$module/package.json" "$module")" ] || stale=1
done
# A binding built for another Node version does not load: build again.
node --input-type=module -e "await import('tree-sitter');
  await import('tree-sitter-powershell/bindings/node/index.js')" 2>/dev/null || stale=1
if [ "$stale" = 1 ]; then
  npm ci --no-audit --no-fund --loglevel=error
fi
echo "ps1 parse check: tree-sitter $(version ./package-lock.json tree-sitter)," \
  "tree-sitter-powershell $(version ./package-lock.json tree-sitter-powershell)"
