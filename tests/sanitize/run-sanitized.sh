#!/usr/bin/env bash
# Builds the whole tree a second time with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs its test suites there: any sanitizer report, leaks included, fails the run.
# Usage: run-sanitized.sh SOURCE_DIR BUILD_DIR [ctest args...]
# Without ctest arguments it runs the unit, hostile, fuzz-replay, integration and fault suites;
# the browser, Windows and benchmark suites have their own harnesses and stay out.
set -euo pipefail
source_dir=$1 build_dir=$2
shift 2
flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
# TESSERA_SANITIZED_SUBBUILD keeps the nested build from defining this test again, and leaves out
# the libFuzzer runs and the soak, whose figures mean nothing under the sanitizers.
cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSERA_WERROR=ON \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DTESSERA_SANITIZED_SUBBUILD=ON >/dev/null
# Only what the suites below run: the benchmarks, tools and browser parts would double the time.
targets=$(cmake --build "$build_dir" --target help | tr -s ' :' '\n\n' |
  grep -xE 'unit_tests|hostile_[a-z_]+|fault_tests|fuzz_[a-z_]+_replay|integration_[a-z_]+|tessera-smartcard|tessera-smartcard-fake|tessera-vcard' |
  sort -u)
# shellcheck disable=SC2086 # one target per word
cmake --build "$build_dir" -j2 --target $targets
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS=report_objects=1
[ $# -gt 0 ] || set -- -R '^(unit|hostile|fuzz|integration|faults)\.'
ctest --test-dir "$build_dir" --output-on-failure --timeout 600 "$@"
