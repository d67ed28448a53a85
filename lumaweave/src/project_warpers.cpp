// Projection warpers: the OpenCV base keeps the scale and the projector and finds the projected
// rectangle; the remap tables are built by our own kernels into the device maps.
#include <climits>
#include <cstdint>
#include <string>

#include "build_warp_maps.hpp"
#include "lumaweave/fast_warpers.hpp"

namespace lumaweave {

namespace {

// OpenCV reports inclusive corners; the warped image is one pixel larger each way. A degenerate
// view (e.g. a plane seen edge-on) gives corners far out or overflowed, and no remap can use
// maps that large, so refuse it before allocating anything.
cv::Rect roiFromCorners(cv::Point tl, cv::Point br) {
  const std::int64_t w = std::int64_t(br.x) - tl.x + 1;
  const std::int64_t h = std::int64_t(br.y) - tl.y + 1;
  if (w <= 0 || h <= 0 || w >= SHRT_MAX || h >= SHRT_MAX)
    CV_Error(cv::Error::StsOutOfRange, "projected image size out of range: " + std::to_string(w) + "x" +
                                           std::to_string(h) + " (the view is degenerate for this projection)");
  return cv::Rect(tl.x, tl.y, int(w), int(h));
}

// With no source pixels OpenCV's corner search still returns a box (corners at INT_MIN for the
// sphere and cylinder), which would become a map of a nonsense place.
void checkSourceSize(const cv::Size& src_size) {
  if (src_size.width <= 0 || src_size.height <= 0)
    CV_Error(cv::Error::StsBadSize, "source size must be positive, got " + std::to_string(src_size.width) + "x" +
                                        std::to_string(src_size.height));
}

cv::Mat zeroTranslation() { return cv::Mat::zeros(3, 1, CV_32F); }

using RotationBuilder = void (*)(cv::Size, cv::Rect, cv::InputArray, cv::InputArray, float, cuda::GpuMat&,
                                 cuda::GpuMat&, cuda::Stream&);

}  // namespace

ProjectWarper::ProjectWarper(int interpolation, int border_mode, cv::Scalar border_value)
    : FastWarper(interpolation, border_mode, border_value), _dst_roi() {}

ProjectWarper::~ProjectWarper() = default;

// ---------------------------------------------------------------------------- plane
PlaneWarper::PlaneWarper(float scale, int interpolation, int border_mode, cv::Scalar border_value)
    : ProjectWarper(interpolation, border_mode, border_value), cv::detail::PlaneWarper(scale) {}

PlaneWarper::~PlaneWarper() = default;

void PlaneWarper::set_scale(float scale) { setScale(scale); }

cv::Rect PlaneWarper::prepare(const cv::Size& src_size, cv::InputArray K, cv::InputArray R) {
  return prepare(src_size, K, R, zeroTranslation());
}

cv::Rect PlaneWarper::prepare(const cv::Size& src_size, cv::InputArray K, cv::InputArray R, cv::InputArray T) {
  projector_.setCameraParams(K, R, T);
  checkSourceSize(src_size);
  cv::Point tl, br;
  detectResultRoi(src_size, tl, br);
  const cv::Rect roi = roiFromCorners(tl, br);
  // Built aside and swapped in, so a failure leaves the previous maps and rectangle intact.
  cuda::GpuMat xmap, ymap;
  buildWarpPlaneMaps(src_size, roi, K, R, T, getScale(), xmap, ymap, cuda::Stream::Null());
  _xmap = xmap;
  _ymap = ymap;
  _dst_roi = roi;
  return _dst_roi;
}

// ---------------------------------------------------------------------------- sphere, cylinder
namespace {

// Steps after the projector is set and the corners are found; maps swapped in as for the plane.
cv::Rect buildRotationMaps(const cv::Size& src_size, cv::InputArray K, cv::InputArray R, float scale,
                           RotationBuilder build, cv::Point tl, cv::Point br, cuda::GpuMat& map_x,
                           cuda::GpuMat& map_y, cv::Rect& dst_roi) {
  const cv::Rect roi = roiFromCorners(tl, br);
  cuda::GpuMat xmap, ymap;
  build(src_size, roi, K, R, scale, xmap, ymap, cuda::Stream::Null());
  map_x = xmap;
  map_y = ymap;
  dst_roi = roi;
  return dst_roi;
}

}  // namespace

SphericalWarper::SphericalWarper(float scale, int interpolation, int border_mode, cv::Scalar border_value)
    : ProjectWarper(interpolation, border_mode, border_value), cv::detail::SphericalWarper(scale) {}

SphericalWarper::~SphericalWarper() = default;

void SphericalWarper::set_scale(float scale) { setScale(scale); }

cv::Rect SphericalWarper::prepare(const cv::Size& src_size, cv::InputArray K, cv::InputArray R) {
  projector_.setCameraParams(K, R, zeroTranslation());
  checkSourceSize(src_size);
  cv::Point tl, br;
  detectResultRoi(src_size, tl, br);
  return buildRotationMaps(src_size, K, R, getScale(), &buildWarpSphericalMaps, tl, br, _xmap, _ymap, _dst_roi);
}

CylindricalWarper::CylindricalWarper(float scale, int interpolation, int border_mode, cv::Scalar border_value)
    : ProjectWarper(interpolation, border_mode, border_value), cv::detail::CylindricalWarper(scale) {}

CylindricalWarper::~CylindricalWarper() = default;

void CylindricalWarper::set_scale(float scale) { setScale(scale); }

cv::Rect CylindricalWarper::prepare(const cv::Size& src_size, cv::InputArray K, cv::InputArray R) {
  projector_.setCameraParams(K, R, zeroTranslation());
  checkSourceSize(src_size);
  cv::Point tl, br;
  detectResultRoi(src_size, tl, br);
  return buildRotationMaps(src_size, K, R, getScale(), &buildWarpCylindricalMaps, tl, br, _xmap, _ymap, _dst_roi);
}

}  // namespace lumaweave
