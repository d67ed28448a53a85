#!/usr/bin/env bash
# Installs the library into a scratch prefix and builds a host program against it, once with
# find_package(lumaweave) and once with pkg-config.
set -euo pipefail
BUILD=$1 SRC=$2 WORK=$3
rm -rf "$WORK" && mkdir -p "$WORK"
cmake --install "$BUILD" --prefix "$WORK/prefix" --component Unspecified > "$WORK/install.log"
cmake -S "$SRC" -B "$WORK/cmake-build" -DCMAKE_PREFIX_PATH="$WORK/prefix" > "$WORK/configure.log"
cmake --build "$WORK/cmake-build" > "$WORK/build.log"
LD_LIBRARY_PATH="$WORK/prefix/lib" "$WORK/cmake-build/consumer"
PKG_CONFIG_PATH="$WORK/prefix/lib/pkgconfig" c++ -std=c++17 "$SRC/main.cpp" -o "$WORK/consumer-pc" \
  $(PKG_CONFIG_PATH="$WORK/prefix/lib/pkgconfig" pkg-config --cflags --libs lumaweave)
LD_LIBRARY_PATH="$WORK/prefix/lib" "$WORK/consumer-pc"
echo "install test passed"
