#!/usr/bin/env bash
# With the tree package_build.sh built: checks `cmake --install` into a staging folder, then
# installs the .deb for real (root only): every file lands, the manifests are generated from the
# allowed-extensions list and are ones a browser accepts, tessera-smartcard-register edits the
# list, an upgrade keeps it with `dpkg -V` clean, and purging leaves the machine as it was.
set -euo pipefail
source_dir=$1
build=$2
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
# The IDs package_build.sh configured.
chrome1=abcdefghijklmnopabcdefghijklmnop
chrome2=ponmlkjihgfedcbaponmlkjihgfedcba
fxid="demo@tessera-smartcard.example"
chromium_dirs=(/etc/opt/chrome/native-messaging-hosts /etc/chromium/native-messaging-hosts
               /etc/opt/edge/native-messaging-hosts /etc/opt/brave.com/brave/native-messaging-hosts)
firefox_dir=/usr/lib/mozilla/native-messaging-hosts
list=/etc/tessera-smartcard/allowed-extensions
register=/usr/sbin/tessera-smartcard-register
failures=0
check() {
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
manifest_path() { node -e 'console.log(JSON.parse(require("fs").readFileSync(process.argv[1])).path)' "$1"; }
origins_of() {  # chrome IDs -> the manifest's allowed_origins, comma-separated
  local out="" id
  for id in "$@"; do out="${out:+$out,}chrome-extension://$id/"; done
  echo "$out"
}
# Every browser's manifest admits exactly these IDs (a browser without any has no manifest).
manifests_admit() {
  local chrome=() firefox=() id dir
  for id in "$@"; do
    if [[ "$id" =~ ^[a-p]{32}$ ]]; then chrome+=("$id"); else firefox+=("$id"); fi
  done
  for dir in "${chromium_dirs[@]}"; do
    if [ ${#chrome[@]} -gt 0 ]; then
      node "$here/check_manifest.mjs" "$dir/$name.json" chromium "$name" \
        "$(origins_of "${chrome[@]}")" || return 1
    else
      [ ! -e "$dir/$name.json" ] || return 1
    fi
  done
  if [ ${#firefox[@]} -gt 0 ]; then
    node "$here/check_manifest.mjs" "$firefox_dir/$name.json" firefox "$name" \
      "$(IFS=,; echo "${firefox[*]}")"
  else
    [ ! -e "$firefox_dir/$name.json" ]
  fi
}
list_is() { test "$("$register" list | tr '\n' ' ')" = "$* "; }
# The manifest folders, their parents and ours: which exist, to compare after purging.
footprint() {
  local dir
  for dir in "${chromium_dirs[@]}" "$firefox_dir" /etc/tessera-smartcard /var/lib/tessera-smartcard \
             /usr/share/tessera-smartcard /usr/local/lib/tessera-smartcard; do
    while [ "$dir" != / ]; do
      echo "$dir $([ -e "$dir" ] && echo present || echo absent)"
      dir=$(dirname "$dir")
    done
  done | sort -u
}

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
check "install: register command shipped" test -x "$stage/opt/tessera/sbin/tessera-smartcard-register"
if [ ! -e "$list" ]; then
  check "install: before any list exists, register lists the default" test \
    "$("$stage/opt/tessera/sbin/tessera-smartcard-register" list | tr '\n' ' ')" = "$chrome1 $chrome2 $fxid "
fi

# The package, and the same at a higher version for the upgrade.
version=$(sed -n 's/^project(tessera-smartcard VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
next="${version%.*}.$((${version##*.} + 1))"
(cd "$build" && cpack -G DEB -B "$scratch/deb" >/dev/null &&
  cpack -G DEB -B "$scratch/deb-next" -D "CPACK_PACKAGE_VERSION=$next" >/dev/null)
deb=$(ls "$scratch"/deb/tessera-smartcard_*.deb)
deb_next=$(ls "$scratch"/deb-next/tessera-smartcard_*.deb)
echo "packages: $(basename "$deb") $(basename "$deb_next")"
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\.||' | sort > "$scratch/contents"
check "package version is the project's" test "$(dpkg-deb -f "$deb" Version)" = "$version"
check "upgrade package version is $next" test "$(dpkg-deb -f "$deb_next" Version)" = "$next"
check "package depends on libpcsclite" sh -c "dpkg-deb -f '$deb' Depends | grep -q libpcsclite"
check "package holds no manifest and nothing under /etc" \
  sh -c "! grep -e '\\.json\$' -e '^/etc' '$scratch/contents'"
check "package holds the register command" grep -qx "$register" "$scratch/contents"

before=$(footprint)
installed_by_us=1
dpkg -i "$deb" >/dev/null
check "binary installed" test -x /usr/bin/tessera-smartcard
check "binary stripped" sh -c "file -b /usr/bin/tessera-smartcard | grep -q ', stripped'"
check "licence is the copyright file" \
  cmp "$source_dir/LICENSE" /usr/share/doc/tessera-smartcard/copyright
check "the list starts with the configured IDs" list_is "$chrome1" "$chrome2" "$fxid"
check "manifests generated from the list" manifests_admit "$chrome1" "$chrome2" "$fxid"
for dir in "${chromium_dirs[@]}" "$firefox_dir"; do
  check "$dir names /usr/bin/tessera-smartcard" \
    test "$(manifest_path "$dir/$name.json")" = /usr/bin/tessera-smartcard
done
check "every packaged file is on disk" \
  sh -c "grep -v '/\$' '$scratch/contents' | while read -r f; do [ -e \"\$f\" ] || { echo \"missing \$f\"; exit 1; }; done"
# The installed host starts, finds its libraries and ends cleanly at end of input.
check "installed host runs and ends at end of input" sh -c '/usr/bin/tessera-smartcard </dev/null'

# install.sh --system must not put a second copy beside the package.
if /usr/share/tessera-smartcard/install.sh --system --chrome-id "$chrome1" 2>"$scratch/err" >/dev/null; then
  check "install.sh --system refused beside the package" false
else
  check "install.sh --system points to tessera-smartcard-register" \
    grep -q 'tessera-smartcard-register add' "$scratch/err"
fi
check "install.sh --system left no /usr/local copy" test ! -e /usr/local/lib/tessera-smartcard

# The register command: exit status, the list after it, and the manifests follow the list.
new1=aaaabbbbccccddddeeeeffffgggghhhh
guid="{0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0}"
while IFS='|' read -r status args after; do
  [ -n "$status" ] || continue
  rc=0
  # shellcheck disable=SC2086 # the IDs are words
  "$register" $args >/dev/null 2>&1 || rc=$?
  check "register $args: exit $status, list $after" \
    sh -c "[ $rc = $status ] && [ \"\$('$register' list | tr '\n' ' ')\" = '$after ' ]"
done <<EOF
0|add $new1|$chrome1 $chrome2 $fxid $new1
0|add $new1 chrome-extension://$new1/|$chrome1 $chrome2 $fxid $new1
0|add $guid|$chrome1 $chrome2 $fxid $new1 $guid
2|add ${new1^^}|$chrome1 $chrome2 $fxid $new1 $guid
2|add chrome-extension://$fxid/|$chrome1 $chrome2 $fxid $new1 $guid
2|add other@example.org ${new1:1}|$chrome1 $chrome2 $fxid $new1 $guid
2|add|$chrome1 $chrome2 $fxid $new1 $guid
2|remove other@example.org|$chrome1 $chrome2 $fxid $new1 $guid
0|remove $chrome2 $guid|$chrome1 $fxid $new1
0|add $chrome2|$chrome1 $fxid $new1 $chrome2
2|list $chrome1|$chrome1 $fxid $new1 $chrome2
2|frobnicate|$chrome1 $fxid $new1 $chrome2
EOF
check "manifests follow the register command" manifests_admit "$chrome1" "$fxid" "$new1" "$chrome2"
"$register" remove "$fxid" >/dev/null
check "no Firefox ID left: no Firefox manifest" manifests_admit "$chrome1" "$new1" "$chrome2"
# Edited by hand: comments and blanks are fine, a bad line changes nothing.
printf '\n  # added by hand\n%s   # trailing comment\n' "$fxid" >> "$list"
"$register" update >/dev/null
check "hand edit, update: manifests follow" manifests_admit "$chrome1" "$new1" "$chrome2" "$fxid"
cp "$list" "$scratch/good-list"
echo "not-an-id" >> "$list"
check "a bad line in the list fails update" sh -c "! '$register' update 2>/dev/null"
check "a bad line leaves the manifests as they were" \
  manifests_admit "$chrome1" "$new1" "$chrome2" "$fxid"
cp "$scratch/good-list" "$list"
check "dpkg -V clean after registering" test -z "$(dpkg -V tessera-smartcard 2>&1)"

# Upgrade: the administrator's list and its manifests stay.
dpkg -i "$deb_next" >/dev/null
check "upgraded to $next" test "$(dpkg-query -W -f='${Version}' tessera-smartcard)" = "$next"
check "upgrade keeps the list" cmp -s "$scratch/good-list" "$list"
check "upgrade: manifests from the kept list" manifests_admit "$chrome1" "$new1" "$chrome2" "$fxid"
check "dpkg -V clean after the upgrade" test -z "$(dpkg -V tessera-smartcard 2>&1)"
"$register" remove "$new1" >/dev/null
check "removing an ID after the upgrade" manifests_admit "$chrome1" "$chrome2" "$fxid"

# Remove keeps the list (as dpkg keeps configuration), purge takes everything.
dpkg -r tessera-smartcard >/dev/null
check "remove: no manifest left" manifests_admit
check "remove: the list stays" test -f "$list"
dpkg --purge tessera-smartcard >/dev/null
check "package gone" sh -c "! dpkg-query -W -f='\${Status}' tessera-smartcard 2>/dev/null | grep -q 'install ok installed'"
check "no packaged file left" \
  sh -c "grep -v '/\$' '$scratch/contents' | while read -r f; do [ ! -e \"\$f\" ] || { echo \"left \$f\"; exit 1; }; done"
after=$(footprint)
check "purge leaves the folders as they were before" test "$before" = "$after"
[ "$before" = "$after" ] || diff <(echo "$before") <(echo "$after") || true

echo "deb: $failures failure(s)"
[ "$failures" -eq 0 ]
