#include "lumaweave/fast_warpers.hpp"

#include <opencv2/calib3d.hpp>

#include "lumaweave/cuda/ops.hpp"
#include "undistort_maps.hpp"

namespace lumaweave {

cv::Rect buildUndistortMaps(const cv::Size& src_size, cv::InputArray K_, cv::InputArray D_, double alpha,
                            cv::Mat& map1, cv::Mat& map2) {
  const cv::Mat K = K_.getMat(), D = D_.getMat();
  cv::Rect roi;
  const cv::Mat new_K = cv::getOptimalNewCameraMatrix(K, D, src_size, alpha, cv::Size(), &roi, false);
  cv::initUndistortRectifyMap(K, D, cv::Mat(), new_K, src_size, CV_32FC1, map1, map2);
  return cv::Rect(roi.x, roi.y, roi.width + 1, roi.height + 1);
}

FastWarper::FastWarper(int interpolation, int border_mode, cv::Scalar border_value)
    : _interpolation(interpolation), _border_mode(border_mode), _border_value(border_value) {}

FastWarper::~FastWarper() = default;

void FastWarper::warp(const cuda::GpuMat& src, cuda::GpuMat& dst, cuda::Stream& stream) {
  cuda::remap(src, dst, _xmap, _ymap, _interpolation, _border_mode, _border_value, stream);
}

UndistortWarper::UndistortWarper(int interpolation, int border_mode, cv::Scalar border_value)
    : FastWarper(interpolation, border_mode, border_value), _dst_roi() {}

UndistortWarper::~UndistortWarper() = default;

cv::Rect UndistortWarper::prepare(const cv::Size& src_size, cv::InputArray K, cv::InputArray D) {
  cv::Mat map1, map2;
  const cv::Rect roi = buildUndistortMaps(src_size, K, D, 1.0, map1, map2);
  _xmap.upload(map1);
  _ymap.upload(map2);
  _dst_roi = roi;
  return _dst_roi;
}

}  // namespace lumaweave
