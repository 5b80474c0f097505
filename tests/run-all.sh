#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test suite through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
tests/install-deps.sh
for step in tests/setup.d/*.sh; do
  [ -e "$step" ] && bash "$step"
done
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSERA_WERROR=ON -DTESSERA_REQUIRE_ALL=ON
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure --timeout 900 --no-label-summary
