#include "support/projection_fixture.hpp"

#include <algorithm>
#include <cmath>

#include <opencv2/calib3d.hpp>
#include <opencv2/core/ocl.hpp>
#include <opencv2/stitching/detail/warpers.hpp>

namespace lwtest {

const Rig kRigs[4] = {
    {{1280, 720}, 1000, -20, 1.5, -0.8},
    {{1280, 720}, 1000, 20, -1.0, 0.6},
    {{643, 361}, 520, 13, 2.5, 1.7},
    {{640, 480}, 300, -35, 8, -4},
};

const Projection kProjections[3] = {Projection::Plane, Projection::Spherical, Projection::Cylindrical};

const char* name(Projection p) {
  switch (p) {
    case Projection::Plane: return "plane";
    case Projection::Spherical: return "spherical";
    default: return "cylindrical";
  }
}

std::unique_ptr<lumaweave::ProjectWarper> makeWarper(Projection p, float scale) {
  switch (p) {
    case Projection::Plane: return std::make_unique<lumaweave::PlaneWarper>(scale);
    case Projection::Spherical: return std::make_unique<lumaweave::SphericalWarper>(scale);
    default: return std::make_unique<lumaweave::CylindricalWarper>(scale);
  }
}

ReferenceMaps referenceMaps(Projection p, float scale, cv::Size src, const cv::Mat& K, const cv::Mat& R,
                            const cv::Mat& T) {
  cv::ocl::setUseOpenCL(false);
  ReferenceMaps r;
  switch (p) {
    case Projection::Plane: {
      cv::detail::PlaneWarper w(scale);
      r.rect = T.empty() ? w.buildMaps(src, K, R, r.xmap, r.ymap) : w.buildMaps(src, K, R, T, r.xmap, r.ymap);
      break;
    }
    case Projection::Spherical: r.rect = cv::detail::SphericalWarper(scale).buildMaps(src, K, R, r.xmap, r.ymap); break;
    default: r.rect = cv::detail::CylindricalWarper(scale).buildMaps(src, K, R, r.xmap, r.ymap); break;
  }
  return r;
}

cv::Mat cameraMatrix(double f, cv::Size size) {
  return (cv::Mat_<float>(3, 3) << f, 0, size.width / 2.0 + 3.25, 0, f * 1.002, size.height / 2.0 - 1.5, 0, 0, 1);
}

cv::Mat rotation(double yaw, double pitch, double roll) {
  const double d = CV_PI / 180;
  cv::Mat ry, rx, rz, r;
  cv::Rodrigues(cv::Vec3d(0, yaw * d, 0), ry);
  cv::Rodrigues(cv::Vec3d(pitch * d, 0, 0), rx);
  cv::Rodrigues(cv::Vec3d(0, 0, roll * d), rz);
  cv::Mat(rz * rx * ry).convertTo(r, CV_32F);
  return r;
}

namespace {

double errorOf(double a, double b, double abs_tol, double rel_tol) {
  if (std::isnan(a) && std::isnan(b)) return 0;
  if (a == b) return 0;  // also equal infinities
  const double tol = std::max(abs_tol, rel_tol * std::abs(b));
  return std::isfinite(a - b) ? std::abs(a - b) / tol : HUGE_VAL;
}

}  // namespace

double worstError(const cv::Mat& got, const cv::Mat& expected, double abs_tol, double rel_tol) {
  CV_Assert(got.size() == expected.size() && got.type() == CV_32F && expected.type() == CV_32F);
  double worst = 0;
  for (int y = 0; y < got.rows; ++y)
    for (int x = 0; x < got.cols; ++x)
      worst = std::max(worst, errorOf(got.at<float>(y, x), expected.at<float>(y, x), abs_tol, rel_tol));
  return worst;
}

double worstError(const cv::Mat& got_x, const cv::Mat& got_y, const cv::Mat& exp_x, const cv::Mat& exp_y,
                  cv::Size src, double abs_tol, double rel_tol) {
  CV_Assert(got_x.size() == exp_x.size() && got_y.size() == exp_y.size() && got_x.size() == got_y.size());
  const auto off = [&](float x, float y) { return !(x > -1 && y > -1 && x < src.width && y < src.height); };
  double worst = 0;
  for (int y = 0; y < got_x.rows; ++y)
    for (int x = 0; x < got_x.cols; ++x) {
      const float gx = got_x.at<float>(y, x), gy = got_y.at<float>(y, x);
      const float ex = exp_x.at<float>(y, x), ey = exp_y.at<float>(y, x);
      if (off(gx, gy) && off(ex, ey)) continue;
      worst = std::max({worst, errorOf(gx, ex, abs_tol, rel_tol), errorOf(gy, ey, abs_tol, rel_tol)});
    }
  return worst;
}

}  // namespace lwtest
