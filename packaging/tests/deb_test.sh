#!/usr/bin/env bash
# Builds the .deb from a separate build tree configured with extension IDs, checks
# `cmake --install` into a staging folder, then installs the package for real (root only),
# checks that every file lands and every manifest is one a browser accepts, purges it and checks
# that nothing is left.
set -euo pipefail
source_dir=$1
here=$(cd "$(dirname "$0")" && pwd)
[ "$(id -u)" = 0 ] || { echo "needs root for dpkg -i"; exit 77; }
for tool in dpkg dpkg-deb cpack node file; do
  command -v "$tool" >/dev/null || { echo "$tool missing"; exit 77; }
done
if dpkg-query -W -f='${Status}' tessera-smartcard 2>/dev/null | grep -q "install ok installed"; then
  echo "tessera-smartcard is already installed on this machine; not touching it"
  exit 1
fi

scratch=$(mktemp -d)
installed_by_us=0
cleanup() {
  # A run that stops half-way must not leave the package on the machine.
  if [ "$installed_by_us" = 1 ] && dpkg-query -W tessera-smartcard >/dev/null 2>&1; then
    dpkg --purge tessera-smartcard >/dev/null 2>&1 || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
name=org.tessera.smartcard
ids="abcdefghijklmnopabcdefghijklmnop;ponmlkjihgfedcbaponmlkjihgfedcba"
origins="chrome-extension://abcdefghijklmnopabcdefghijklmnop/,chrome-extension://ponmlkjihgfedcbaponmlkjihgfedcba/"
fxid="demo@tessera-smartcard.example"
chromium_dirs=(/etc/opt/chrome/native-messaging-hosts /etc/chromium/native-messaging-hosts
               /etc/opt/edge/native-messaging-hosts /etc/opt/brave.com/brave/native-messaging-hosts)
firefox_dir=/usr/lib/mozilla/native-messaging-hosts
failures=0
check() {
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
manifest_path() { node -e 'console.log(JSON.parse(require("fs").readFileSync(process.argv[1])).path)' "$1"; }

build="$scratch/build"
# No optimisation and only the host is built (installing and CPack would build everything):
# this checks what lands where, and compiling fast matters more here.
cmake -S "$source_dir" -B "$build" -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
  "-DTESSERA_CHROME_EXTENSION_IDS=$ids" "-DTESSERA_FIREFOX_EXTENSION_IDS=$fxid" >/dev/null
cmake --build "$build" --target tessera-smartcard -j2 >/dev/null

# cmake --install into a staging folder: the manifests name the binary under the chosen prefix.
stage="$scratch/stage"
DESTDIR="$stage" cmake --install "$build" --prefix /opt/tessera >/dev/null
check "install: binary under the prefix" test -x "$stage/opt/tessera/bin/tessera-smartcard"
for dir in "${chromium_dirs[@]}" "$firefox_dir"; do
  check "install: manifest in $dir" test -f "$stage$dir/$name.json"
  if [ -f "$stage$dir/$name.json" ]; then
    check "install: $dir names /opt/tessera/bin/tessera-smartcard" \
      test "$(manifest_path "$stage$dir/$name.json")" = /opt/tessera/bin/tessera-smartcard
  fi
done
check "install: per-user script shipped" test -x "$stage/opt/tessera/share/tessera-smartcard/install.sh"

(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/tessera-smartcard_*.deb)
echo "package: $(basename "$deb")"
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\.||' | sort > "$scratch/contents"
check "package version is the project's" \
  test "$(dpkg-deb -f "$deb" Version)" = "$(sed -n 's/^project(tessera-smartcard VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")"
check "package depends on libpcsclite" sh -c "dpkg-deb -f '$deb' Depends | grep -q libpcsclite"

# Remember which folders exist now, to check that purging takes away only what it brought.
before="$scratch/before"
for dir in "${chromium_dirs[@]}" "$firefox_dir" /usr/share/tessera-smartcard; do
  [ -d "$dir" ] && echo "$dir"
done > "$before" || true

installed_by_us=1
dpkg -i "$deb" >/dev/null
check "binary installed" test -x /usr/bin/tessera-smartcard
check "binary stripped" sh -c "file -b /usr/bin/tessera-smartcard | grep -q ', stripped'"
check "licence is the copyright file" \
  cmp "$source_dir/LICENSE" /usr/share/doc/tessera-smartcard/copyright
for dir in "${chromium_dirs[@]}"; do
  check "$dir manifest" node "$here/check_manifest.mjs" "$dir/$name.json" chromium "$name" "$origins"
  check "$dir names /usr/bin/tessera-smartcard" \
    test "$(manifest_path "$dir/$name.json")" = /usr/bin/tessera-smartcard
done
check "$firefox_dir names /usr/bin/tessera-smartcard" \
  test "$(manifest_path "$firefox_dir/$name.json")" = /usr/bin/tessera-smartcard
check "$firefox_dir manifest" \
  node "$here/check_manifest.mjs" "$firefox_dir/$name.json" firefox "$name" "$fxid"
check "every packaged file is on disk" \
  sh -c "grep -v '/\$' '$scratch/contents' | while read -r f; do [ -e \"\$f\" ] || { echo \"missing \$f\"; exit 1; }; done"
# The installed host starts, finds its libraries and ends cleanly at end of input.
check "installed host runs and ends at end of input" sh -c '/usr/bin/tessera-smartcard </dev/null'

dpkg --purge tessera-smartcard >/dev/null
check "package gone" sh -c "! dpkg-query -W -f='\${Status}' tessera-smartcard 2>/dev/null | grep -q 'install ok installed'"
check "no packaged file left" \
  sh -c "grep -v '/\$' '$scratch/contents' | while read -r f; do [ ! -e \"\$f\" ] || { echo \"left \$f\"; exit 1; }; done"
for dir in "${chromium_dirs[@]}" "$firefox_dir" /usr/share/tessera-smartcard; do
  if ! grep -qx "$dir" "$before"; then
    check "$dir removed with the package" test ! -e "$dir"
  fi
done

echo "deb: $failures failure(s)"
[ "$failures" -eq 0 ]
