#!/usr/bin/env bash
# Builds the Windows release dist/vornhale-VERSION-win64.zip: vornhale.exe
# (cross-built with MinGW-w64, stripped), LICENSE.txt, THIRD-PARTY-NOTICES.txt
# and README.txt for Windows users. Installs what is missing first; builds in
# build-windows/, which the Windows tests share.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
build_windows
publish_windows_release
