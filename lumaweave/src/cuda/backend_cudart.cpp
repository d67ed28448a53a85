// CUDA runtime calls of the device layer (compiled only with -DLUMAWEAVE_CUDA=ON).
#include <cuda_runtime_api.h>

#include "cuda/backend.hpp"

namespace lumaweave {
namespace cuda {
namespace cudart {

namespace {
Error wrap(cudaError_t e) { return static_cast<Error>(static_cast<int>(e)); }
cudaMemcpyKind kindOf(MemcpyKind k) { return static_cast<cudaMemcpyKind>(static_cast<int>(k)); }
}  // namespace

int deviceCount(const char** why) {
  int n = 0;
  const cudaError_t e = cudaGetDeviceCount(&n);
  if (e != cudaSuccess) {
    if (why) *why = cudaGetErrorString(e);
    cudaGetLastError();
    return 0;
  }
  return n;
}

Error malloc(void** ptr, std::size_t size) { return wrap(cudaMalloc(ptr, size)); }
Error mallocPitch(void** ptr, std::size_t* pitch, std::size_t width_bytes, std::size_t height) {
  return wrap(cudaMallocPitch(ptr, pitch, width_bytes, height));
}
Error free(void* ptr) { return wrap(cudaFree(ptr)); }
Error memcpy(void* dst, const void* src, std::size_t count, MemcpyKind kind) {
  return wrap(cudaMemcpy(dst, src, count, kindOf(kind)));
}
Error memcpy2D(void* dst, std::size_t dpitch, const void* src, std::size_t spitch, std::size_t width_bytes,
               std::size_t height, MemcpyKind kind, void* stream) {
  if (!stream) return wrap(cudaMemcpy2D(dst, dpitch, src, spitch, width_bytes, height, kindOf(kind)));
  return wrap(cudaMemcpy2DAsync(dst, dpitch, src, spitch, width_bytes, height, kindOf(kind),
                                static_cast<cudaStream_t>(stream)));
}
Error memset(void* ptr, int value, std::size_t count) { return wrap(cudaMemset(ptr, value, count)); }
Error memset2D(void* ptr, std::size_t pitch, int value, std::size_t width_bytes, std::size_t height, void* stream) {
  if (!stream) return wrap(cudaMemset2D(ptr, pitch, value, width_bytes, height));
  return wrap(cudaMemset2DAsync(ptr, pitch, value, width_bytes, height, static_cast<cudaStream_t>(stream)));
}
Error deviceSynchronize() { return wrap(cudaDeviceSynchronize()); }
Error getLastError() { return wrap(cudaGetLastError()); }
const char* getErrorString(Error e) { return cudaGetErrorString(static_cast<cudaError_t>(static_cast<int>(e))); }

void* streamCreate() {
  cudaStream_t s = nullptr;
  if (cudaStreamCreate(&s) != cudaSuccess) return nullptr;
  return s;
}
void streamDestroy(void* s) {
  if (s) cudaStreamDestroy(static_cast<cudaStream_t>(s));
}
Error streamSynchronize(void* s) { return wrap(cudaStreamSynchronize(static_cast<cudaStream_t>(s))); }
bool streamQuery(void* s) { return cudaStreamQuery(static_cast<cudaStream_t>(s)) == cudaSuccess; }

}  // namespace cudart
}  // namespace cuda
}  // namespace lumaweave
