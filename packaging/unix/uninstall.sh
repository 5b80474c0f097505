#!/usr/bin/env bash
# Removes what install.sh wrote; takes the same --system, --browsers, --profile-dir and --name.
exec bash "$(dirname "$0")/install.sh" --uninstall "$@"
