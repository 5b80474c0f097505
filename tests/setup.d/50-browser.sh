#!/usr/bin/env bash
# npm packages of the browser test (playwright-core drives Debian's chromium; it downloads no
# browser), installed from the committed lock file into tests/browser/node_modules.
set -euo pipefail
cd "$(dirname "$0")/../browser"
if ! command -v npm >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends npm >/dev/null
fi
wanted=$(node -p 'require("./package-lock.json").packages["node_modules/playwright-core"].version')
have=$(node -p 'try { require("./node_modules/playwright-core/package.json").version } catch { "" }')
if [ "$wanted" != "$have" ]; then
  PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error
fi
echo "browser test: playwright-core $wanted"
