#!/usr/bin/env bash
# Runs one libFuzzer target for a fixed time on a private copy of its checked-in corpus, so new
# inputs never land in the source tree. Usage: run-fuzzer.sh BINARY CORPUS WORKDIR SECONDS
set -euo pipefail
binary=$1 corpus=$2 work=$3 seconds=$4
name=$(basename "$binary")
dict=$(dirname "$0")/${name#fuzz_}.dict
rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
cp "$corpus"/* "$work/corpus/"
# The host allocates exactly the buffer sizes a request asks for, up to 4 GiB, as lazily mapped
# zero pages: single mallocs may be that large, resident memory may not.
args=(-max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=4100 -timeout=30 -print_final_stats=1
      -artifact_prefix="$work/artifacts/")
[ -f "$dict" ] && args+=(-dict="$dict")
# Leaks count as failures; halt on the first error of any sanitizer.
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
status=0
"$binary" "${args[@]}" "$work/corpus" >"$work/log" 2>&1 || status=$?
grep -E '^(stat::|#[0-9]+ *DONE|Done )' "$work/log" || true
if [ "$status" -ne 0 ]; then
  tail -n 60 "$work/log"
  echo "$name failed (status $status); inputs kept in $work/artifacts"
  exit 1
fi
echo "$name: corpus grew to $(ls "$work/corpus" | wc -l) inputs"
