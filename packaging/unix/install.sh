#!/usr/bin/env bash
# Registers tessera-smartcard as a native-messaging host with Chrome, Chromium, Edge, Brave and
# Firefox on Linux and macOS, for the current user (no root needed) or system-wide.
#
#   install.sh [--chrome-id ID ...] [--firefox-id NAME@DOMAIN ...] [options]
#   (without any ID, the project's own extension: the IDs in extension/ids.json)
#   install.sh --uninstall [options]
#
# Options:
#   --chrome-id ID      extension ID allowed in Chrome, Chromium, Edge and Brave (repeatable)
#   --firefox-id ID     add-on ID allowed in Firefox (repeatable)
#   --host PATH         the tessera-smartcard binary (default: the installed one beside this
#                       script's folder, or build/native/tessera-smartcard in a checkout)
#   --no-copy           point the manifests at --host where it is, instead of a private copy
#   --system            write the browsers' system-wide folders (needs root) instead of the user's;
#                       refused where the .deb or .rpm is installed: use tessera-smartcard-register
#   --browsers LIST     comma-separated subset of chrome,chromium,edge,brave,firefox (default all)
#   --profile-dir DIR   also register with a Chromium-family profile started with
#                       --user-data-dir=DIR (repeatable)
#   --name NAME         host name (default org.tessera.smartcard)
#   --uninstall         remove the manifests and the private copy of the binary
set -euo pipefail

name="org.tessera.smartcard"
chrome_ids=()
firefox_ids=()
host=""
copy=1
scope="user"
browsers="chrome,chromium,edge,brave,firefox"
profile_dirs=()
action="install"

die() { echo "install.sh: $*" >&2; exit 2; }

while [ $# -gt 0 ]; do
  case "$1" in
    --chrome-id) [ $# -ge 2 ] || die "$1 needs a value"; chrome_ids+=("$2"); shift 2 ;;
    --firefox-id) [ $# -ge 2 ] || die "$1 needs a value"; firefox_ids+=("$2"); shift 2 ;;
    --host) [ $# -ge 2 ] || die "$1 needs a value"; host="$2"; shift 2 ;;
    --no-copy) copy=0; shift ;;
    --system) scope="system"; shift ;;
    --user) scope="user"; shift ;;
    --browsers) [ $# -ge 2 ] || die "$1 needs a value"; browsers="$2"; shift 2 ;;
    --profile-dir) [ $# -ge 2 ] || die "$1 needs a value"; profile_dirs+=("$2"); shift 2 ;;
    --name) [ $# -ge 2 ] || die "$1 needs a value"; name="$2"; shift 2 ;;
    --uninstall) action="uninstall"; shift ;;
    -h|--help) sed -n '2,/^set -eu/p' "$0" | sed '$d'; exit 0 ;;
    *) die "unknown option $1 (see --help)" ;;
  esac
done

# Chrome rejects names with upper case, spaces or dashes ("Invalid native messaging host name").
[[ "$name" =~ ^[a-z0-9_]+(\.[a-z0-9_]+)*$ ]] || die "host name '$name': lower case, digits, _ and . only"

script_dir=$(cd "$(dirname "$0")" && pwd)
os=$(uname -s)

# Where the package is installed, its manifests are written from the administrator's list of IDs;
# manifests and a binary copy of ours would fight it and outlive the package.
if [ "$scope" = system ] && [ "$os" != Darwin ]; then
  for register in "$(command -v tessera-smartcard-register || true)" \
                  /usr/sbin/tessera-smartcard-register /usr/local/sbin/tessera-smartcard-register; do
    if [ -n "$register" ] && [ -x "$register" ]; then
      die "tessera-smartcard is installed system-wide here: allow extension IDs with" \
        "'$register add ID' (and list, remove), not with install.sh --system"
    fi
  done
fi

