#!/usr/bin/env bash
# Builds Vornhale in Release and runs every benchmark, printing one table.
# Usage: bench/run.sh [--update]   (--update also writes the table to bench/README.md)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"
install_packages "${build_packages[@]}" "${test_packages[@]}"
install_httplib
install_npm_packages
configure_and_build "$top/build-bench" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
# Station mode's boards are plugged in from the benchmark itself, under umockdev's preload.
exec umockdev-wrapper /usr/bin/python3 "$top/bench/bench.py" --build "$top/build-bench" "$@"
