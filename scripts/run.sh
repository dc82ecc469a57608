#!/usr/bin/env bash
# Usage: scripts/run.sh [FOLDER]
# Installs what building needs (no test packages), builds the program alone
# (no tests) and runs it in FOLDER, or in the current folder.
set -euo pipefail
here=$(pwd)
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
install_packages "${build_packages[@]}"
install_httplib
install_npm_packages
configure_and_build_target "$top/build-run" vornhale "${run_configure_options[@]}"
cd "$here"
exec "$top/build-run/vornhale" "$@"
