#!/usr/bin/env bash
# npm packages of the browser tests, installed from the committed lock file into
# tests/browser/node_modules: playwright-core drives Debian's chromium, puppeteer-core drives
# firefox-esr over WebDriver BiDi. Neither downloads a browser.
set -euo pipefail
here="$(dirname "$0")/.."
echo "browser tests:" $(bash "$here/npm-ci-if-stale.sh" "$here/browser" playwright-core puppeteer-core)
