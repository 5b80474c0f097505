#!/usr/bin/env bash
# The per-user registration script against a scratch HOME: every browser's folder gets a valid
# manifest naming a private copy of the binary, bad IDs write nothing, a second run is harmless,
# and uninstall removes exactly what install wrote.
set -euo pipefail
host_binary=$1
here=$(cd "$(dirname "$0")" && pwd)
script="$here/../unix/install.sh"
command -v node >/dev/null || { echo "node missing"; exit 77; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export HOME="$scratch/home with space"
unset XDG_CONFIG_HOME XDG_DATA_HOME
mkdir -p "$HOME"
name=org.tessera.smartcard
id1=abcdefghijklmnopabcdefghijklmnop
id2=ponmlkjihgfedcbaponmlkjihgfedcba
fxid=demo@tessera-smartcard.example
chromium_dirs=(
  "$HOME/.config/google-chrome/NativeMessagingHosts"
  "$HOME/.config/chromium/NativeMessagingHosts"
  "$HOME/.config/microsoft-edge/NativeMessagingHosts"
  "$HOME/.config/BraveSoftware/Brave-Browser/NativeMessagingHosts"
)
firefox_dir="$HOME/.mozilla/native-messaging-hosts"
profile="$scratch/profile"
failures=0
check() {  # description, command...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
listing() { (cd "$HOME" && find . -mindepth 1 | sort); }

# Bad input writes nothing at all.
for bad in "--chrome-id ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP" "--chrome-id abc" "--firefox-id no-at-sign" \
           "--name Org.Tessera --chrome-id $id1"; do
  # shellcheck disable=SC2086
  if bash "$script" --host "$host_binary" $bad >/dev/null 2>&1; then
    echo "FAILED: accepted '$bad'"; failures=$((failures + 1))
  else
    echo "ok: refused '$bad'"
  fi
done
check "refusals left HOME empty" test -z "$(listing)"

# A foreign manifest in one of the folders must survive our uninstall.
mkdir -p "${chromium_dirs[1]}"
echo '{}' > "${chromium_dirs[1]}/com.example.other.json"

for run in 1 2; do
  bash "$script" --host "$host_binary" --chrome-id "$id1" --chrome-id "chrome-extension://$id2/" \
    --firefox-id "$fxid" --profile-dir "$profile" >/dev/null
  private="$HOME/.local/share/tessera-smartcard/tessera-smartcard"
  check "run $run: private copy of the binary" cmp -s "$host_binary" "$private"
  for dir in "${chromium_dirs[@]}" "$profile/NativeMessagingHosts"; do
    check "run $run: $dir" node "$here/check_manifest.mjs" "$dir/$name.json" chromium "$name" \
      "chrome-extension://$id1/,chrome-extension://$id2/"
    check "run $run: path is the private copy" \
      test "$(node -e 'console.log(JSON.parse(require("fs").readFileSync(process.argv[1])).path)' \
              "$dir/$name.json")" = "$private"
  done
  check "run $run: firefox" node "$here/check_manifest.mjs" "$firefox_dir/$name.json" firefox \
    "$name" "$fxid"
done

# Only the browsers asked for.
bash "$script" --uninstall --profile-dir "$profile" >/dev/null
bash "$script" --host "$host_binary" --no-copy --browsers chromium,firefox --chrome-id "$id1" \
  --firefox-id "$fxid" >/dev/null
check "--browsers: chromium written" test -f "${chromium_dirs[1]}/$name.json"
check "--browsers: chrome not written" test ! -e "${chromium_dirs[0]}/$name.json"
check "--no-copy: no private copy" test ! -e "$HOME/.local/share/tessera-smartcard"
check "--no-copy: manifest names the given binary" \
  node "$here/check_manifest.mjs" "${chromium_dirs[1]}/$name.json" chromium "$name" \
  "chrome-extension://$id1/"

# Without IDs: the project's own extension, as extension/ids.json names it.
bash "$script" --uninstall >/dev/null
bash "$script" --host "$host_binary" --no-copy --browsers chromium,firefox >/dev/null
ids="$here/../../extension/ids.json"
check "no IDs: chromium admits the project's extension" \
  node "$here/check_manifest.mjs" "${chromium_dirs[1]}/$name.json" chromium "$name" \
  "chrome-extension://$(node -p 'require(process.argv[1]).chrome' "$ids")/"
check "no IDs: firefox admits the project's extension" \
  node "$here/check_manifest.mjs" "$firefox_dir/$name.json" firefox "$name" \
  "$(node -p 'require(process.argv[1]).firefox' "$ids")"

# Without --host: the binary is found in a checkout's build (README's per-user line, run as the
# README gives it) and in an installed tree (the package's /usr/share/tessera-smartcard/install.sh).
checkout="$scratch/checkout"
mkdir -p "$checkout/packaging/unix" "$checkout/build/native"
cp -p "$script" "$checkout/packaging/unix/"
cp -r "$here/../manifests" "$checkout/packaging/"
cp -p "$host_binary" "$checkout/build/native/tessera-smartcard"
prefix="$scratch/prefix"
mkdir -p "$prefix/share/tessera-smartcard" "$prefix/bin"
cp -p "$script" "$prefix/share/tessera-smartcard/"
cp -r "$here/../manifests" "$prefix/share/tessera-smartcard/"
cp -p "$host_binary" "$prefix/bin/tessera-smartcard"
readme_line=$(sed -n 's/^ *\(packaging\/unix\/install\.sh .*\)$/\1/p' "$here/../../README.md" | head -1)
check "README has the per-user line" test -n "$readme_line"
read -ra readme_words <<< "$readme_line"
while IFS='|' read -r layout dir host_seen; do
  bash "$script" --uninstall >/dev/null
  if [ "$layout" = checkout ]; then
    (cd "$dir" && "${readme_words[@]}" --no-copy) >/dev/null 2>&1 || true
  else
    "$dir/share/tessera-smartcard/install.sh" --no-copy >/dev/null 2>&1 || true
  fi
  check "$layout: finds its binary" \
    node "$here/check_manifest.mjs" "${chromium_dirs[1]}/$name.json" chromium "$name" \
    "chrome-extension://$(node -p 'require(process.argv[1]).chrome' "$ids")/"
  check "$layout: manifest names $host_seen" \
    test "$(node -e 'console.log(JSON.parse(require("fs").readFileSync(process.argv[1])).path)' \
            "${chromium_dirs[1]}/$name.json")" = "$host_seen"
done <<EOF
checkout|$checkout|$checkout/build/native/tessera-smartcard
installed|$prefix|$prefix/bin/tessera-smartcard
EOF

bash "$script" --uninstall >/dev/null
check "uninstall keeps the foreign manifest" test -f "${chromium_dirs[1]}/com.example.other.json"
rm "${chromium_dirs[1]}/com.example.other.json"
rmdir -p "${chromium_dirs[1]}" 2>/dev/null || true
left=$(listing | grep -v -x -e ./.config -e ./.local -e ./.local/share || true)
check "uninstall leaves nothing of ours" test -z "$left"
[ -z "$left" ] || echo "$left"
check "profile manifest removed" test ! -e "$profile/NativeMessagingHosts/$name.json"

echo "user install: $failures failure(s)"
[ "$failures" -eq 0 ]
