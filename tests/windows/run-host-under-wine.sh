#!/usr/bin/env bash
# Starts the Windows host under wine as a browser would start the native one: standard input and
# output are the host's, the exit status is the host's.
#
#   run-host-under-wine.sh EXE [ARG...]
#
# With TESSERA_BRIDGE_HELPER set, the bridge helper is started first and the winscard.dll beside
# EXE (ours) forwards every PC/SC call to it, and so to pcsc-lite; without it wine's own winscard
# is used. Needs WINEPREFIX (a prefix made by wine-prefix.sh) and TESSERA_WINE64.
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 EXE [ARG...]" >&2; exit 2; }
exe=$1
shift
: "${WINEPREFIX:?run-host-under-wine: set WINEPREFIX}"
: "${TESSERA_WINE64:?run-host-under-wine: set TESSERA_WINE64}"
export WINEDEBUG=-all

# Inside the rig (private mount, network and PID namespaces) a wineserver from outside must not be
# used: it would make the DLL's sockets in the wrong network namespace and signal process ids of
# the wrong PID namespace. Debian's wine keeps the server's socket in the /tmp folder that
# $WINEPREFIX/wineserver names (upstream wine in /tmp/.wine-UID); private, empty mounts there give
# this rig its own wineserver, which ends with the rig.
if [ "${TESSERA_RIG:-}" = 1 ]; then
  socket_dirs=("/tmp/.wine-$(id -u)")
  if [ -r "$WINEPREFIX/wineserver" ]; then
    name=$(head -c 64 "$WINEPREFIX/wineserver")
    case "$name" in
      wine-*) socket_dirs+=("/tmp/${name//\//}") ;;
    esac
  fi
  for dir in "${socket_dirs[@]}"; do
    mkdir -p "$dir"
    mountpoint -q "$dir" || mount -t tmpfs -o mode=0700 tmpfs "$dir"
  done
fi

if [ -n "${TESSERA_BRIDGE_HELPER:-}" ]; then
  # The helper prints its port, then serves the one connection the DLL makes, and ends with it.
  exec 3< <(exec "$TESSERA_BRIDGE_HELPER" </dev/null)
  port=""
  read -r -t 10 port <&3 || true
  exec 3<&-
  case "$port" in
    '' | *[!0-9]*) echo "run-host-under-wine: the bridge helper did not start" >&2; exit 125 ;;
  esac
  export TESSERA_BRIDGE_PORT=$port
  export WINEDLLOVERRIDES="winscard=n;mscoree,mshtml="
else
  export WINEDLLOVERRIDES="winscard=b;mscoree,mshtml="
fi
# Wine starts service processes that outlive the host; they must not hold the caller's error
# output open. The host writes nothing there.
exec "$TESSERA_WINE64" "$exe" "$@" 2>/dev/null
