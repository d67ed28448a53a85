// Raw device memory, mirroring the CUDA runtime calls it stands in for. On the host backend
// "device" memory is ordinary host RAM and every copy is a plain memcpy.
#pragma once

#include <cstddef>

namespace lumaweave {
namespace cuda {

enum class Backend { Host, Cuda };

// The backend in use, chosen once per process from LUMAWEAVE_BACKEND (auto|host|cuda).
// Throws cv::Exception when the variable asks for something this build or machine lacks.
Backend activeBackend();
const char* backendName(Backend b);
bool builtWithCuda();   // the library holds the CUDA backend
int deviceCount();      // CUDA devices visible (0 without the CUDA backend)

// Error codes keep the CUDA runtime's numbering for the values we use.
enum Error : int {
  Success = 0,
  ErrorInvalidValue = 1,
  ErrorMemoryAllocation = 2,
  ErrorNoDevice = 100,
  ErrorUnknown = 999,
};

enum MemcpyKind : int {
  MemcpyHostToHost = 0,
  MemcpyHostToDevice = 1,
  MemcpyDeviceToHost = 2,
  MemcpyDeviceToDevice = 3,
  MemcpyDefault = 4,
};

Error malloc(void** ptr, std::size_t size);
Error mallocPitch(void** ptr, std::size_t* pitch, std::size_t width_bytes, std::size_t height);
Error free(void* ptr);
Error memcpy(void* dst, const void* src, std::size_t count, MemcpyKind kind);
Error memcpy2D(void* dst, std::size_t dpitch, const void* src, std::size_t spitch, std::size_t width_bytes,
               std::size_t height, MemcpyKind kind, void* stream = nullptr);
Error memset(void* ptr, int value, std::size_t count);
Error memset2D(void* ptr, std::size_t pitch, int value, std::size_t width_bytes, std::size_t height,
               void* stream = nullptr);
Error deviceSynchronize();
Error getLastError();  // returns and clears the last error of this thread
const char* getErrorString(Error e);

// Raises cv::Exception (cv::Error::GpuApiCallError) for a failed call.
void check(Error e, const char* call, const char* file, int line);

}  // namespace cuda
}  // namespace lumaweave

#define LW_CUDA_CHECK(expr) ::lumaweave::cuda::check((expr), #expr, __FILE__, __LINE__)
