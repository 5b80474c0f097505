#!/usr/bin/env bash
# Runs one command beside a private pcsc-lite daemon with two virtual (vpcd) readers.
#
#   run-in-rig.sh [options] [--] COMMAND [ARG...]
#
# The command runs in private mount, network and PID namespaces: /run/pcscd is a private tmpfs,
# loopback is the only network, and when the command ends every process started in the rig,
# pcscd included, is stopped. The exit status is the command's (125 when the rig cannot start).
#
# Options:
#   --no-pcscd        start no daemon at all: the command sees no smart-card service
#   --port N          TCP port of the first virtual reader (default 40000); the second is N+1
#   --name TEXT       friendly name of the readers (default "Tessera Reader")
#   --debug           run pcscd with -d (its log goes to $TESSERA_PCSCD_LOG)
#   --log FILE        write pcscd's output to FILE (default: in the rig's own temporary folder)
#   --show-log        print pcscd's log on standard error when the command fails
#   --private-tmp     give the command a private, empty /tmp (wine keeps its server socket in
#                     /tmp/.wine-UID, so rigs running wine at once must not share /tmp)
#
# Environment given to the command:
#   TESSERA_RIG=1, TESSERA_RIG_PCSCD=running|none, TESSERA_RIG_DIR (private temporary folder),
#   TESSERA_READER_COUNT=2, TESSERA_READER_0/1 (reader names as pcscd reports them),
#   TESSERA_VPCD_HOST=127.0.0.1, TESSERA_VPCD_PORT_0/1 (ports a virtual card connects to),
#   TESSERA_PCSCD_LOG (pcscd's output), TESSERA_PCSCD_PID.
set -euo pipefail

usage() {
  sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

inside=0
if [ "${1:-}" = "--rig-inside" ]; then
  inside=1
  shift
fi

with_pcscd=1
port=40000
name="Tessera Reader"
debug=0
log=""
show_log=0
private_tmp=0
args=("$@")
while [ $# -gt 0 ]; do
  case "$1" in
    --no-pcscd) with_pcscd=0 ;;
    --port) port="$2"; shift ;;
    --name) name="$2"; shift ;;
    --debug) debug=1 ;;
    --log) log="$2"; shift ;;
    --show-log) show_log=1 ;;
    --private-tmp) private_tmp=1 ;;
    -h | --help) usage ;;
    --) shift; break ;;
    -*) echo "run-in-rig: unknown option $1" >&2; usage ;;
    *) break ;;
  esac
  shift
done
[ $# -gt 0 ] || usage
case "$port" in
  '' | *[!0-9]*) echo "run-in-rig: bad port $port" >&2; exit 2 ;;
esac

# Outside: enter fresh namespaces and run this script again as their first process. PID 1 of a
# PID namespace takes every process of the namespace with it when it ends, so nothing outlives
# the rig, whatever the command leaves running.
if [ "$inside" = 0 ]; then
  userns=()
  [ "$(id -u)" = 0 ] || userns=(--user --map-root-user)
  exec unshare "${userns[@]}" --mount --net --pid --fork --mount-proc --propagation private \
    -- bash "$0" --rig-inside "${args[@]}"
fi

fail() {
  echo "run-in-rig: $*" >&2
  exit 125
}

if [ "$private_tmp" = 1 ]; then
  mount -t tmpfs -o mode=1777 tmpfs /tmp || fail "cannot mount a private /tmp"
fi
rig_dir=$(mktemp -d /tmp/tessera-rig.XXXXXX)
conf_dir="$rig_dir/reader.conf.d"
mkdir "$conf_dir"
[ -n "$log" ] || log="$rig_dir/pcscd.log"
: >"$log"

pcscd_pid=""
stop_everything() {
  # pcscd first, politely, so that it cleans up; then whatever else is left in the namespace.
  if [ -n "$pcscd_pid" ] && kill -0 "$pcscd_pid" 2>/dev/null; then
    kill -TERM "$pcscd_pid" 2>/dev/null || true
    for _ in $(seq 1 50); do
      kill -0 "$pcscd_pid" 2>/dev/null || break
      sleep 0.05
    done
    kill -KILL "$pcscd_pid" 2>/dev/null || true
  fi
  kill -TERM -1 2>/dev/null || true
  sleep 0.1
  kill -KILL -1 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$rig_dir"
}
trap stop_everything EXIT
# As PID 1 the shell would ignore these without a handler; end the command and clean up instead.
trap 'exit 130' INT
trap 'exit 143' TERM

ip link set lo up || fail "cannot bring up loopback"
mkdir -p /run/pcscd
mount -t tmpfs -o mode=0755 tmpfs /run/pcscd || fail "cannot mount a private /run/pcscd"

export TESSERA_RIG=1
export TESSERA_RIG_DIR="$rig_dir"
export TESSERA_PCSCD_LOG="$log"
export TESSERA_VPCD_HOST=127.0.0.1
export TESSERA_READER_COUNT=2
export TESSERA_READER_0="$name 00 00"
export TESSERA_READER_1="$name 00 01"
export TESSERA_VPCD_PORT_0="$port"
export TESSERA_VPCD_PORT_1="$((port + 1))"

# True when the TCP port is listening in this namespace.
port_listens() {
  local hex
  hex=$(printf '%04X' "$1")
  awk -v p=":$hex" 'NR > 1 && $4 == "0A" && substr($2, length($2) - 4) == p { found = 1 }
    END { exit !found }' /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

if [ "$with_pcscd" = 1 ]; then
  channel=$(printf '0x%X' "$port")
  cat >"$conf_dir/vpcd" <<EOF
FRIENDLYNAME "$name"
DEVICENAME   /dev/null:$channel
LIBPATH      /usr/lib/pcsc/drivers/serial/libifdvpcd.so
CHANNELID    $channel
EOF
  pcscd_args=(--foreground -c "$conf_dir")
  [ "$debug" = 1 ] && pcscd_args+=(--debug)
  pcscd "${pcscd_args[@]}" >>"$log" 2>&1 </dev/null &
  pcscd_pid=$!
  # Serving means: the socket is there and both virtual readers listen for their cards.
  ready=0
  for _ in $(seq 1 200); do
    kill -0 "$pcscd_pid" 2>/dev/null || break
    if [ -S /run/pcscd/pcscd.comm ] && port_listens "$port" && port_listens "$((port + 1))"; then
      ready=1
      break
    fi
    sleep 0.05
  done
  if [ "$ready" != 1 ]; then
    cat "$log" >&2
    fail "pcscd did not start serving within 10 s"
  fi
  export TESSERA_RIG_PCSCD=running
  export TESSERA_PCSCD_PID="$pcscd_pid"
else
  export TESSERA_RIG_PCSCD=none
  export TESSERA_PCSCD_PID=""
fi

status=0
"$@" || status=$?
if [ "$status" != 0 ] && [ "$show_log" = 1 ] && [ -s "$log" ]; then
  echo "run-in-rig: pcscd log follows" >&2
  cat "$log" >&2
fi
exit "$status"
