#!/usr/bin/env bash
# Builds the host once for the package tests (deb_test.sh, rpm_test.sh): a tree of its own, whose
# packages admit two Chrome extensions and one Firefox add-on rather than the project's own.
set -euo pipefail
source_dir=$1
build=$2
command -v cpack >/dev/null || { echo "cpack missing"; exit 77; }
# No optimisation and only the host is built (installing and CPack would build everything): these
# tests check what lands where, and compiling fast matters more here.
cmake -S "$source_dir" -B "$build" -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
  "-DTESSERA_CHROME_EXTENSION_IDS=abcdefghijklmnopabcdefghijklmnop;chrome-extension://ponmlkjihgfedcbaponmlkjihgfedcba/" \
  "-DTESSERA_FIREFOX_EXTENSION_IDS=demo@tessera-smartcard.example" >/dev/null
cmake --build "$build" --target tessera-smartcard -j2 >/dev/null
echo "built $build"
