#!/usr/bin/env bash
# Builds the library and runs the main job on the built-in sample data (opencv-doc).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
export CCACHE_DIR=${CCACHE_DIR:-$PWD/.ccache}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD" -j "$(nproc)" --target lumaweave-undistort
mkdir -p out
(cd out && "../$BUILD/lumaweave/apps/lumaweave-undistort")
echo "demo output: out/undistorted.png"
