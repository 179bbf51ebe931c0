#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine (run as root), and builds the
# libraries that Debian does not ship for mingw (OpenH264, libyuv, vo-aacenc) from Debian's source packages.
# What it builds is cached outside the work tree, keyed by package version, so a second run takes seconds.
set -euo pipefail

DEPS_CACHE=${VELL_DEPS_CACHE:-/var/cache/vellrecorder}
MINGW_PREFIX=x86_64-w64-mingw32
CC_MINGW=${MINGW_PREFIX}-gcc-posix
CXX_MINGW=${MINGW_PREFIX}-g++-posix

PACKAGES=(
  cmake ninja-build make pkg-config dpkg-dev nasm python3 ccache
  g++ clang libclang-rt-14-dev
  mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  wine64 xvfb x11-utils pulseaudio pulseaudio-utils
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-tools
  nlohmann-json3-dev libspdlog-dev libfmt-dev googletest libgtest-dev libbenchmark-dev
  ffmpeg
  gstreamer1.0-plugins-bad gstreamer1.0-libav
  chromium
)
# Node.js and npm come with the machine; Debian's are the fallback.
command -v npm >/dev/null || PACKAGES+=(nodejs npm)

log() { printf '[bootstrap] %s\n' "$*"; }

missing_packages() {
  local p
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed' || echo "$p"
  done
}

enable_sources() {
  local f=/etc/apt/sources.list.d/debian.sources
  if [ -f "$f" ] && grep -q '^Types: deb$' "$f"; then
    sed -i 's/^Types: deb$/Types: deb deb-src/' "$f"
    return 0
  fi
  if [ -f /etc/apt/sources.list ] && grep -q '^deb ' /etc/apt/sources.list &&
     ! grep -q '^deb-src ' /etc/apt/sources.list; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >> /etc/apt/sources.list
    return 0
  fi
  return 1
}

APT_UPDATED=0
apt_update_once() {
  if [ "$APT_UPDATED" = 0 ]; then
    apt-get update -qq
    APT_UPDATED=1
  fi
}

install_packages() {
  local missing
  missing=$(missing_packages | tr '\n' ' ')
  if enable_sources; then APT_UPDATED=0; fi
  if [ -n "$missing" ]; then
    log "installing: $missing"
    apt_update_once
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
  fi
}

# Prints the version Debian's source package would give us, without touching the network when possible.
source_version() {
  apt-cache showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | head -n1
}

fetch_source() { # name dir
  local name=$1 dir=$2
  rm -rf "$dir" && mkdir -p "$dir"
  (cd "$dir" && apt-get source -qq "$name" >/dev/null 2>&1) || { apt_update_once; (cd "$dir" && apt-get source -qq "$name" >/dev/null); }
  find "$dir" -mindepth 1 -maxdepth 1 -type d | head -n1
}

build_openh264() { # out
  local out=$1 work src
  work=$(mktemp -d)
  src=$(fetch_source openh264 "$work")
  make -C "$src" -s -j"$(nproc)" OS=mingw_nt ARCH=x86_64 CC="$CC_MINGW" CXX="$CXX_MINGW" \
    AR=${MINGW_PREFIX}-ar libopenh264.a >/dev/null
  mkdir -p "$out/lib" "$out/include/wels"
  cp "$src/libopenh264.a" "$out/lib/"
  cp "$src"/codec/api/wels/*.h "$out/include/wels/"
  rm -rf "$work"
}

build_libyuv() { # out
  local out=$1 work src
  work=$(mktemp -d)
  src=$(fetch_source libyuv "$work")
  cat > "$work/toolchain.cmake" <<TC
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER $CC_MINGW)
set(CMAKE_CXX_COMPILER $CXX_MINGW)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
TC
  cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="-O2" -Wno-dev >/dev/null
  cmake --build "$work/build" --target yuv >/dev/null
  mkdir -p "$out/lib"
  cp "$work/build/libyuv.a" "$out/lib/"
  cp -r "$src/include" "$out/"
  rm -rf "$work"
}

build_voaacenc() { # out
  local out=$1 work src
  work=$(mktemp -d)
  src=$(fetch_source vo-aacenc "$work")
  (cd "$src" && { [ -x configure ] || autoreconf -fi >/dev/null 2>&1; } &&
    ./configure -q --host=$MINGW_PREFIX CC="$CC_MINGW" --enable-static --disable-shared --prefix="$out" >/dev/null &&
    make -s -j"$(nproc)" >/dev/null 2>&1 && make -s install >/dev/null)
  rm -rf "$work"
}

build_gtest() { # out
  local out=$1 work
  work=$(mktemp -d)
  cat > "$work/toolchain.cmake" <<TC
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER $CC_MINGW)
set(CMAKE_CXX_COMPILER $CXX_MINGW)
TC
  cmake -S /usr/src/googletest -B "$work/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$out" -Dgtest_disable_pthreads=OFF >/dev/null
  cmake --build "$work/build" >/dev/null
  cmake --install "$work/build" >/dev/null
  rm -rf "$work"
}

# Builds $1 into $DEPS_CACHE/$1-<version>/ unless it is there; echoes the folder.
cached() { # name version builder
  local name=$1 version=$2 builder=$3 dir
  dir="$DEPS_CACHE/mingw/$name-${version//[:~]/_}"
  if [ ! -f "$dir/.complete" ]; then
    log "building $name $version for mingw"
    rm -rf "$dir"
    "$builder" "$dir"
    touch "$dir/.complete"
  fi
  ln -sfn "$dir" "$DEPS_CACHE/mingw/$name"
}

# The playback test's browser driver and player (tests/e2e/player): npm packages, no browser download (it
# drives Debian's Chromium), installed into a folder keyed by the package and lock files, linked as
# $DEPS_CACHE/npm/player.
install_player_modules() {
  local src key dir
  src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tests/e2e/player"
  key=$(cat "$src/package.json" "$src/package-lock.json" | sha256sum | cut -c1-16)
  dir="$DEPS_CACHE/npm/player-$key"
  if [ ! -f "$dir/.complete" ]; then
    log "installing the player's npm packages ($key)"
    rm -rf "$dir" && mkdir -p "$dir"
    cp "$src/package.json" "$src/package-lock.json" "$dir/"
    (cd "$dir" && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error >/dev/null)
    touch "$dir/.complete"
  fi
  ln -sfn "$dir" "$DEPS_CACHE/npm/player"
}

# The header-only libraries are exposed to the mingw build through their own folders: putting /usr/include
# itself on the cross compiler's path would shadow the mingw C library headers.
expose_headers() {
  local inc=$DEPS_CACHE/mingw/headers/include
  mkdir -p "$inc"
  ln -sfn /usr/include/nlohmann "$inc/nlohmann"
  ln -sfn /usr/include/spdlog "$inc/spdlog"
  ln -sfn /usr/include/fmt "$inc/fmt"
}

main() {
  install_packages
  mkdir -p "$DEPS_CACHE/mingw"
  local v
  v=$(dpkg-query -W -f='${Version}' g++-mingw-w64-x86-64-posix)
  cached openh264 "$(source_version openh264)-$v" build_openh264
  cached libyuv "$(source_version libyuv)-$v" build_libyuv
  cached vo-aacenc "$(source_version vo-aacenc)-$v" build_voaacenc
  cached gtest "$(dpkg-query -W -f='${Version}' googletest)-$v" build_gtest
  expose_headers
  install_player_modules
  log "ready: $DEPS_CACHE/mingw"
}

main "$@"
