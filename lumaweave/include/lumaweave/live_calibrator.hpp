// Live calibration of the camera pair (the calibrator itself is still to come) and the CPU
// undistortion it uses.
#pragma once

#include <opencv2/core.hpp>

namespace lumaweave {

// Lens undistortion on the CPU: the maps of UndistortWarper, kept in host memory.
class Undistorter {
 public:
  Undistorter(int interpolation, int border_mode, cv::Scalar border_value);
  ~Undistorter();

  // alpha as for cv::getOptimalNewCameraMatrix: 1 keeps every source pixel, 0 only valid ones.
  cv::Rect prepare(const cv::Size& src_size, cv::InputArray K, cv::InputArray D, double alpha);
  void warp(cv::InputArray src, cv::OutputArray dst);

  cv::Rect dst_roi() const { return _dst_roi; }

 private:
  int _interpolation;
  int _border_mode;
  cv::Scalar _border_value;
  cv::Mat _map1;
  cv::Mat _map2;
  cv::Rect _dst_roi;
};

}  // namespace lumaweave