# Folders, per browser, in the order chrome chromium edge brave firefox.
manifest_dir() {
  local browser=$1
  if [ "$os" = Darwin ]; then
    local base="$HOME/Library/Application Support"
    if [ "$scope" = system ]; then
      case "$browser" in
        chrome) echo "/Library/Google/Chrome/NativeMessagingHosts" ;;
        chromium) echo "/Library/Application Support/Chromium/NativeMessagingHosts" ;;
        edge) echo "/Library/Microsoft/Edge/NativeMessagingHosts" ;;
        brave) echo "/Library/BraveSoftware/Brave-Browser/NativeMessagingHosts" ;;
        firefox) echo "/Library/Application Support/Mozilla/NativeMessagingHosts" ;;
      esac
    else
      case "$browser" in
        chrome) echo "$base/Google/Chrome/NativeMessagingHosts" ;;
        chromium) echo "$base/Chromium/NativeMessagingHosts" ;;
        edge) echo "$base/Microsoft Edge/NativeMessagingHosts" ;;
        brave) echo "$base/BraveSoftware/Brave-Browser/NativeMessagingHosts" ;;
        firefox) echo "$base/Mozilla/NativeMessagingHosts" ;;
      esac
    fi
  else
    local config="${XDG_CONFIG_HOME:-$HOME/.config}"
    if [ "$scope" = system ]; then
      case "$browser" in
        chrome) echo "/etc/opt/chrome/native-messaging-hosts" ;;
        chromium) echo "/etc/chromium/native-messaging-hosts" ;;
        edge) echo "/etc/opt/edge/native-messaging-hosts" ;;
        brave) echo "/etc/opt/brave.com/brave/native-messaging-hosts" ;;
        firefox) echo "/usr/lib/mozilla/native-messaging-hosts" ;;
      esac
    else
      case "$browser" in
        chrome) echo "$config/google-chrome/NativeMessagingHosts" ;;
        chromium) echo "$config/chromium/NativeMessagingHosts" ;;
        edge) echo "$config/microsoft-edge/NativeMessagingHosts" ;;
        brave) echo "$config/BraveSoftware/Brave-Browser/NativeMessagingHosts" ;;
        firefox) echo "$HOME/.mozilla/native-messaging-hosts" ;;
      esac
    fi
  fi
}

# The private copy of the binary, so that the manifests keep working when the download is gone.
copy_dir() {
  if [ "$scope" = system ]; then
    echo "/usr/local/lib/tessera-smartcard"
  elif [ "$os" = Darwin ]; then
    echo "$HOME/Library/Application Support/tessera-smartcard"
  else
    echo "${XDG_DATA_HOME:-$HOME/.local/share}/tessera-smartcard"
  fi
}

# Removes DIR and its parents while they are empty, stopping at STOP.
prune_empty() {
  local dir=$1 stop=$2
  while [ "$dir" != "$stop" ] && [ "$dir" != "/" ] && [ -d "$dir" ]; do
    rmdir "$dir" 2>/dev/null || return 0
    dir=$(dirname "$dir")
  done
}

selected() { case ",$browsers," in *",$1,"*) return 0 ;; *) return 1 ;; esac; }
for b in $(echo "$browsers" | tr ',' ' '); do
  case "$b" in chrome|chromium|edge|brave|firefox) ;; *) die "unknown browser '$b'" ;; esac
done

prune_stop() {
  if [ "$scope" = system ]; then echo "/"; elif [ "$1" = firefox ] && [ "$os" != Darwin ]; then
    echo "$HOME"; elif [ "$os" = Darwin ]; then echo "$HOME/Library/Application Support"; else
    echo "${XDG_CONFIG_HOME:-$HOME/.config}"; fi
}

if [ "$action" = uninstall ]; then
  for b in chrome chromium edge brave firefox; do
    selected "$b" || continue
    dir=$(manifest_dir "$b")
    if [ -e "$dir/$name.json" ]; then
      rm -f "$dir/$name.json" && echo "removed $dir/$name.json"
    fi
    # Empty folders go; system-wide, only the manifest folder itself, as its parents may be shared.
    if [ "$scope" = user ]; then
      prune_empty "$dir" "$(prune_stop "$b")"
    else
      rmdir "$dir" 2>/dev/null || true
    fi
  done
  for profile in ${profile_dirs[@]+"${profile_dirs[@]}"}; do
    rm -f "$profile/NativeMessagingHosts/$name.json"
    prune_empty "$profile/NativeMessagingHosts" "$profile"
  done
  private=$(copy_dir)
  if [ -e "$private/tessera-smartcard" ]; then
    rm -f "$private/tessera-smartcard" && echo "removed $private/tessera-smartcard"
    prune_empty "$private" "$(dirname "$private")"
  fi
  exit 0
fi

