#!/usr/bin/env bash
# npm packages of the PowerShell parse check, installed from the committed lock file into
# tests/windows/ps1-parse/node_modules. tree-sitter compiles a native binding (python3, make, g++);
# one built for another Node version does not load, so it is built again.
set -euo pipefail
here="$(dirname "$0")/.."
echo "ps1 parse check:" $(bash "$here/npm-ci-if-stale.sh" "$here/windows/ps1-parse" \
  tree-sitter tree-sitter-powershell -- \
  "await import('tree-sitter'); await import('tree-sitter-powershell/bindings/node/index.js')")
