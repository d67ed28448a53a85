#include "rig_synth.hpp"

#include <cmath>
#include <fstream>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "lumaweave/camera_params.hpp"

namespace lwrig {

namespace {

cv::Matx33d rotation(double yaw, double pitch, double roll) {
  cv::Matx33d ry, rx, rz;
  cv::Rodrigues(cv::Vec3d(0, yaw, 0), ry);
  cv::Rodrigues(cv::Vec3d(pitch, 0, 0), rx);
  cv::Rodrigues(cv::Vec3d(0, 0, roll), rz);
  return ry * rx * rz;
}

constexpr double kPi = 3.14159265358979323846;

}  // namespace

Rig::Rig(const RigSetup& setup) : _setup(setup) {
  const cv::Size size = setup.frame_size;
  const double f = setup.focal > 0 ? setup.focal : 0.7 * size.width;
  _K = (cv::Mat_<double>(3, 3) << f, 0, size.width / 2.0, 0, f, size.height / 2.0, 0, 0, 1);
  _D = cv::Mat::zeros(8, 1, CV_64F);
  if (setup.distorted) {
    _D.at<double>(0) = setup.k1;
    _D.at<double>(1) = setup.k2;
    _D.at<double>(4) = setup.k3;
  }
  // The calibration sees the undistorted frames, whose camera matrix the undistortion chooses.
  const cv::Mat newK = setup.distorted ? cv::getOptimalNewCameraMatrix(_K, _D, size, 1.0, cv::Size(), nullptr, false)
                                      : _K.clone();

  const double deg = kPi / 180;
  const double yaws[2] = {-setup.yaw_deg * deg, setup.yaw_deg * deg};
  const double pitches[2] = {setup.pitch_deg * deg, -setup.pitch_deg * deg};
  const double rolls[2] = {setup.roll_deg * deg, -setup.roll_deg * deg};

  // Pixel -> view ray of every frame pixel, through the real (distorted) lens.
  std::vector<cv::Point2f> pixels;
  pixels.reserve(size.area());
  for (int y = 0; y < size.height; ++y)
    for (int x = 0; x < size.width; ++x) pixels.emplace_back(float(x), float(y));
  std::vector<cv::Point2f> normalized;
  cv::undistortPoints(pixels, normalized, _K, _D);

  std::vector<std::vector<cv::Vec3d>> rays(2);
  double max_theta = 0, max_phi = 0;
  for (int i = 0; i < 2; ++i) {
    const cv::Matx33d R = rotation(yaws[i], pitches[i], rolls[i]);
    cv::detail::CameraParams cam;
    cam.focal = newK.at<double>(0, 0);
    cam.aspect = newK.at<double>(1, 1) / newK.at<double>(0, 0);
    cam.ppx = newK.at<double>(0, 2);
    cam.ppy = newK.at<double>(1, 2);
    cv::Mat(R).convertTo(cam.R, CV_32F);
    cam.t = cv::Mat::zeros(3, 1, CV_64F);
    _cameras.push_back(cam);
    rays[i].reserve(normalized.size());
    for (const cv::Point2f& n : normalized) {
      const cv::Vec3d r = R * cv::Vec3d(n.x, n.y, 1.0);
      rays[i].push_back(r);
      const double theta = std::atan2(r[0], r[2]);
      const double phi = std::acos(-r[1] / cv::norm(r)) - kPi / 2;
      max_theta = std::max(max_theta, std::abs(theta));
      max_phi = std::max(max_phi, std::abs(phi));
    }
  }
  _tex_scale = f;
  _texture_size = cv::Size(int(std::ceil(2 * max_theta * f)) + 8, int(std::ceil(2 * max_phi * f)) + 8);
  _tex_center = cv::Point2d(_texture_size.width / 2.0, _texture_size.height / 2.0);

  for (int i = 0; i < 2; ++i) {
    cv::Mat xm(size, CV_32F), ym(size, CV_32F);
    for (int k = 0; k < size.area(); ++k) textureCoords(rays[i][k], xm.ptr<float>()[k], ym.ptr<float>()[k]);
    _xmaps.push_back(xm);
    _ymaps.push_back(ym);
  }
}

void Rig::textureCoords(const cv::Vec3d& ray, float& tx, float& ty) const {
  const double theta = std::atan2(ray[0], ray[2]);
  const double polar = std::acos(-ray[1] / cv::norm(ray));
  tx = float(theta * _tex_scale + _tex_center.x);
  ty = float((polar - kPi / 2) * _tex_scale + _tex_center.y);
}

cv::Mat Rig::stretch(const cv::Mat& scene) const {
  cv::Mat tex;
  cv::resize(scene, tex, _texture_size, 0, 0, cv::INTER_CUBIC);
  return tex;
}

void Rig::render(const cv::Mat& scene, std::vector<cv::Mat>& frames) const {
  const cv::Mat tex = stretch(scene);
  frames.resize(2);
  for (int i = 0; i < 2; ++i) cv::remap(tex, frames[i], _xmaps[i], _ymaps[i], cv::INTER_LINEAR, cv::BORDER_REFLECT);
}

cv::Mat Rig::panorama(const cv::Mat& scene, const std::string& projection, float scale, const cv::Rect& rect) const {
  cv::Mat xm(rect.size(), CV_32F), ym(rect.size(), CV_32F);
  for (int y = 0; y < rect.height; ++y)
    for (int x = 0; x < rect.width; ++x) {
      const double u = (x + rect.x) / double(scale), v = (y + rect.y) / double(scale);
      cv::Vec3d ray;
      if (projection == "spherical")
        ray = cv::Vec3d(std::sin(v) * std::sin(u), -std::cos(v), std::sin(v) * std::cos(u));
      else if (projection == "cylindrical")
        ray = cv::Vec3d(std::sin(u), v, std::cos(u));
      else
        ray = cv::Vec3d(u, v, 1.0);
      textureCoords(ray, xm.at<float>(y, x), ym.at<float>(y, x));
    }
  cv::Mat out;
  cv::remap(stretch(scene), out, xm, ym, cv::INTER_LINEAR, cv::BORDER_REFLECT);
  return out;
}

bool Rig::write_files(const std::string& dir, std::string& info_path, std::string& params_path) const {
  info_path.clear();
  if (_setup.distorted) {
    info_path = dir + "/camera_info.json";
    std::ofstream out(info_path);
    out.precision(17);
    out << "{\n  \"image_size\": [" << _setup.frame_size.width << ", " << _setup.frame_size.height << "],\n"
        << "  \"camera_matrix\": [";
    for (int k = 0; k < 9; ++k) out << (k ? ", " : "") << _K.at<double>(k / 3, k % 3);
    out << "],\n  \"dist_coeff\": [";
    for (int k = 0; k < 8; ++k) out << (k ? ", " : "") << _D.at<double>(k);
    out << "]\n}\n";
    if (!out) return false;
  }
  params_path = dir + "/camera_params.yml";
  return lumaweave::save_camera_params(params_path, _cameras, _setup.frame_size);
}

double psnr(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask) {
  cv::Mat diff;
  cv::absdiff(a, b, diff);
  diff.convertTo(diff, CV_64F);
  diff = diff.mul(diff);
  const int n = cv::countNonZero(mask);
  if (n == 0) return 0;
  const cv::Scalar s = cv::sum(diff.setTo(0, mask == 0));
  const double mse = (s[0] + s[1] + s[2]) / (3.0 * n);
  return mse <= 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace lwrig
