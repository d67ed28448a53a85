// Image operations in the style of OpenCV's CUDA modules (same argument order and defaults).
#pragma once

#include "lumaweave/cuda/gpumat.hpp"

namespace lumaweave {
namespace cuda {

// Resamples src through per-pixel source coordinates (CV_32FC1 maps); dst has the maps' size.
// Types CV_8UC1/3/4 and CV_32FC1; INTER_NEAREST or INTER_LINEAR; BORDER_CONSTANT or BORDER_REPLICATE.
void remap(const GpuMat& src, GpuMat& dst, const GpuMat& xmap, const GpuMat& ymap, int interpolation,
           int borderMode = cv::BORDER_CONSTANT, cv::Scalar borderValue = cv::Scalar(),
           Stream& stream = Stream::Null());

// COLOR_RGBA2BGR, COLOR_BGR2RGBA and COLOR_BGR2GRAY on 8-bit images.
void cvtColor(const GpuMat& src, GpuMat& dst, int code, int dcn = 0, Stream& stream = Stream::Null());

}  // namespace cuda
}  // namespace lumaweave
