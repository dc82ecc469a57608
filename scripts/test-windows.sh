#!/usr/bin/env bash
# The Windows x64 tier: cross-builds vornhale.exe, its tests and the release
# zip with MinGW-w64 and runs the tests under Wine (unit tests, the
# executable's resources and the zip, the real program in a network namespace
# of its own, with its window over a stand-in WebView2 runtime). Called at the
# end of test.sh; runs on its own too. Ends with CTest's summary.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

start=$(date +%s)
build_windows
echo "test-windows: built in $(( $(date +%s) - start )) s"
publish_windows_release
ctest --test-dir "$windows_dir" --output-on-failure -j "$(nproc)"
