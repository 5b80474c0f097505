#!/usr/bin/env bash
# Builds the whole tree a second time with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs its test suites there: any sanitizer report, leaks included, fails the run.
# Usage: run-sanitized.sh SOURCE_DIR BUILD_DIR [ctest args...]
set -euo pipefail
source_dir=$1 build_dir=$2
shift 2
flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
# TESSERA_SANITIZED_SUBBUILD keeps the nested build from defining this test again, and leaves out
# the libFuzzer runs and the soak, whose figures mean nothing under the sanitizers.
cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSERA_WERROR=ON \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DTESSERA_SANITIZED_SUBBUILD=ON >/dev/null
cmake --build "$build_dir" -j2
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS=report_objects=1
ctest --test-dir "$build_dir" --output-on-failure --timeout 600 "$@"
