#include "support/scene.hpp"

#include <cctype>
#include <cmath>
#include <filesystem>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace lwtest {

std::string dataPath(const std::string& name) {
  const std::string p = std::string(LUMAWEAVE_OPENCV_DATA) + "/" + name;
  if (!std::filesystem::exists(p)) ADD_FAILURE() << "missing test data " << p << " (install opencv-doc)";
  return p;
}

cv::Mat sceneImage(cv::Size size) {
  cv::Mat img = cv::imread(dataPath("leuvenA.jpg"), cv::IMREAD_COLOR);
  if (img.empty()) {
    ADD_FAILURE() << "cannot read leuvenA.jpg";
    return cv::Mat(size.area() ? size : cv::Size(64, 48), CV_8UC3, cv::Scalar::all(0));
  }
  if (size.area() && size != img.size()) cv::resize(img, img, size, 0, 0, cv::INTER_AREA);
  return img;
}

std::string tempDir(const std::string& tag) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = tag;
  if (info) name += std::string("_") + info->test_suite_name() + "_" + info->name();
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  const std::filesystem::path dir = std::filesystem::path(LUMAWEAVE_TEST_TMP) / name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir.string();
}

double maxAbsDiff(const cv::Mat& a, const cv::Mat& b) {
  if (a.size() != b.size() || a.type() != b.type()) return INFINITY;
  if (a.empty()) return 0;
  cv::Mat a64, b64;
  a.convertTo(a64, CV_64F);
  b.convertTo(b64, CV_64F);
  return cv::norm(a64.reshape(1), b64.reshape(1), cv::NORM_INF);
}

void testMaps(cv::Size src_size, cv::Size dst_size, cv::Mat& xmap, cv::Mat& ymap) {
  xmap.create(dst_size, CV_32FC1);
  ymap.create(dst_size, CV_32FC1);
  const double a = 0.2, s = 1.15;
  const double cx = dst_size.width / 2.0, cy = dst_size.height / 2.0;
  for (int y = 0; y < dst_size.height; ++y)
    for (int x = 0; x < dst_size.width; ++x) {
      const double u = (x - cx) * s, v = (y - cy) * s;
      xmap.at<float>(y, x) = float(std::cos(a) * u - std::sin(a) * v + src_size.width / 2.0 + 0.37);
      ymap.at<float>(y, x) = float(std::sin(a) * u + std::cos(a) * v + src_size.height / 2.0 - 0.21);
    }
}

}  // namespace lwtest
