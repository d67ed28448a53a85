#!/usr/bin/env bash
# Builds the library and runs the main job on built-in sample data: a synthetic camera pair
# rendered from opencv-doc's vtest.avi is stitched into one wide video (out/demo/stitched.avi)
# and one still (out/demo/stitched.png), and the frame rate is printed.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
export CCACHE_DIR=${CCACHE_DIR:-$PWD/.ccache}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD" -j "$(nproc)" --target lumaweave-stitch
mkdir -p out
(cd out && "../$BUILD/lumaweave/apps/lumaweave-stitch" "$@")
echo "demo output: out/demo/stitched.avi, out/demo/stitched.png"
