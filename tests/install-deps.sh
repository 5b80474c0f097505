#!/usr/bin/env bash
# Installs, from Debian, every package listed in tests/deps/*.txt that is not there yet; with
# arguments, only the lists named (e.g. "core rig").
set -euo pipefail
cd "$(dirname "$0")/deps"
lists=()
for name in "$@"; do lists+=("$name.txt"); done
[ ${#lists[@]} -gt 0 ] || lists=(*.txt)
wanted=$(sed -e 's/#.*//' -- "${lists[@]}" | tr -s ' \t' '\n' | sed '/^$/d' | sort -u)
missing=()
for pkg in $wanted; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
