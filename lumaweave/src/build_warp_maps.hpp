// Internal: the projection map builders behind PlaneWarper, SphericalWarper, CylindricalWarper.
#pragma once

#include <cstddef>

#include <opencv2/core.hpp>
#include <opencv2/core/cuda_types.hpp>

#include "lumaweave/cuda/gpumat.hpp"

namespace lumaweave {

// Fill map_x/map_y (created with dst_roi's size, CV_32FC1) with the source position of every
// destination pixel; dst_roi.tl() is the projected-plane point of pixel (0, 0). K, R (and T)
// must be single precision; the maps are complete when the call returns.
void buildWarpPlaneMaps(cv::Size src_size, cv::Rect dst_roi, cv::InputArray K, cv::InputArray R, cv::InputArray T,
                        float scale, cuda::GpuMat& map_x, cuda::GpuMat& map_y, cuda::Stream& stream);
void buildWarpSphericalMaps(cv::Size src_size, cv::Rect dst_roi, cv::InputArray K, cv::InputArray R, float scale,
                            cuda::GpuMat& map_x, cuda::GpuMat& map_y, cuda::Stream& stream);
void buildWarpCylindricalMaps(cv::Size src_size, cv::Rect dst_roi, cv::InputArray K, cv::InputArray R, float scale,
                              cuda::GpuMat& map_x, cuda::GpuMat& map_y, cuda::Stream& stream);

}  // namespace lumaweave

namespace cv {
namespace cuda {
namespace device {
namespace imgproc {

// Device launchers: k_rinv = K*R^T and r_kinv = R*K^-1 (9 floats, row-major), t = 3 floats.
// stream is the raw stream handle (nullptr: the null stream). The kernel always runs on the
// default stream and has finished when these return.
void buildWarpPlaneMaps(int tl_u, int tl_v, PtrStepSzf map_x, PtrStepSzf map_y, const float k_rinv[9],
                        const float r_kinv[9], const float t[3], float scale, void* stream);
void buildWarpSphericalMaps(int tl_u, int tl_v, PtrStepSzf map_x, PtrStepSzf map_y, const float k_rinv[9],
                            const float r_kinv[9], float scale, void* stream);
void buildWarpCylindricalMaps(int tl_u, int tl_v, PtrStepSzf map_x, PtrStepSzf map_y, const float k_rinv[9],
                              const float r_kinv[9], float scale, void* stream);

}  // namespace imgproc
}  // namespace device
}  // namespace cuda
}  // namespace cv
