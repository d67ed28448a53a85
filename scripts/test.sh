#!/usr/bin/env bash
# Builds everything and runs the whole test suite:
#   1. the host-only build: library, programs, node, tests; every CTest suite; then the
#      pipeline stress test again in a ThreadSanitizer build;
#   2. the CUDA variant (-DLUMAWEAVE_CUDA=ON, nvcc from /usr/local/cuda): compiled and linked so
#      device code cannot rot; its unit tests run on the host backend where no GPU exists, and
#      its host-vs-CUDA parity tests run (or say plainly that they skipped).
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}
BUILD=${BUILD:-build}
BUILD_CUDA=${BUILD_CUDA:-build-cuda}
BUILD_TSAN=${BUILD_TSAN:-build-tsan}
export CCACHE_DIR=${CCACHE_DIR:-$PWD/.ccache}

echo "== host build"
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD" -j "$JOBS"
echo "== tests"
(cd "$BUILD" && ctest --output-on-failure -j "$JOBS")

echo "== pipeline stress under ThreadSanitizer"
cmake -S . -B "$BUILD_TSAN" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMAWEAVE_TSAN=ON \
  -DLUMAWEAVE_BUILD_REELHOUSE=OFF -DLUMAWEAVE_BUILD_BENCH=OFF
cmake --build "$BUILD_TSAN" -j "$JOBS" --target lumaweave_stress_tests
(cd "$BUILD_TSAN" && ctest --output-on-failure -L stress)

NVCC=/usr/local/cuda/bin/nvcc
if [ -x "$NVCC" ]; then
  echo "== CUDA variant"
  cmake -S . -B "$BUILD_CUDA" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMAWEAVE_CUDA=ON \
    -DLUMAWEAVE_BUILD_REELHOUSE=OFF -DLUMAWEAVE_BUILD_BENCH=OFF
  cmake --build "$BUILD_CUDA" -j "$JOBS"
  (cd "$BUILD_CUDA" && ctest --output-on-failure -j "$JOBS" -L 'unit|cuda-parity')
elif [ "${CI:-}" = "true" ]; then
  echo "error: $NVCC not found; CI must build the CUDA variant" >&2
  exit 1
else
  echo "== CUDA variant SKIPPED: no CUDA toolkit at /usr/local/cuda"
fi
echo "== all tests passed"
