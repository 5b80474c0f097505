#!/usr/bin/env bash
# A packager's build: the host alone, with only its runtime build dependencies. A private mount
# namespace hides the test and benchmark packages; the configure must still succeed, say what it
# left out, and the build must produce the host. Then the Windows cross build must configure with
# the defaults.
set -euo pipefail
source_dir=$1
[ "$(id -u)" = 0 ] || { echo "needs root for a mount namespace"; exit 77; }
command -v unshare >/dev/null || { echo "unshare missing"; exit 77; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

unshare -m bash -s "$source_dir" "$scratch" <<'INNER'
set -euo pipefail
src=$1 out=$2
mount --make-rprivate /
for dir in /usr/include/gtest /usr/include/gmock /usr/include/benchmark \
           /usr/lib/*/cmake/GTest /usr/lib/*/cmake/benchmark; do
  if [ -d "$dir" ]; then mount -t tmpfs none "$dir"; fi
done
failures=0
check() {
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
check "GoogleTest and Google Benchmark are hidden" \
  test ! -e /usr/include/gtest/gtest.h -a ! -e /usr/include/benchmark/benchmark.h

# CI's switch turns a missing part into a configure error.
if cmake -S "$src" -B "$out/strict" -DTESSERA_REQUIRE_ALL=ON >"$out/strict.log" 2>&1; then
  echo "FAILED: TESSERA_REQUIRE_ALL=ON configured without GoogleTest"; failures=$((failures + 1))
else
  check "TESSERA_REQUIRE_ALL=ON names the missing packages" \
    grep -q "tests cannot be built (TESSERA_REQUIRE_ALL=ON): install libgtest-dev libgmock-dev" \
    <(tr -s ' \n' '  ' <"$out/strict.log")
fi

if ! cmake -S "$src" -B "$out/host" -DCMAKE_BUILD_TYPE=Release >"$out/configure.log" 2>&1; then
  cat "$out/configure.log"; echo "FAILED: the runtime-only configure"; exit 1
fi
sed -n '/^Left out of this build/,/^Install them/p' "$out/configure.log"
check "one message lists what was left out" \
  test "$(grep -c '^Left out of this build' "$out/configure.log")" = 1
check "the message names the test packages" \
  grep -qx "  tests: libgtest-dev libgmock-dev" "$out/configure.log"
check "the message names the benchmark package" \
  grep -qx "  benchmarks (bench/): libbenchmark-dev" "$out/configure.log"
check "no raw package-not-found error" \
  bash -c "! grep -q 'Could NOT find' '$out/configure.log'"

if ! cmake --build "$out/host" -j2 >"$out/build.log" 2>&1; then
  tail -40 "$out/build.log"; echo "FAILED: the runtime-only build"; exit 1
fi
host=$(find "$out/host" -name tessera-smartcard -type f -perm -u+x | head -1)
check "tessera-smartcard is built" test -n "$host"
check "no benchmark or test program is built" \
  test -z "$(find "$out/host" -type f -perm -u+x \( -name 'tessera-bench-*' -o -name '*_tests' \))"
exit $((failures > 0))
INNER

# The cross build leaves the tests to the native build and so needs no option.
if command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  if cmake -S "$source_dir" -B "$scratch/cross" \
       -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/toolchain-mingw64.cmake" >"$scratch/cross.log" 2>&1; then
    echo "ok: the cross build configures with the defaults"
  else
    cat "$scratch/cross.log"; echo "FAILED: the cross build configures with the defaults"; exit 1
  fi
else
  echo "mingw-w64 missing: the cross configure is not checked"
fi
