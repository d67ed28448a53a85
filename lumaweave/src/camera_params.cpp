#include "lumaweave/camera_params.hpp"

#include <ctime>
#include <filesystem>
#include <fstream>

#include <json/json.h>

namespace lumaweave {

namespace {

// OpenCV's cv::CALIB_FIX_ASPECT_RATIO; calib3d is not needed for one constant.
constexpr int kFixAspectRatio = 2;

// A camera parameter file is written for a rig of a handful of cameras. A count beyond this
// comes from a damaged file; honouring it would allocate gigabytes of default cameras.
constexpr int kMaxCameras = 1024;

// cv::FileStorage throws for an empty name and for a folder instead of failing to open;
// both are files that cannot be opened, which the callers report as false.
bool may_open_for_reading(const std::string& filepath) {
  std::error_code ec;
  return !filepath.empty() && !std::filesystem::is_directory(filepath, ec);
}

std::string calibration_time() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char text[255] = {0};
  // localtime_r: same result as localtime, without its shared static buffer.
  if (::localtime_r(&now, &local) != nullptr) std::strftime(text, sizeof(text), "%c", &local);
  return text;
}

}  // namespace

bool save_camera_info(const std::string& filepath, const cv::Mat& K, const cv::Mat& D,
                      const cv::Size& image_size, float avg_error, int flags,
                      float aspect_ratio) {
  cv::FileStorage fs(filepath, cv::FileStorage::WRITE);
  if (!fs.isOpened()) return false;
  fs << "calibration_time" << calibration_time();
  fs << "image_width" << image_size.width;
  fs << "image_height" << image_size.height;
  fs << "camera_matrix" << K;
  fs << "distortion_coefficients" << D;
  fs << "avg_reprojection_error" << avg_error;
  fs << "flags" << flags;
  if (flags & kFixAspectRatio) fs << "aspect_ratio" << aspect_ratio;
  fs.release();
  return true;
}

namespace {

// The nodes both storage-form loaders read.
void read_camera_info(const cv::FileStorage& fs, cv::Mat& K, cv::Mat& D, cv::Size& image_size) {
  fs["image_width"] >> image_size.width;
  fs["image_height"] >> image_size.height;
  fs["camera_matrix"] >> K;
  fs["distortion_coefficients"] >> D;
}

}  // namespace

bool load_camera_info(const std::string& filepath, cv::Mat& K, cv::Mat& D,
                      cv::Size& image_size) {
  if (!may_open_for_reading(filepath)) return false;
  cv::FileStorage fs(filepath, cv::FileStorage::READ);
  if (!fs.isOpened()) return false;
  read_camera_info(fs, K, D, image_size);
  return true;
}

bool load_camera_info(const std::string& filepath, cv::Mat& K, cv::Mat& D,
                      cv::Size& image_size, float& avg_error, int& flags,
                      float& aspect_ratio) {
  if (!may_open_for_reading(filepath)) return false;
  cv::FileStorage fs(filepath, cv::FileStorage::READ);
  if (!fs.isOpened()) return false;
  read_camera_info(fs, K, D, image_size);
  fs["avg_reprojection_error"] >> avg_error;
  fs["flags"] >> flags;
  if (flags & kFixAspectRatio) fs["aspect_ratio"] >> aspect_ratio;
  return true;
}

bool load_camera_info_json(const std::string& filepath, cv::Mat& K, cv::Mat& D,
                           cv::Size& image_size) {
  try {
    std::ifstream in(filepath);
    Json::CharReaderBuilder builder;
    Json::Value root;
    std::string errs;
    if (!Json::parseFromStream(builder, in, &root, &errs)) return false;

    // Copies on purpose: indexing a copy creates absent members and elements as null,
    // which convert to 0.
    Json::Value size = root["image_size"];
    image_size.width = size[0].asInt();
    image_size.height = size[1].asInt();

    Json::Value matrix = root["camera_matrix"];
    K.create(3, 3, CV_64F);
    for (int k = 0; k < 9; ++k) K.at<double>(k / 3, k % 3) = matrix[k].asDouble();

    Json::Value coeffs = root["dist_coeff"];
    D.create(8, 1, CV_64F);
    for (int k = 0; k < 8; ++k) D.at<double>(k, 0) = coeffs[k].asDouble();
    return true;
  } catch (const Json::Exception&) {
    return false;
  }
}

bool rescale_camera_params(std::vector<cv::detail::CameraParams>& cameras, double scale) {
  // Written so that NaN is refused too.
  if (!(scale > 0.0 && scale <= 1.0)) return false;
  for (auto& camera : cameras) {
    camera.focal /= scale;
    camera.ppx /= scale;
    camera.ppy /= scale;
  }
  return true;
}

bool save_camera_params(const std::string& filepath,
                        const std::vector<cv::detail::CameraParams>& cameras,
                        const cv::Size& image_size) {
  cv::FileStorage fs(filepath, cv::FileStorage::WRITE);
  if (!fs.isOpened()) return false;
  fs << "calibration_time" << calibration_time();
  fs << "image_width" << image_size.width;
  fs << "image_height" << image_size.height;
  fs << "camera_num" << static_cast<int>(cameras.size());
  for (size_t i = 0; i < cameras.size(); ++i) {
    const std::string prefix = "camera_" + std::to_string(i);
    const cv::detail::CameraParams& camera = cameras[i];
    fs << prefix + "_aspect" << camera.aspect;
    fs << prefix + "_focal" << camera.focal;
    fs << prefix + "_ppx" << camera.ppx;
    fs << prefix + "_ppy" << camera.ppy;
    fs << prefix + "_R" << camera.R;
    fs << prefix + "_t" << camera.t;
  }
  fs.release();
  return true;
}

bool load_camera_params(const std::string& filepath,
                        std::vector<cv::detail::CameraParams>& cameras, cv::Size& image_size) {
  if (!may_open_for_reading(filepath)) return false;
  cv::FileStorage fs(filepath, cv::FileStorage::READ);
  if (!fs.isOpened()) return false;
  fs["image_width"] >> image_size.width;
  fs["image_height"] >> image_size.height;
  int camera_num = 0;
  fs["camera_num"] >> camera_num;
  if (camera_num <= 1 || camera_num > kMaxCameras) return false;

  cameras.resize(static_cast<size_t>(camera_num));
  for (int i = 0; i < camera_num; ++i) {
    const std::string prefix = "camera_" + std::to_string(i);
    cv::detail::CameraParams& camera = cameras[static_cast<size_t>(i)];
    fs[prefix + "_aspect"] >> camera.aspect;
    fs[prefix + "_focal"] >> camera.focal;
    fs[prefix + "_ppx"] >> camera.ppx;
    fs[prefix + "_ppy"] >> camera.ppy;
    fs[prefix + "_R"] >> camera.R;
    fs[prefix + "_t"] >> camera.t;
  }
  fs.release();
  return true;
}

}  // namespace lumaweave
