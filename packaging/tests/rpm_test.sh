#!/usr/bin/env bash
# With the tree package_build.sh built: the .rpm from the same CPack configuration as the .deb,
# checked with the rpm tools (it is not installed on this Debian machine): version, licence,
# files and their flags, dependencies, a stripped binary, and what each package script does for
# rpm's install, upgrade and erase arguments.
set -euo pipefail
source_dir=$1
build=$2
for tool in rpmbuild rpm rpm2archive cpack file; do
  command -v "$tool" >/dev/null || { echo "$tool missing"; exit 77; }
done
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
check() {
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
list=/etc/tessera-smartcard/allowed-extensions
register=/usr/sbin/tessera-smartcard-register

(cd "$build" && cpack -G RPM -B "$scratch/rpm" >/dev/null)
rpm=$(ls "$scratch"/rpm/tessera-smartcard-*.rpm)
echo "package: $(basename "$rpm")"
version=$(sed -n 's/^project(tessera-smartcard VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
check "version is the project's" test "$(rpm -qp --qf '%{VERSION}' "$rpm")" = "$version"
check "licence MIT" test "$(rpm -qp --qf '%{LICENSE}' "$rpm")" = MIT

# Files: path and rpm's flags (c config, n noreplace, g ghost).
rpm -qp --qf '[%{FILENAMES} %{FILEFLAGS:fflags}\n]' "$rpm" > "$scratch/files"
while read -r file flags; do
  check "holds $file ${flags:-(no flags)}" grep -qx -- "$file $flags" "$scratch/files"
done <<TABLE
/usr/bin/tessera-smartcard
$register
/usr/share/tessera-smartcard/allowed-extensions.default
/usr/share/tessera-smartcard/install.sh
/usr/share/tessera-smartcard/manifests/chromium.json.in
$list cng
/usr/share/doc/tessera-smartcard/copyright d
TABLE
check "no manifest, no manifest folder, no shared folder" \
  sh -c "! grep -E -e '\\.json |native-messaging|mozilla|^/etc/opt' \
         -e '^(/usr|/usr/bin|/usr/sbin|/usr/share|/etc) ' '$scratch/files'"

rpm -qp --requires "$rpm" > "$scratch/requires"
check "requires libpcsclite" grep -qx 'libpcsclite.so.1()(64bit)' "$scratch/requires"
check "requires /bin/sh for its scripts" grep -qx '/bin/sh' "$scratch/requires"

mkdir "$scratch/payload"
rpm2archive - < "$rpm" | tar -xzf - -C "$scratch/payload"
check "binary stripped" \
  sh -c "file -b '$scratch/payload/usr/bin/tessera-smartcard' | grep -q ', stripped'"
check "default list holds the configured IDs" \
  test "$(grep -v '^#' "$scratch/payload/usr/share/tessera-smartcard/allowed-extensions.default" |
          tr '\n' ' ')" = "abcdefghijklmnopabcdefghijklmnop ponmlkjihgfedcbaponmlkjihgfedcba demo@tessera-smartcard.example "

# Each script run with rpm's arguments ($1: installed instances after the step), the register
# command replaced by a stub that logs its arguments and the list's paths moved into scratch.
stub="$scratch/register-stub"
printf '#!/bin/sh\necho "$*" >> "%s/calls"\n' "$scratch" > "$stub"
chmod +x "$stub"
run_script() {  # tag step argument -> the register calls made, space-separated
  rm -f "$scratch/calls"
  mkdir -p "$(dirname "$scratch$list")"
  touch "$scratch$list"
  rpm -qp --qf "%{$1}" "$rpm" | sed -e "s|$register|$stub|g" -e "s|/etc/|$scratch/etc/|g" \
    -e "s|/var/lib/|$scratch/var/lib/|g" > "$scratch/script"
  sh "$scratch/script" "$2" >/dev/null 2>&1
  [ -f "$scratch/calls" ] && tr '\n' ' ' < "$scratch/calls"
  return 0
}
while read -r tag arg calls; do
  check "$tag $arg: register ${calls:-not called}" test "$(run_script "$tag" "$arg")" = "${calls:+$calls }"
done <<'TABLE'
POSTIN 1 update
POSTIN 2 update
PREUN 1
PREUN 0 remove-manifests
POSTUN 1
POSTUN 0
TABLE
run_script POSTUN 1 >/dev/null
check "upgrade (postun 1) keeps the list" test -f "$scratch$list"
run_script POSTUN 0 >/dev/null
check "erase (postun 0) takes the list and its folder" test ! -e "$scratch/etc/tessera-smartcard"

echo "rpm: $failures failure(s)"
[ "$failures" -eq 0 ]
