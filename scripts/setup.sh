#!/usr/bin/env bash
# Installs what Vornhale needs to build and test, then configures and builds it.
# Idempotent: when everything is present it only runs the (incremental) build.
# Sourced by run.sh and test.sh; not meant to be run on its own.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
deps="$top/deps"

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Debian 12 packages. Build-time ones first, then what the tests drive.
build_packages=(build-essential cmake ninja-build pkg-config libfmt-dev nlohmann-json3-dev libgtk-3-dev
  libwebkit2gtk-4.1-dev libudev-dev dpkg-dev nodejs npm)
test_packages=(libgtest-dev libgmock-dev umockdev libumockdev-dev
  gir1.2-umockdev-1.0 python3-gi xvfb xauth x11-utils xdotool imagemagick
  libx11-dev chromium wrk nginx-light desktop-file-utils clang
  libclang-rt-14-dev python3-serial python3-bitstring python3-cryptography
  python3-ecdsa python3-intelhex python3-yaml lintian udev libglib2.0-bin
  iproute2 util-linux appstream)
# The run command's build: the program alone, without the tests (and so
# without GoogleTest and the other test packages).
run_configure_options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF)
# What building the Debian package needs beyond the build.
package_packages=(dpkg-dev lintian appstream)

# The Windows x64 tier: MinGW-w64 to cross-build, Wine to run, icoutils for the icon.
windows_packages=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine wine64 icoutils
  libgtest-dev xvfb xauth)

apt_updated=0
apt_update_once() {
  if [ "$apt_updated" -eq 0 ]; then
    as_root apt-get update -q
    apt_updated=1
  fi
}

install_packages() {
  local missing=()
  for p in "$@"; do
    # npm and nodejs may come from elsewhere than Debian; a working command is enough.
    case $p in
      nodejs) command -v node >/dev/null && continue ;;
      npm) command -v npm >/dev/null && continue ;;
    esac
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    apt_update_once
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
}

# Adds a source-only entry for Debian 13 on the same mirror as the system's own
# entries, so that `apt-get source` can fetch packages that Debian 12 lacks.
# Binaries from Debian 13 are never installed.
ensure_trixie_sources() {
  local list=/etc/apt/sources.list.d/vornhale-trixie-src.list
  [ -f "$list" ] && return 0
  local uri
  uri=$(grep -h -m1 -E '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' | head -n1 || true)
  if [ -z "$uri" ]; then
    uri=$(grep -h -m1 -E '^deb ' /etc/apt/sources.list 2>/dev/null | awk '{print $2}' | head -n1 || true)
  fi
  if [ -z "$uri" ]; then
    echo "setup: cannot find the Debian mirror in /etc/apt; add a deb-src entry for trixie by hand" >&2
    exit 1
  fi
  echo "deb-src $uri trixie main" | as_root tee "$list" >/dev/null
  apt_updated=0
}

# Fetches SOURCE's orig tarball from Debian 13 into a temporary folder and
# unpacks it into DEST. Prints nothing on success.
fetch_debian_source() {
  local source=$1 dest=$2
  ensure_trixie_sources
  apt_update_once
  local tmp
  tmp=$(mktemp -d)
  (cd "$tmp" && apt-get source --download-only -q "$source/trixie" >/dev/null 2>&1) || {
    # A .dsc of one revision has been seen missing: the orig tarball is enough.
    (cd "$tmp" && apt-get source --download-only --tar-only -q "$source/trixie" >/dev/null 2>&1) || true
  }
  local orig
  orig=$(ls "$tmp"/"${source}"_*.orig.tar.* 2>/dev/null | head -n1 || true)
  if [ -z "$orig" ]; then
    rm -rf "$tmp"
    echo "setup: could not fetch the Debian source of $source (trixie)" >&2
    exit 1
  fi
  rm -rf "$dest" && mkdir -p "$dest"
  tar -xf "$orig" -C "$dest" --strip-components=1
  rm -rf "$tmp"
}

# cpp-httplib as Debian 13 builds it: the release with the source package's
# patch series applied (security fixes for request lines, header counts and
# chunked bodies). The revision is pinned; a header from another revision, or
# from before this pin, is replaced.
httplib_revision="0.18.7-1+deb13u1"
httplib_patches=(CVE-2025-46728 CVE-2025-52887 CVE-2025-53629)

