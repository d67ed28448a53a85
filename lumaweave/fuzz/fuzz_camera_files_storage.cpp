// Storage-form loaders (cv::FileStorage): any file content gives true, false or OpenCV's
// cv::Exception; anything else escaping, or a crash, is a finding. The first byte picks the
// format through the file name, as OpenCV does.
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "fuzz_input_file.hpp"
#include "lumaweave/camera_params.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const char* const kExtensions[] = {".yml", ".xml", ".json"};
  const std::string path = lumaweave_fuzz::write_input(kExtensions[data[0] % 3], data + 1, size - 1);
  cv::Mat K, D;
  cv::Size image_size;
  float avg_error = 0, aspect_ratio = 0;
  int flags = 0;
  std::vector<cv::detail::CameraParams> cameras;
  try {
    lumaweave::load_camera_info(path, K, D, image_size, avg_error, flags, aspect_ratio);
  } catch (const cv::Exception&) {
  }
  try {
    if (lumaweave::load_camera_params(path, cameras, image_size) && cameras.size() < 2)
      __builtin_trap();
  } catch (const cv::Exception&) {
  }
  return 0;
}
