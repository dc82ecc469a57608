#!/usr/bin/env bash
# Installs what is missing, builds Vornhale, then runs it in the current folder.
set -euo pipefail
here=$(pwd)
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
install_packages "${build_packages[@]}"
install_httplib
install_npm_packages
configure_and_build "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cd "$here"
exec "$top/build/vornhale"