install_httplib() {
  local header="$deps/cpp-httplib/httplib.h"
  local stamp="$deps/cpp-httplib/debian-revision"
  if [ -f "$header" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$httplib_revision" ]; then
    return 0
  fi
  echo "setup: fetching cpp-httplib $httplib_revision from Debian's source archive"
  ensure_trixie_sources
  apt_update_once
  local tmp
  tmp=$(mktemp -d)
  if ! (cd "$tmp" && apt-get source -q "cpp-httplib=$httplib_revision") >"$tmp/log" 2>&1; then
    cat "$tmp/log" >&2
    rm -rf "$tmp"
    echo "setup: could not fetch and unpack the Debian source package cpp-httplib $httplib_revision" >&2
    exit 1
  fi
  local src="$tmp/cpp-httplib-0.18.7"
  local missing=()
  for cve in "${httplib_patches[@]}"; do
    local patch
    patch=$(grep -m1 -- "$cve" "$src/debian/patches/series" 2>/dev/null || true)
    if [ -z "$patch" ] || ! grep -qxF -- "$patch" "$src/.pc/applied-patches" 2>/dev/null; then
      missing+=("$cve")
    fi
  done
  if [ ${#missing[@]} -gt 0 ] || ! grep -q 'CPPHTTPLIB_VERSION "0.18.7"' "$src/httplib.h"; then
    rm -rf "$tmp"
    echo "setup: cpp-httplib $httplib_revision unpacked without Debian's patches for ${missing[*]:-its version};" \
      "refusing to build against an unpatched HTTP library" >&2
    exit 1
  fi
  mkdir -p "$deps/cpp-httplib"
  cp "$src/httplib.h" "$header"
  echo "$httplib_revision" >"$stamp"
  rm -rf "$tmp"
}

install_esptool() {
  if [ -f "$deps/esptool/esptool.py" ]; then
    return 0
  fi
  echo "setup: fetching esptool from Debian's source archive"
  fetch_debian_source esptool "$deps/esptool"
}

install_npm_packages() {
  local stamp="$top/node_modules/.package-lock.json"
  if [ -f "$stamp" ] && [ "$stamp" -nt "$top/package-lock.json" ]; then
    return 0
  fi
  echo "setup: installing npm packages"
  (cd "$top" && npm ci --no-audit --no-fund --loglevel=error)
}

# configure BUILD_DIR [cmake options...]: the first time only; with Ninja
# where there is one.
configure() {
  local dir=$1
  shift
  [ -f "$dir/CMakeCache.txt" ] && return 0
  local generator=()
  command -v ninja >/dev/null && generator=(-G Ninja)
  cmake -S "$top" -B "$dir" "${generator[@]}" "$@"
}

# configure_and_build BUILD_DIR [cmake options...]
configure_and_build() {
  local dir=$1
  shift
  configure "$dir" "$@"
  cmake --build "$dir" -j "$(nproc)"
}

# build_windows: the Windows x64 build in build-windows/ (vornhale.exe, its
# tests, the release zip), cross-built with MinGW-w64. The build runs its
# generators and lists the unit tests under Wine: one Wine server for the
# build's prefix serves the whole calling script (each program then starts in
# a tenth of a second instead of seconds) and ends with it.
windows_dir="$top/build-windows"

# wine_session: a Wine server for the build's prefix that serves the calling
# script (or subshell) and ends with it.
wine_session() {
  export DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent
  export WINEPREFIX="$windows_dir/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
  mkdir -p "$WINEPREFIX"
  wineserver -p >/dev/null 2>&1 || true  # one may be running already
  trap 'wineserver -k 2>/dev/null || true' EXIT
  # Makes the prefix the first time, and starts the session's own processes
  # now, with no pipe of a test's to hold open after the test has ended.
  wineboot -u >/dev/null 2>&1
}

build_windows() {
  install_packages "${build_packages[@]}" "${windows_packages[@]}"
  install_httplib
  install_npm_packages
  local werror=OFF
  [ "${CI:-}" = "true" ] && werror=ON
  wine_session
  configure_and_build "$windows_dir" --toolchain "$top/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNHALE_WERROR=$werror
}

# publish_windows_release: copies the release zip build_windows made to dist/.
publish_windows_release() {
  local version
  version=$(sed -n 's/^project(vornhale VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
  local zip="vornhale-$version-win64.zip"
  mkdir -p "$top/dist"
  cp "$windows_dir/$zip" "$top/dist/$zip"
  echo "Windows release: dist/$zip"
  python3 -m zipfile -l "$top/dist/$zip"
}

# configure_and_build_target BUILD_DIR TARGET [cmake options...]: only TARGET
# and what it needs.
configure_and_build_target() {
  local dir=$1 target=$2
  shift 2
  configure "$dir" "$@"
  cmake --build "$dir" -j "$(nproc)" --target "$target"
}
