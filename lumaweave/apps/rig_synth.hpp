// A synthetic two-camera rig with ground truth: both cameras look at one scene texture laid
// over the sphere of view directions, through a chosen lens and a chosen relative rotation.
// It renders the cameras' frames, writes the camera files a calibration would have produced,
// and renders the panorama of any projection directly from the scene for comparison.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/stitching/detail/camera.hpp>

namespace lwrig {

struct RigSetup {
  cv::Size frame_size{1280, 720};
  double focal = 0;             // pixels; 0: 0.7 x frame width
  bool distorted = true;        // barrel lens (else a pinhole and no camera info file)
  double k1 = -0.22, k2 = 0.05, k3 = -0.008;
  double yaw_deg = 20;          // camera 0 looks this far left, camera 1 this far right
  double pitch_deg = 1.5;       // small misalignments, as a real rig has
  double roll_deg = 0.8;
};

class Rig {
 public:
  explicit Rig(const RigSetup& setup);

  const RigSetup& setup() const { return _setup; }
  // The lens of both cameras (distortion all zero for a pinhole rig).
  const cv::Mat& K() const { return _K; }
  const cv::Mat& D() const { return _D; }
  // What a calibration of the undistorted frames gives: focal, principal point, rotation.
  const std::vector<cv::detail::CameraParams>& cameras() const { return _cameras; }
  // Scene texture size the rig needs (pixels per radian = focal).
  cv::Size texture_size() const { return _texture_size; }

  // The two camera frames (BGR) of one scene image (any size; it is stretched over the rig's view).
  void render(const cv::Mat& scene, std::vector<cv::Mat>& frames) const;

  // The panorama seen directly from the scene, for a projection ("plane", "spherical",
  // "cylindrical") at `scale` over `rect` of the projected plane.
  cv::Mat panorama(const cv::Mat& scene, const std::string& projection, float scale, const cv::Rect& rect) const;

  // Writes the camera info (JSON form; only for a distorted rig, else info_path is left
  // empty) and the camera parameter file into dir.
  bool write_files(const std::string& dir, std::string& info_path, std::string& params_path) const;

 private:
  cv::Mat stretch(const cv::Mat& scene) const;
  void textureCoords(const cv::Vec3d& ray, float& tx, float& ty) const;

  RigSetup _setup;
  cv::Mat _K, _D;
  std::vector<cv::detail::CameraParams> _cameras;
  std::vector<cv::Mat> _xmaps, _ymaps;
  double _tex_scale = 1;
  cv::Point2d _tex_center;
  cv::Size _texture_size;
};

// Peak signal-to-noise ratio (dB) of two BGR images over the non-zero pixels of mask.
double psnr(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask);

}  // namespace lwrig
