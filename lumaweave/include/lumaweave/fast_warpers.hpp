// GPU warpers: a remap base owning two coordinate maps on the device, and the warpers that
// build those maps once (lens undistortion here; projections in the same header).
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/stitching/detail/warpers.hpp>

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

// A projection onto a plane, cylinder or sphere. prepare() builds the remap tables once (on the
// device) and returns where the warped image lies in the projected plane; warp() is the base's.
class ProjectWarper : public FastWarper {
 public:
  ProjectWarper(int interpolation, int border_mode, cv::Scalar border_value);
  ~ProjectWarper() override;

  virtual void set_scale(float scale) = 0;
  // K: 3x3 CV_32F camera matrix; R: 3x3 CV_32F rotation.
  virtual cv::Rect prepare(const cv::Size& src_size, cv::InputArray K, cv::InputArray R) = 0;

  cv::Rect dst_roi() const { return _dst_roi; }

 protected:
  cv::Rect _dst_roi;
};

class PlaneWarper : public ProjectWarper, public cv::detail::PlaneWarper {
 public:
  explicit PlaneWarper(float scale, int interpolation = cv::INTER_LINEAR, int border_mode = cv::BORDER_CONSTANT,
                       cv::Scalar border_value = cv::Scalar());
  ~PlaneWarper() override;
  using ProjectWarper::warp;

  void set_scale(float scale) override;
  cv::Rect prepare(const cv::Size& src_size, cv::InputArray K, cv::InputArray R) override;
  // T: 3x1 or 1x3 CV_32F translation.
  virtual cv::Rect prepare(const cv::Size& src_size, cv::InputArray K, cv::InputArray R, cv::InputArray T);
};

class SphericalWarper : public ProjectWarper, public cv::detail::SphericalWarper {
 public:
  explicit SphericalWarper(float scale, int interpolation = cv::INTER_LINEAR, int border_mode = cv::BORDER_CONSTANT,
                           cv::Scalar border_value = cv::Scalar());
  ~SphericalWarper() override;
  using ProjectWarper::warp;

  void set_scale(float scale) override;
  cv::Rect prepare(const cv::Size& src_size, cv::InputArray K, cv::InputArray R) override;
};

class CylindricalWarper : public ProjectWarper, public cv::detail::CylindricalWarper {
 public:
  explicit CylindricalWarper(float scale, int interpolation = cv::INTER_LINEAR,
                             int border_mode = cv::BORDER_CONSTANT, cv::Scalar border_value = cv::Scalar());
  ~CylindricalWarper() override;
  using ProjectWarper::warp;

  void set_scale(float scale) override;
  cv::Rect prepare(const cv::Size& src_size, cv::InputArray K, cv::InputArray R) override;
};

}  // namespace lumaweave
