#include "lumaweave/live_calibrator.hpp"

#include <opencv2/imgproc.hpp>

#include "undistort_maps.hpp"

namespace lumaweave {

Undistorter::Undistorter(int interpolation, int border_mode, cv::Scalar border_value)
    : _interpolation(interpolation), _border_mode(border_mode), _border_value(border_value) {}

Undistorter::~Undistorter() = default;

cv::Rect Undistorter::prepare(const cv::Size& src_size, cv::InputArray K, cv::InputArray D, double alpha) {
  _dst_roi = buildUndistortMaps(src_size, K, D, alpha, _map1, _map2);
  return _dst_roi;
}

void Undistorter::warp(cv::InputArray src, cv::OutputArray dst) {
  cv::remap(src, dst, _map1, _map2, _interpolation, _border_mode, _border_value);
}

}  // namespace lumaweave
