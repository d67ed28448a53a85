#include "support/rig_fixture.hpp"

#include "support/scene.hpp"

namespace lwtest {

RigFiles writeRig(const lwrig::Rig& rig, const std::string& tag) {
  RigFiles f;
  f.dir = tempDir(tag);
  EXPECT_TRUE(rig.write_files(f.dir, f.info_path, f.params_path));
  return f;
}

std::string settingsJson(const std::string& info_path, const std::string& params_path, const std::string& warp) {
  return "{\"cameras_info\": \"" + info_path + "\", \"cameras_calib\": \"" + params_path +
         "\", \"warping_mode\": \"" + warp + "\"}";
}

std::vector<lumaweave::cuda::GpuMat> upload(const std::vector<cv::Mat>& frames) {
  std::vector<lumaweave::cuda::GpuMat> g;
  for (const cv::Mat& f : frames) g.emplace_back(f);
  return g;
}

cv::Mat download(const lumaweave::cuda::GpuMat& g) {
  cv::Mat m;
  g.download(m);
  return m;
}

}  // namespace lwtest
