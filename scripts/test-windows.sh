#!/usr/bin/env bash
# The Windows x64 tier: cross-builds vornhale.exe and its tests with MinGW-w64
# and runs them under Wine (unit tests, the executable's resources, the real
# program in a network namespace of its own). Called at the end of test.sh;
# runs on its own too. Ends with CTest's summary.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
install_packages "${build_packages[@]}" "${windows_packages[@]}"
install_httplib
install_npm_packages

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
dir="$top/build-windows"
export DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent

# One Wine server for the build's prefix for the whole run (the build runs
# cross-built generators and lists the unit tests under Wine too): each
# program then starts in a tenth of a second instead of seconds.
export WINEPREFIX="$dir/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
mkdir -p "$WINEPREFIX"
wineserver -p >/dev/null 2>&1
trap 'wineserver -k 2>/dev/null || true' EXIT
# Makes the prefix the first time, and starts the session's own processes
# now, with no pipe of a test's to hold open after the test has ended.
wineboot -u >/dev/null 2>&1

start=$(date +%s)
configure_and_build "$dir" --toolchain "$top/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNHALE_WERROR=$werror
echo "test-windows: built in $(( $(date +%s) - start )) s"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
