#!/usr/bin/env bash
# The demo: on a fresh Debian machine, as root. Installs what is missing, builds the host, the
# virtual card and the talk tool, then runs a typical session (tools/demo.jsonl) against a
# private pcscd with one virtual reader and card, printing each request and reply readably.
# Nothing is left running afterwards: everything runs inside run-in-rig.sh's namespaces.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${TESSERA_BUILD_DIR:-$PWD/build}"

if [ "${1:-}" = "--inside" ]; then
  # Inside the rig: the card in the first reader, its events printed as they happen.
  card_log="$TESSERA_RIG_DIR/card.out"
  "$build/tests/integration/tessera-vcard" --reader 0 \
    > >(tee "$card_log" | sed -u 's/^/        [virtual card] /') 2>&1 &
  export TESSERA_VCARD_PID=$!
  for _ in $(seq 1 100); do
    grep -q "^inserted" "$card_log" 2>/dev/null && break
    sleep 0.05
  done
  grep -q "^inserted" "$card_log" 2>/dev/null || { cat "$card_log" >&2; exit 1; }
  sleep 0.5  # let pcscd see the card before the first request
  status=0
  "$build/tools/tessera-talk" tools/demo.jsonl || status=$?
  sleep 0.2
  kill "$TESSERA_VCARD_PID" 2>/dev/null || true
  wait "$TESSERA_VCARD_PID" 2>/dev/null || true
  echo
  echo "demo: finished with status $status; the rig now stops pcscd and the card"
  exit "$status"
fi

if [ "$(id -u)" != 0 ]; then
  echo "demo: run me as root (I install packages and make private namespaces)" >&2
  exit 1
fi
tests/install-deps.sh core rig
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target tessera-smartcard tessera-vcard tessera-talk >/dev/null
exec tests/integration/run-in-rig.sh "$PWD/tools/demo.sh" --inside
