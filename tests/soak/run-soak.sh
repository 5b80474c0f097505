#!/usr/bin/env bash
# The long soak whose figures docs/robustness.md records: one million mixed requests through the
# fake-service host with peak RSS at 10% and at the end, then 20 000 under valgrind memcheck.
# Usage: tests/soak/run-soak.sh [BUILD_DIR] (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
cmake --build "$build" --target soak_driver tessera-smartcard-fake >/dev/null
echo "== 1 000 000 mixed requests"
"$build/tests/soak/soak_driver" "$build/tests/fake/tessera-smartcard-fake" 1000000
echo "== 20 000 mixed requests under valgrind memcheck"
time "$root/tests/soak/run-valgrind.sh" valgrind "$build/tests/soak/soak_driver" \
  "$build/tests/fake/tessera-smartcard-fake" 20000 "$build/soak-valgrind"
