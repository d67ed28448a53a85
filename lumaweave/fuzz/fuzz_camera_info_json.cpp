// JSON camera info loader: any file content gives true or false, never an exception or a
// crash; on true the outputs have their fixed shapes.
#include <cstdint>

#include <opencv2/core.hpp>

#include "fuzz_input_file.hpp"
#include "lumaweave/camera_params.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = lumaweave_fuzz::write_input(".json", data, size);
  cv::Mat K, D;
  cv::Size image_size;
  if (lumaweave::load_camera_info_json(path, K, D, image_size)) {
    if (K.rows != 3 || K.cols != 3 || K.type() != CV_64F) __builtin_trap();
    if (D.rows != 8 || D.cols != 1 || D.type() != CV_64F) __builtin_trap();
  }
  return 0;
}
