// Internal: the CUDA runtime side of the device layer, present only in the CUDA build.
#pragma once

#include <cstddef>

#include "lumaweave/cuda/runtime.hpp"

namespace lumaweave {
namespace cuda {
namespace cudart {

int deviceCount(const char** why);
Error malloc(void** ptr, std::size_t size);
Error mallocPitch(void** ptr, std::size_t* pitch, std::size_t width_bytes, std::size_t height);
Error free(void* ptr);
Error memcpy(void* dst, const void* src, std::size_t count, MemcpyKind kind);
Error memcpy2D(void* dst, std::size_t dpitch, const void* src, std::size_t spitch, std::size_t width_bytes,
               std::size_t height, MemcpyKind kind, void* stream);
Error memset(void* ptr, int value, std::size_t count);
Error memset2D(void* ptr, std::size_t pitch, int value, std::size_t width_bytes, std::size_t height, void* stream);
Error deviceSynchronize();
Error getLastError();
const char* getErrorString(Error e);
void* streamCreate();
void streamDestroy(void* s);
Error streamSynchronize(void* s);
bool streamQuery(void* s);

}  // namespace cudart
}  // namespace cuda
}  // namespace lumaweave
