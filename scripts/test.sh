#!/usr/bin/env bash
# Builds everything and runs the whole test suite:
#   1. the host-only build: library, programs, node, tests; every CTest suite;
#   2. the CUDA variant (-DLUMAWEAVE_CUDA=ON, nvcc from /usr/local/cuda): compiled and linked so
#      device code cannot rot; its unit tests run on the host backend where no GPU exists, and
#      its host-vs-CUDA parity tests run (or say plainly that they skipped).
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}
BUILD=${BUILD:-build}
BUILD_CUDA=${BUILD_CUDA:-build-cuda}
export CCACHE_DIR=${CCACHE_DIR:-$PWD/.ccache}

echo "== host build"
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD" -j "$JOBS"
echo "== tests"
(cd "$BUILD" && ctest --output-on-failure -j "$JOBS" -LE 'stress')
if [ -n "$(cd "$BUILD" && ctest -N -L stress | grep -E '^ +Test +#')" ]; then
  (cd "$BUILD" && ctest --output-on-failure -L stress)
fi

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
