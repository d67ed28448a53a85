// Kernels written once: a functor whose operator() runs for one thread of a CUDA-style launch.
// Under nvcc with the cuda backend active it is a real kernel; otherwise a CPU loop runs it,
// blocks in parallel. Phased kernels (block-shared memory + barriers) are written as a
// sequence of phases; the CPU runs each phase for every thread of a block before the next,
// which is what __syncthreads() guarantees on the device.
#pragma once

#include <cstddef>
#include <memory>
#include <opencv2/core/cuda_types.hpp>
#include <opencv2/core/utility.hpp>

#include "cuda/vector_types.hpp"
#include "lumaweave/cuda/gpumat.hpp"

#ifdef __CUDACC__
#define LW_HOST_DEVICE __host__ __device__
#else
#define LW_HOST_DEVICE
#endif

namespace lumaweave {
namespace cuda {

struct ThreadIndex {
  dim3 block;      // blockIdx
  dim3 thread;     // threadIdx
  dim3 block_dim;  // blockDim
  dim3 grid_dim;   // gridDim
  LW_HOST_DEVICE int global_x() const { return int(block.x * block_dim.x + thread.x); }
  LW_HOST_DEVICE int global_y() const { return int(block.y * block_dim.y + thread.y); }
  LW_HOST_DEVICE int global_z() const { return int(block.z * block_dim.z + thread.z); }
  LW_HOST_DEVICE int local_id() const { return int((thread.z * block_dim.y + thread.y) * block_dim.x + thread.x); }
  LW_HOST_DEVICE int block_threads() const { return int(block_dim.x * block_dim.y * block_dim.z); }
};

LW_HOST_DEVICE inline int divCeil(int a, int b) { return (a + b - 1) / b; }

namespace detail {

bool deviceActive();  // the cuda backend is in use
void checkLaunch(const char* kernel, void* stream, const char* file, int line);

#ifdef __CUDACC__
template <class K> __global__ void threadTrampoline(K k) {
  k(ThreadIndex{blockIdx, threadIdx, blockDim, gridDim});
}
template <class K> __global__ void phasedTrampoline(K k) {
  __shared__ typename K::Shared shared;
  const ThreadIndex t{blockIdx, threadIdx, blockDim, gridDim};
  for (int phase = 0; phase < K::kPhases; ++phase) {
    k(t, shared, phase);
    __syncthreads();
  }
}
#endif

// Runs fn(block) for every block of the grid; blocks are independent, so in parallel.
template <class Fn> void forEachBlock(dim3 grid, Fn&& fn) {
  const int planes = int(grid.y * grid.z);
  const int total = int(grid.x) * planes;
  if (total <= 0) return;
  cv::parallel_for_(cv::Range(0, total), [&](const cv::Range& r) {
    for (int i = r.start; i < r.end; ++i) {
      const unsigned bx = unsigned(i) % grid.x;
      const unsigned rest = unsigned(i) / grid.x;
      fn(dim3(bx, rest % grid.y, rest / grid.y));
    }
  });
}

template <class Fn> inline void forEachThread(dim3 block, Fn&& fn) {
  for (unsigned z = 0; z < block.z; ++z)
    for (unsigned y = 0; y < block.y; ++y)
      for (unsigned x = 0; x < block.x; ++x) fn(dim3(x, y, z));
}

}  // namespace detail

// One thread per call of k(ThreadIndex).
template <class K> void launch(dim3 grid, dim3 block, Stream& stream, const K& k, const char* name = "kernel") {
#ifdef __CUDACC__
  if (detail::deviceActive()) {
    detail::threadTrampoline<K><<<grid, block, 0, static_cast<cudaStream_t>(stream.cudaPtr())>>>(k);
    detail::checkLaunch(name, stream.cudaPtr(), __FILE__, __LINE__);
    return;
  }
#endif
  (void)stream;
  (void)name;
  detail::forEachBlock(grid, [&](dim3 b) {
    detail::forEachThread(block, [&](dim3 t) { k(ThreadIndex{b, t, block, grid}); });
  });
}

// Phased block kernel: K::Shared (trivially constructible), K::kPhases, and
// k(ThreadIndex, K::Shared&, int phase); a barrier separates consecutive phases.
template <class K> void launchPhased(dim3 grid, dim3 block, Stream& stream, const K& k, const char* name = "kernel") {
#ifdef __CUDACC__
  if (detail::deviceActive()) {
    detail::phasedTrampoline<K><<<grid, block, 0, static_cast<cudaStream_t>(stream.cudaPtr())>>>(k);
    detail::checkLaunch(name, stream.cudaPtr(), __FILE__, __LINE__);
    return;
  }
#endif
  (void)stream;
  (void)name;
  detail::forEachBlock(grid, [&](dim3 b) {
    // Shared memory is uninitialised on the device too; one per block in flight.
    auto shared = std::make_unique<typename K::Shared>();
    for (int phase = 0; phase < K::kPhases; ++phase)
      detail::forEachThread(block, [&](dim3 t) { k(ThreadIndex{b, t, block, grid}, *shared, phase); });
  });
}

}  // namespace cuda
}  // namespace lumaweave
