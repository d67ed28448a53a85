// GPU warpers: a remap base owning two coordinate maps on the device, and the warpers that
// build those maps once (lens undistortion here; projections in the same header).
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "lumaweave/cuda/gpumat.hpp"

namespace lumaweave {

class FastWarper {
 public:
  FastWarper(int interpolation, int border_mode, cv::Scalar border_value);
  virtual ~FastWarper();

  // Resamples src through the maps; dst gets the maps' size whatever the size of src.
  virtual void warp(const cuda::GpuMat& src, cuda::GpuMat& dst, cuda::Stream& stream = cuda::Stream::Null());

  const cuda::GpuMat& xmap() const { return _xmap; }
  const cuda::GpuMat& ymap() const { return _ymap; }

 protected:
  int _interpolation;
  int _border_mode;
  cv::Scalar _border_value;
  cuda::GpuMat _xmap;
  cuda::GpuMat _ymap;
};

class UndistortWarper : public FastWarper {
 public:
  UndistortWarper(int interpolation, int border_mode, cv::Scalar border_value);
  ~UndistortWarper() override;

  // Builds the maps that undo the lens distortion of K, D for frames of src_size (the
  // undistorted frame keeps that size) and returns the region holding only valid pixels.
  virtual cv::Rect prepare(const cv::Size& src_size, cv::InputArray K, cv::InputArray D);

  cv::Rect dst_roi() const { return _dst_roi; }

 protected:
  cv::Rect _dst_roi;
};

}  // namespace lumaweave
