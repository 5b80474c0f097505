#!/usr/bin/env bash
# npm packages of the browser tests, installed from the committed lock file into
# tests/browser/node_modules: playwright-core drives Debian's chromium, puppeteer-core drives
# firefox-esr over WebDriver BiDi. Neither downloads a browser.
set -euo pipefail
cd "$(dirname "$0")/../browser"
if ! command -v npm >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends npm >/dev/null
fi
version() { node -p "try { require('$1').packages ? require('$1').packages['node_modules/$2'].version : require('$1').version } catch { '' }"; }
stale=0
for module in playwright-core puppeteer-core; do
  [ "$(version ./package-lock.json "$module")" = "$(version "./node_modules/$module/package.json" "$module")" ] || stale=1
done
if [ "$stale" = 1 ]; then
  PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error
fi
echo "browser tests: playwright-core $(version ./package-lock.json playwright-core)," \
  "puppeteer-core $(version ./package-lock.json puppeteer-core)"
