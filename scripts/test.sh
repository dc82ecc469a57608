#!/usr/bin/env bash
# Usage: scripts/test.sh [--quick]
#
# Installs what is missing, builds Vornhale and its tests and runs every test,
# in five tiers, each in a build of its own with only what its tests run:
#
#   asan     unit and integration tests with AddressSanitizer and UBSan
#   tsan     unit tests with ThreadSanitizer
#   fuzz     four libFuzzer targets (clang), a minute each
#   plain    the window under Xvfb, the page in Chromium, load, the desktop
#            files, the Debian package (built, installed, used, removed), and
#            the tests whose measurements only hold without a sanitizer
#   windows  the Windows x64 build under Wine (scripts/test-windows.sh)
#
# Two lanes run side by side (asan then plain; tsan, fuzz, then windows), so
# that one lane's builds use the core that the other's tests, which mostly
# wait for boards, timers and Wine, leave idle. Each tier's output is printed
# whole when it ends; the last lines are a table of each tier's build and test
# time. Checks that the run command configures without GoogleTest.
#
# --quick: for working on a built tree. Rebuilds what changed in the plain
# build (build/) and runs its unit and integration tests: a few minutes.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

quick=0
case "${1:-}" in
  "") ;;
  --quick) quick=1 ;;
  *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
esac

install_packages "${build_packages[@]}" "${test_packages[@]}"
install_httplib
install_esptool
install_npm_packages

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
jobs=$(nproc)
export DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent
asan_env=(ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0 UBSAN_OPTIONS=print_stacktrace=1)
plain_options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNHALE_WERROR=$werror)

if [ "$quick" -eq 1 ]; then
  configure "$top/build" "${plain_options[@]}"
  cmake --build "$top/build" -j "$jobs" --target tests_unit tests_integration
  exec ctest --test-dir "$top/build" --output-on-failure -j "$jobs" -L 'unit|integration'
fi

logs="$top/build-logs"
rm -rf "$logs"
mkdir -p "$logs"

# tier NAME BUILD_FUNCTION TEST_FUNCTION: runs both into NAME's log, notes
# their times and outcome, and prints the log whole once the tier has ended.
tier() {
  local name=$1 build=$2 run=$3 log="$logs/$1.log" outcome=passed
  local start built ended
  start=$(date +%s)
  if ! "$build" >"$log" 2>&1; then
    outcome="build failed"
  fi
  built=$(date +%s)
  if [ "$outcome" = passed ] && ! "$run" >>"$log" 2>&1; then
    outcome="tests failed"
  fi
  ended=$(date +%s)
  echo "$name $((built - start)) $((ended - built)) $start $ended $outcome" >>"$logs/times"
  {
    flock 9
    echo "==================== $name: $outcome ($((ended - start)) s) ===================="
    cat "$log"
  } 9>"$logs/print.lock"
}

build_asan() {
  configure "$top/build-asan" -DCMAKE_BUILD_TYPE=Debug -DVORNHALE_WERROR=$werror -DVORNHALE_SANITIZE=address,undefined &&
    cmake --build "$top/build-asan" -j "$jobs" --target tests_unit tests_integration
}
test_asan() {
  env "${asan_env[@]}" ctest --test-dir "$top/build-asan" --output-on-failure -j "$jobs" -L 'unit|integration'
}

build_tsan() {
  configure "$top/build-tsan" -DCMAKE_BUILD_TYPE=Debug -DVORNHALE_WERROR=$werror -DVORNHALE_SANITIZE=thread &&
    cmake --build "$top/build-tsan" -j "$jobs" --target tests_unit
}
test_tsan() {
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir "$top/build-tsan" --output-on-failure -j "$jobs" -L unit
}

# libFuzzer (clang): the resource path lookup, the command-line splitter, the
# text-to-event path and the reading of a record line, a minute each, side by
# side.
build_fuzz() (
  export CC=clang CXX=clang++
  configure "$top/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNHALE_WERROR=$werror -DVORNHALE_FUZZ=ON &&
    cmake --build "$top/build-fuzz" -j "$jobs" --target fuzz_resource_path fuzz_command_line fuzz_event_payload \
      fuzz_record_line
)
test_fuzz() {
  ctest --test-dir "$top/build-fuzz" --output-on-failure -j 4 -L fuzz
}

# The plain build runs what the sanitizers cannot: WebKitGTK's own processes
# are not ours to instrument, and a sanitizer's own memory hides ours (the
# "measures" tests). The Debian package is made of this build.
build_plain() {
  configure "$top/build" "${plain_options[@]}" &&
    cmake --build "$top/build" -j "$jobs" --target tests_window tests_page tests_load tests_desktop tests_package \
    tests_measures benchmarks
}
test_plain() {
  ctest --test-dir "$top/build" --output-on-failure -j "$jobs" -L 'window|page|load|desktop|package|measures'
}

# The run command configures on a machine without the test packages: here,
# as if GoogleTest were absent.
build_run_check() {
  rm -rf "$top/build-run-check"
  cmake -S "$top" -B "$top/build-run-check" "${run_configure_options[@]}" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
}
test_run_check() { rm -rf "$top/build-run-check"; }

# Windows x64, cross-built and run under Wine; in a subshell of its own, which
# its Wine server ends with.
build_windows_tier() { (build_windows); }
test_windows_tier() {
  (
    wine_session
    publish_windows_release &&
      ctest --test-dir "$windows_dir" --output-on-failure -j "$jobs"
  )
}

began=$(date +%s)
(tier asan build_asan test_asan; tier plain build_plain test_plain) &
lane_linux=$!
(tier run-check build_run_check test_run_check; tier tsan build_tsan test_tsan; tier fuzz build_fuzz test_fuzz
 tier windows build_windows_tier test_windows_tier) &
lane_other=$!
wait "$lane_linux" || true
wait "$lane_other" || true
finished=$(date +%s)

failed=0
echo
printf '%-10s %8s %8s %8s  %s\n' tier build tests total outcome
while read -r name build_s test_s start end outcome; do
  printf '%-10s %7ss %7ss %7ss  %s\n' "$name" "$build_s" "$test_s" "$((end - start))" "$outcome"
  [ "$outcome" = passed ] || failed=1
done <"$logs/times"
printf '%-10s %8s %8s %7ss  %s\n' all "" "" "$((finished - began))" "(wall clock; the lanes overlap)"
[ "$(wc -l <"$logs/times")" -eq 6 ] || { echo "test: a tier did not report (see above)" >&2; failed=1; }
exit "$failed"
