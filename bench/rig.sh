#!/usr/bin/env bash
# Benchmark (e): the host against a direct pcsc-lite client, both talking to a private pcscd with
# one vpcd reader that holds a virtual card. Needs root (or user namespaces); everything runs in
# private mount and network namespaces, so the machine's own pcscd, if any, is never touched.
#
#   bench/rig.sh BUILD_DIR [tessera-bench-rig options]
set -euo pipefail

if [ "${1:-}" != "--inside" ]; then
  userns=()
  [ "$(id -u)" = 0 ] || userns=(--user --map-root-user)
  exec unshare "${userns[@]}" --mount --net --propagation private -- bash "$0" --inside "$@"
fi
shift
build=$(cd "$1" && pwd)
shift

ip link set lo up
work=$(mktemp -d /tmp/tessera-bench-rig.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p /run/pcscd "$work/conf"
mount -t tmpfs tmpfs /run/pcscd
cat >"$work/conf/vpcd" <<'CONF'
FRIENDLYNAME "Bench Reader"
DEVICENAME   /dev/null:0x9C40
LIBPATH      /usr/lib/pcsc/drivers/serial/libifdvpcd.so
CHANNELID    0x9C40
CONF
pcscd -f -c "$work/conf" >"$work/pcscd.log" 2>&1 &
pids+=($!)
"$build/bench/tessera-bench-vcard" 40000 600 &
pids+=($!)

# Wait (bounded) until the daemon reports the reader with the card in it.
for _ in $(seq 100); do
  [ -S /run/pcscd/pcscd.comm ] && break
  sleep 0.1
done
[ -S /run/pcscd/pcscd.comm ] || { cat "$work/pcscd.log" >&2; exit 1; }
sleep 1

"$build/bench/tessera-bench-rig" "$build/native/tessera-smartcard" "Bench Reader 00 00" "$@"
