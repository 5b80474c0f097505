#!/usr/bin/env bash
# Builds the host and its benchmarks in Release and prints every figure of docs/performance.md:
# micro-benchmarks (host code against the JSON library's parse of the same bodies), whole-process
# benchmarks against a frame-echo floor, and the host against a direct pcsc-lite client beside a
# private pcscd. One command on a fresh Debian machine, as root:
#
#   bash bench/run.sh [--quick] [--build DIR]
#
# --quick runs every benchmark briefly (a smoke run; the figures are then rough).
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
build=build-bench
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --build) build="$2"; shift ;;
    *) echo "usage: bench/run.sh [--quick] [--build DIR]" >&2; exit 2 ;;
  esac
  shift
done

if [ "$(id -u)" = 0 ]; then
  tests/install-deps.sh core rig
else
  echo "run.sh: not root, so Debian packages are not installed; assuming they are there" >&2
fi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target tessera-smartcard tessera-smartcard-null tessera-bench-echo \
  tessera-bench-process tessera-bench-micro tessera-bench-micro-fake tessera-bench-rig \
  tessera-bench-list-floor tessera-vcard >/dev/null

if [ "$quick" = 1 ]; then
  micro=(--benchmark_min_time=0.01 --benchmark_repetitions=1)
  process=(--rounds 1 --requests 20000 --long-requests 40000 --round-trips 2000 --starts 20)
  rig=(--calls 200 --rounds 1)
else
  micro=()
  process=()
  rig=()
fi

echo "== machine"
echo "nproc: $(nproc)"
echo "cpu: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
echo "memory: $(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "compiler: $(c++ --version | head -1)"

echo
echo "== micro-benchmarks, do-nothing service (medians)"
"$build/bench/tessera-bench-micro" "${micro[@]}" 2>/dev/null
echo
echo "== whole requests over the test fake with recording off (what the fake itself costs)"
"$build/bench/tessera-bench-micro-fake" --benchmark_filter=request "${micro[@]}" 2>/dev/null

# The tables are also kept, so that the targets can be gathered at the end.
tables=$(mktemp -d)
trap 'rm -rf "$tables"' EXIT

echo
echo "== whole process: host over the do-nothing service against the frame-echo floor (medians)"
"$build/bench/tessera-bench-process" "$build/bench/tessera-smartcard-null" \
  "$build/bench/tessera-bench-echo" "${process[@]}" 2>/dev/null | tee "$tables/process"

echo
echo "== the real host against a direct pcsc-lite client, private pcscd with a vpcd card"
if [ "$(id -u)" = 0 ] || unshare --user --map-root-user true 2>/dev/null; then
  bash bench/rig.sh "$build" "${rig[@]}" | tee "$tables/rig"
else
  echo "skipped: needs root or user namespaces"
fi
echo
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

echo
echo "== the performance targets: host against its floor, same run (medians)"
head -1 "$tables/process"
for row in '(a) throughput, 103, pipelined' '(b) round trip, 103, sequential' \
  '(c) start-up to first reply' '(d) 64 KiB transmit round trip' \
  '(e) 149 list readers vs minimal host'; do
  grep -hF -- "$row" "$tables/process" "$tables/rig" 2>/dev/null | head -1 | grep . ||
    echo "$row: not measured"
done
