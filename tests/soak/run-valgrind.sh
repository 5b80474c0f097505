#!/usr/bin/env bash
# Runs the fake-service host under valgrind memcheck over COUNT mixed requests; any error or leak
# fails. Usage: run-valgrind.sh VALGRIND SOAK_DRIVER HOST COUNT WORKDIR
set -euo pipefail
valgrind=$1 driver=$2 host=$3 count=$4 work=$5
mkdir -p "$work"
"$driver" --write "$work/requests" "$count"
"$valgrind" --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect,possible \
  --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=99 \
  --log-file="$work/valgrind.log" "$host" <"$work/requests" >"$work/replies"
grep -E "ERROR SUMMARY|in use at exit|total heap usage|All heap blocks|definitely|indirectly|possibly" "$work/valgrind.log"
echo "replies: $(stat -c %s "$work/replies") bytes"
