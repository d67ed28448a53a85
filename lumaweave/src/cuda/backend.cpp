#include <cstdlib>
#include <cstring>
#include <string>

#include <opencv2/core.hpp>

#include "cuda/backend.hpp"
#include "cuda/launch.cuh"
#include "lumaweave/cuda/runtime.hpp"

namespace lumaweave {
namespace cuda {

namespace {

constexpr std::size_t kHostAlign = 64;

thread_local Error t_last_error = Success;

Error record(Error e) {
  if (e != Success) t_last_error = e;
  return e;
}

Backend selectBackend() {
  const char* env = std::getenv("LUMAWEAVE_BACKEND");
  const std::string want = env ? env : "auto";
  if (want == "host") return Backend::Host;
  if (want != "auto" && want != "cuda")
    CV_Error(cv::Error::StsBadArg, "LUMAWEAVE_BACKEND must be auto, host or cuda, not '" + want + "'");
#ifdef LUMAWEAVE_WITH_CUDA
  const char* why = nullptr;
  const int n = cudart::deviceCount(&why);
  if (n > 0) return Backend::Cuda;
  if (want == "cuda")
    CV_Error(cv::Error::GpuNotSupported,
             std::string("LUMAWEAVE_BACKEND=cuda but no CUDA device is available: ") + (why ? why : "no device"));
  return Backend::Host;
#else
  if (want == "cuda")
    CV_Error(cv::Error::GpuNotSupported,
             "LUMAWEAVE_BACKEND=cuda but this build of lumaweave has no CUDA backend "
             "(configure with -DLUMAWEAVE_CUDA=ON)");
  return Backend::Host;
#endif
}

bool onDevice() { return activeBackend() == Backend::Cuda; }

}  // namespace

Backend activeBackend() {
  static const Backend backend = selectBackend();
  return backend;
}

const char* backendName(Backend b) { return b == Backend::Cuda ? "cuda" : "host"; }

bool builtWithCuda() {
#ifdef LUMAWEAVE_WITH_CUDA
  return true;
#else
  return false;
#endif
}

int deviceCount() {
#ifdef LUMAWEAVE_WITH_CUDA
  return cudart::deviceCount(nullptr);
#else
  return 0;
#endif
}

#ifdef LUMAWEAVE_WITH_CUDA
#define LW_ON_DEVICE(call) \
  if (onDevice()) return record(cudart::call)
#else
#define LW_ON_DEVICE(call) (void)0
#endif

Error malloc(void** ptr, std::size_t size) {
  if (!ptr) return record(ErrorInvalidValue);
  LW_ON_DEVICE(malloc(ptr, size));
  const std::size_t bytes = ((size ? size : 1) + kHostAlign - 1) / kHostAlign * kHostAlign;
  *ptr = std::aligned_alloc(kHostAlign, bytes);
  return *ptr ? Success : record(ErrorMemoryAllocation);
}

Error mallocPitch(void** ptr, std::size_t* pitch, std::size_t width_bytes, std::size_t height) {
  if (!ptr || !pitch) return record(ErrorInvalidValue);
  LW_ON_DEVICE(mallocPitch(ptr, pitch, width_bytes, height));
  // Rows padded like a device pitch, so ROI and pitch handling is exercised here too.
  *pitch = (width_bytes + kHostAlign - 1) / kHostAlign * kHostAlign;
  return malloc(ptr, *pitch * height);
}

Error free(void* ptr) {
  LW_ON_DEVICE(free(ptr));
  std::free(ptr);
  return Success;
}

Error memcpy(void* dst, const void* src, std::size_t count, MemcpyKind kind) {
  LW_ON_DEVICE(memcpy(dst, src, count, kind));
  (void)kind;  // one address space on the host
  if (count && (!dst || !src)) return record(ErrorInvalidValue);
  if (count) std::memmove(dst, src, count);
  return Success;
}

Error memcpy2D(void* dst, std::size_t dpitch, const void* src, std::size_t spitch, std::size_t width_bytes,
               std::size_t height, MemcpyKind kind, void* stream) {
  LW_ON_DEVICE(memcpy2D(dst, dpitch, src, spitch, width_bytes, height, kind, stream));
  (void)stream;
  (void)kind;
  if (width_bytes > dpitch || width_bytes > spitch) return record(ErrorInvalidValue);
  if (!width_bytes || !height) return Success;
  if (!dst || !src) return record(ErrorInvalidValue);
  auto* d = static_cast<unsigned char*>(dst);
  const auto* s = static_cast<const unsigned char*>(src);
  if (dpitch == spitch && dpitch == width_bytes) {
    std::memmove(d, s, width_bytes * height);
  } else {
    for (std::size_t y = 0; y < height; ++y) std::memmove(d + y * dpitch, s + y * spitch, width_bytes);
  }
  return Success;
}

Error memset(void* ptr, int value, std::size_t count) {
  LW_ON_DEVICE(memset(ptr, value, count));
  if (count && !ptr) return record(ErrorInvalidValue);
  if (count) std::memset(ptr, value, count);
  return Success;
}

Error memset2D(void* ptr, std::size_t pitch, int value, std::size_t width_bytes, std::size_t height, void* stream) {
  LW_ON_DEVICE(memset2D(ptr, pitch, value, width_bytes, height, stream));
  (void)stream;
  if (width_bytes > pitch) return record(ErrorInvalidValue);
  if (!width_bytes || !height) return Success;
  if (!ptr) return record(ErrorInvalidValue);
  for (std::size_t y = 0; y < height; ++y) std::memset(static_cast<unsigned char*>(ptr) + y * pitch, value, width_bytes);
  return Success;
}

Error deviceSynchronize() {
  LW_ON_DEVICE(deviceSynchronize());
  return Success;
}

Error getLastError() {
#ifdef LUMAWEAVE_WITH_CUDA
  if (onDevice()) {
    const Error e = cudart::getLastError();
    if (e != Success) {
      t_last_error = Success;
      return e;
    }
  }
#endif
  const Error e = t_last_error;
  t_last_error = Success;
  return e;
}

const char* getErrorString(Error e) {
#ifdef LUMAWEAVE_WITH_CUDA
  if (builtWithCuda() && e != Success) return cudart::getErrorString(e);
#endif
  switch (e) {
    case Success: return "no error";
    case ErrorInvalidValue: return "invalid argument";
    case ErrorMemoryAllocation: return "out of memory";
    case ErrorNoDevice: return "no CUDA-capable device is detected";
    default: return "unknown error";
  }
}

void check(Error e, const char* call, const char* file, int line) {
  if (e == Success) return;
  cv::error(cv::Error::GpuApiCallError, std::string(getErrorString(e)) + " (" + call + ")", call, file, line);
}

namespace detail {

bool deviceActive() { return onDevice(); }

void checkLaunch(const char* kernel, void* stream, const char* file, int line) {
#ifdef LUMAWEAVE_WITH_CUDA
  check(cudart::getLastError(), kernel, file, line);
  if (stream == nullptr) check(cudart::deviceSynchronize(), kernel, file, line);
#else
  (void)kernel;
  (void)stream;
  (void)file;
  (void)line;
#endif
}

}  // namespace detail

}  // namespace cuda
}  // namespace lumaweave
