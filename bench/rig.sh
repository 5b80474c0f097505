#!/usr/bin/env bash
# Benchmark (e): the host against a direct pcsc-lite client, both talking to the project's test
# rig (tests/integration/run-in-rig.sh: a private pcscd with vpcd readers, in private mount,
# network and PID namespaces) with a virtual card (tessera-vcard) in the first reader.
# Needs root or user namespaces.
#
#   bench/rig.sh BUILD_DIR [tessera-bench-rig options]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "$1" && pwd)
shift

exec tests/integration/run-in-rig.sh --show-log -- bash -c '
  set -euo pipefail
  build=$1
  shift
  log="$TESSERA_RIG_DIR/vcard.log"
  "$build/tests/integration/tessera-vcard" --reader 0 --quiet >"$log" 2>&1 &
  # Bounded wait until the card is in the reader.
  for _ in $(seq 100); do
    grep -q inserted "$log" && break
    sleep 0.05
  done
  grep -q inserted "$log" || { echo "rig.sh: the virtual card did not come up" >&2; exit 1; }
  "$build/bench/tessera-bench-rig" "$build/native/tessera-smartcard" "$TESSERA_READER_0" \
    --echo "$build/bench/tessera-bench-echo" \
    --list-floor "$build/bench/tessera-bench-list-floor" "$@"
' rig-bench "$build" "$@"
