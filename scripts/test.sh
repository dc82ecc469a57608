#!/usr/bin/env bash
# Installs what is missing, builds Vornhale and its tests with
# AddressSanitizer and UndefinedBehaviorSanitizer, with ThreadSanitizer, as
# libFuzzer targets (clang), and plain, and runs every test (the plain build's
# last one builds the Debian package, installs it, uses it and removes it
# again); then the Windows x64 tier (scripts/test-windows.sh). Checks that the
# run command configures without GoogleTest. Ends with CTest's summary of the
# Windows tier.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
install_packages "${build_packages[@]}" "${test_packages[@]}"
install_httplib
install_esptool
install_npm_packages

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
jobs=$(nproc)
failed=0

export DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent

# Sanitizer builds: the unit and integration tiers (the window tier runs in the
# plain build; WebKitGTK's own processes are not ours to instrument).
configure_and_build "$top/build-asan" -DCMAKE_BUILD_TYPE=Debug -DVORNHALE_WERROR=$werror \
  -DVORNHALE_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$top/build-asan" --output-on-failure -j "$jobs" -L 'unit|integration' || failed=1

configure_and_build "$top/build-tsan" -DCMAKE_BUILD_TYPE=Debug -DVORNHALE_WERROR=$werror \
  -DVORNHALE_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir "$top/build-tsan" --output-on-failure -j "$jobs" -L 'unit' || failed=1

# libFuzzer (clang): the resource path lookup, the command-line splitter and
# the text-to-event path, a minute each.
if [ ! -f "$top/build-fuzz/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S "$top" -B "$top/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVORNHALE_WERROR=$werror -DVORNHALE_FUZZ=ON
fi
cmake --build "$top/build-fuzz" -j "$jobs" --target fuzz_resource_path fuzz_command_line fuzz_event_payload
ctest --test-dir "$top/build-fuzz" --output-on-failure -L fuzz || failed=1

# The run command configures on a machine without the test packages: here,
# as if GoogleTest were absent.
rm -rf "$top/build-run-check"
if ! cmake -S "$top" -B "$top/build-run-check" "${run_configure_options[@]}" \
     -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >"$top/build-run-check.log" 2>&1; then
  cat "$top/build-run-check.log" >&2
  echo "test: the run command's configure fails without GoogleTest" >&2
  failed=1
fi
rm -rf "$top/build-run-check" "$top/build-run-check.log"

configure_and_build "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNHALE_WERROR=$werror
if [ "$failed" -ne 0 ]; then
  echo "test: a sanitizer build failed (see above)" >&2
fi
ctest --test-dir "$top/build" --output-on-failure -j "$jobs" || failed=1

# Windows x64, cross-built and run under Wine.
"$top/scripts/test-windows.sh" || failed=1
exit "$failed"
