// Projection warper fixtures: the three projections, realistic rig cameras, OpenCV's own CPU
// maps as the reference, and a map comparison in units of a tolerance.
#pragma once

#include <memory>

#include <opencv2/core.hpp>

#include "lumaweave/fast_warpers.hpp"

namespace lwtest {

enum class Projection { Plane, Spherical, Cylindrical };

const char* name(Projection p);
std::unique_ptr<lumaweave::ProjectWarper> makeWarper(Projection p, float scale);

// OpenCV's CPU buildMaps (OpenCL off) and the rectangle it returns (inclusive corners).
struct ReferenceMaps {
  cv::Mat xmap, ymap;
  cv::Rect rect;
};
ReferenceMaps referenceMaps(Projection p, float scale, cv::Size src, const cv::Mat& K, const cv::Mat& R,
                            const cv::Mat& T = cv::Mat());

// Single-precision camera matrix with focal f, a slightly off-centre principal point and a
// touch of aspect, and a rotation: yaw about y, then pitch about x, then roll about z (degrees).
cv::Mat cameraMatrix(double f, cv::Size size);
cv::Mat rotation(double yaw, double pitch, double roll);

struct Rig {
  cv::Size src;
  double focal, yaw, pitch, roll;
};

// Left and right camera of a rig, a ragged size, a wide lens.
extern const Rig kRigs[4];
extern const Projection kProjections[3];

// Largest element difference in units of max(abs_tol, rel_tol * |expected|); NaN pairs agree.
// With src_size given, positions that both maps put more than a pixel off the source are
// skipped: they resample to the border either way.
double worstError(const cv::Mat& got, const cv::Mat& expected, double abs_tol, double rel_tol);
double worstError(const cv::Mat& got_x, const cv::Mat& got_y, const cv::Mat& exp_x, const cv::Mat& exp_y,
                  cv::Size src_size, double abs_tol, double rel_tol);

}  // namespace lwtest
