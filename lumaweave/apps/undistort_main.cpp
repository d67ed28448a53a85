// lumaweave-undistort: undoes lens distortion of one image with the device-layer warper.
//   lumaweave-undistort [IMAGE CAMERA_INFO OUTPUT.png]
// CAMERA_INFO is a JSON camera info (.json) or an OpenCV storage file (.yml/.xml). Without
// arguments it undistorts a real chessboard photo from opencv-doc with that camera's calibration.
#include <chrono>
#include <cstdio>
#include <string>

#include <opencv2/imgcodecs.hpp>

#include "lumaweave/camera_params.hpp"
#include "lumaweave/cuda.hpp"
#include "lumaweave/fast_warpers.hpp"

namespace {

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string data = LUMAWEAVE_OPENCV_DATA;
  if (argc != 1 && argc != 4) {
    std::fprintf(stderr, "usage: %s [IMAGE CAMERA_INFO OUTPUT.png]\n", argv[0]);
    return 2;
  }
  const std::string image_path = argc == 4 ? argv[1] : data + "/left01.jpg";
  const std::string info_path = argc == 4 ? argv[2] : data + "/left_intrinsics.yml";
  const std::string out_path = argc == 4 ? argv[3] : "undistorted.png";

  try {
    const cv::Mat image = cv::imread(image_path, cv::IMREAD_COLOR);
    if (image.empty()) {
      std::fprintf(stderr, "error: cannot read image %s\n", image_path.c_str());
      return 1;
    }
    cv::Mat K, D;
    cv::Size size;
    const bool loaded = endsWith(info_path, ".json") ? lumaweave::load_camera_info_json(info_path, K, D, size)
                                                     : lumaweave::load_camera_info(info_path, K, D, size);
    if (!loaded || K.size() != cv::Size(3, 3)) {
      std::fprintf(stderr, "error: cannot load camera info from %s\n", info_path.c_str());
      return 1;
    }
    if (size.area() > 0 && size != image.size()) {
      std::fprintf(stderr, "error: camera info is for %dx%d, image is %dx%d\n", size.width, size.height,
                   image.cols, image.rows);
      return 1;
    }

    lumaweave::UndistortWarper warper(cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
    const cv::Rect roi = warper.prepare(image.size(), K, D);
    lumaweave::cuda::GpuMat src(image), dst;
    const auto t0 = std::chrono::steady_clock::now();
    const int runs = 50;
    for (int i = 0; i < runs; ++i) warper.warp(src, dst);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() / runs;
    cv::Mat out;
    dst.download(out);
    if (!cv::imwrite(out_path, out)) {
      std::fprintf(stderr, "error: cannot write %s\n", out_path.c_str());
      return 1;
    }
    std::printf("backend: %s\n", lumaweave::cuda::backendName(lumaweave::cuda::activeBackend()));
    std::printf("undistorted %s (%dx%d) with %s\n", image_path.c_str(), image.cols, image.rows, info_path.c_str());
    std::printf("valid region: %d,%d %dx%d\n", roi.x, roi.y, roi.width, roi.height);
    std::printf("warp: %.3f ms per frame\n", ms);
    std::printf("wrote %s\n", out_path.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
  return 0;
}