# No ID given: the project's own extension (the IDs of extension/ids.json).
if [ ${#chrome_ids[@]} -eq 0 ] && [ ${#firefox_ids[@]} -eq 0 ]; then
  chrome_ids=(kbhdbilgancffmblmcekfofmdbabndil)
  firefox_ids=(smartcard@tessera.org)
fi
# Extension IDs: bare, or the origin as Chrome shows it; the manifest needs the origin with its
# trailing slash, and an origin without it makes Chrome report the host as not found.
origins=""
for id in ${chrome_ids[@]+"${chrome_ids[@]}"}; do
  id=${id#chrome-extension://}
  id=${id%/}
  [[ "$id" =~ ^[a-p]{32}$ ]] || die "Chrome extension ID '$id' is not 32 letters a-p"
  origins="${origins:+$origins, }\"chrome-extension://$id/\""
done
extensions=""
for id in ${firefox_ids[@]+"${firefox_ids[@]}"}; do
  [[ "$id" =~ ^([A-Za-z0-9._+-]*@[A-Za-z0-9._-]+|\{[0-9A-Fa-f-]+\})$ ]] ||
    die "Firefox add-on ID '$id' is neither name@domain nor {GUID}"
  extensions="${extensions:+$extensions, }\"$id\""
done

if [ -z "$host" ]; then
  # Installed (PREFIX/share/tessera-smartcard/install.sh), beside it, or in a checkout's build.
  for candidate in "$script_dir/../../bin/tessera-smartcard" "$script_dir/tessera-smartcard" \
                   "$script_dir/../../build/native/tessera-smartcard"; do
    if [ -x "$candidate" ]; then host=$candidate; break; fi
  done
  [ -n "$host" ] || die "no tessera-smartcard binary beside this script; give --host PATH"
fi
[ -f "$host" ] && [ -x "$host" ] || die "'$host' is not an executable file"
host="$(cd "$(dirname "$host")" && pwd)/$(basename "$host")"

if [ "$copy" = 1 ]; then
  private=$(copy_dir)
  if [ "$host" != "$private/tessera-smartcard" ]; then
    mkdir -p "$private"
    cp -f "$host" "$private/tessera-smartcard.new"
    chmod 755 "$private/tessera-smartcard.new"
    mv -f "$private/tessera-smartcard.new" "$private/tessera-smartcard"
  fi
  host="$private/tessera-smartcard"
fi

templates=""
for candidate in "$script_dir/manifests" "$script_dir/../manifests"; do
  if [ -f "$candidate/chromium.json.in" ]; then templates=$candidate; break; fi
done
[ -n "$templates" ] || die "manifest templates not found beside this script"

# JSON string content of the path, then escaped again for sed's replacement text.
json_path=$(printf '%s' "$host" | sed -e 's/\\/\\\\/g' -e 's/"/\\"/g')
sed_escape() { printf '%s' "$1" | sed -e 's/[\\&|]/\\&/g'; }

write_manifest() {
  local template=$1 dir=$2 allowed_key=$3 allowed=$4
  mkdir -p "$dir"
  sed -e "s|@HOST_NAME@|$(sed_escape "$name")|" \
      -e "s|@HOST_DESCRIPTION@|Tessera smart-card host: PC/SC for browser extensions|" \
      -e "s|@HOST_PATH@|$(sed_escape "$json_path")|" \
      -e "s|@$allowed_key@|$(sed_escape "$allowed")|" \
      "$templates/$template" > "$dir/.$name.json.new"
  mv -f "$dir/.$name.json.new" "$dir/$name.json"
  chmod 644 "$dir/$name.json"
  echo "wrote $dir/$name.json"
}

for b in chrome chromium edge brave; do
  selected "$b" && [ -n "$origins" ] || continue
  write_manifest chromium.json.in "$(manifest_dir "$b")" ALLOWED_ORIGINS "$origins"
done
if selected firefox && [ -n "$extensions" ]; then
  write_manifest firefox.json.in "$(manifest_dir firefox)" ALLOWED_EXTENSIONS "$extensions"
fi
if [ -n "$origins" ]; then
  for profile in ${profile_dirs[@]+"${profile_dirs[@]}"}; do
    write_manifest chromium.json.in "$profile/NativeMessagingHosts" ALLOWED_ORIGINS "$origins"
  done
fi
echo "host: $host"
