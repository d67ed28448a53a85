// A synthetic rig written to a temp folder, and the settings text of a stitcher that uses it.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "lumaweave/cuda/gpumat.hpp"
#include "rig_synth.hpp"

namespace lwtest {

struct RigFiles {
  std::string dir, info_path, params_path;
};

RigFiles writeRig(const lwrig::Rig& rig, const std::string& tag);

// Settings JSON text for the given files and projection.
std::string settingsJson(const std::string& info_path, const std::string& params_path,
                         const std::string& warp = "spherical");

// Uploads host frames.
std::vector<lumaweave::cuda::GpuMat> upload(const std::vector<cv::Mat>& frames);
cv::Mat download(const lumaweave::cuda::GpuMat& g);

// Everything written to stdout (log records included) while fn runs.
template <class Fn> std::string captureStdout(Fn&& fn);

}  // namespace lwtest

#include <gtest/gtest.h>

#include "lumaweave/logging.hpp"

template <class Fn> std::string lwtest::captureStdout(Fn&& fn) {
  ::testing::internal::CaptureStdout();
  fn();
  lumaweave::flush_log();
  return ::testing::internal::GetCapturedStdout();
}
