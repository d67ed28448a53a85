// Internal: the device layer's own kernels. The cuda backend runs them on the GPU; on the host
// backend the standard operations call OpenCV instead, and these run on the CPU launcher only
// when called directly (the tests do, so the device code is checked on every machine).
// Arguments are validated and dst is allocated by the caller.
#pragma once

#include "lumaweave/cuda/gpumat.hpp"

namespace lumaweave {
namespace cuda {
namespace kernels {

void copyMasked(const GpuMat& src, GpuMat& dst, const GpuMat& mask, Stream& stream);
void setTo(GpuMat& dst, cv::Scalar value, const GpuMat* mask, Stream& stream);
void convert(const GpuMat& src, GpuMat& dst, double alpha, double beta, Stream& stream);
void remap(const GpuMat& src, GpuMat& dst, const GpuMat& xmap, const GpuMat& ymap, int interpolation,
           int border_mode, cv::Scalar border_value, Stream& stream);
void cvtColor(const GpuMat& src, GpuMat& dst, int code, Stream& stream);

}  // namespace kernels
}  // namespace cuda
}  // namespace lumaweave
