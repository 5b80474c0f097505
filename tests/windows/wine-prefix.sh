#!/usr/bin/env bash
# The wine prefix that the Windows tests share: made once per build tree (about 5-15 s), with a
# wineserver kept alive for it so that each start of the host takes tens of milliseconds.
#
#   wine-prefix.sh start PREFIX    make the prefix if needed, start a lingering wineserver
#   wine-prefix.sh stop PREFIX     stop that wineserver
#
# TESSERA_WINE64 and TESSERA_WINESERVER name the programs (default: Debian's /usr/lib/wine).
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 start|stop PREFIX" >&2; exit 2; }
action=$1
export WINEPREFIX=$2
export WINEDEBUG=-all
# No Mono or Gecko installer prompts: the host needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
wine64=${TESSERA_WINE64:-/usr/lib/wine/wine64}
wineserver=${TESSERA_WINESERVER:-/usr/lib/wine/wineserver}

case "$action" in
  start)
    mkdir -p "$(dirname "$WINEPREFIX")"
    exec 9>"$WINEPREFIX.lock"
    flock -w 300 9 || { echo "wine-prefix: another run holds $WINEPREFIX.lock" >&2; exit 1; }
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      started=$(date +%s)
      timeout 300 "$wine64" wineboot -i </dev/null >/dev/null 2>&1 || true
      timeout 60 "$wineserver" -w || true
      [ -f "$WINEPREFIX/system.reg" ] || { echo "wine-prefix: wineboot made no prefix" >&2; exit 1; }
      echo "wine-prefix: made $WINEPREFIX in $(($(date +%s) - started)) s"
    fi
    # Lingers ten minutes after its last client, so that it never outlives a run by much even
    # when stop is not reached.
    "$wineserver" -p600 </dev/null >/dev/null 2>&1 9>&- || true
    echo "wine-prefix: wineserver running for $WINEPREFIX"
    ;;
  stop)
    "$wineserver" -k </dev/null >/dev/null 2>&1 || true
    ;;
  *)
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
    ;;
esac
