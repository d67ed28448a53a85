// The whole synchronous stitch on the cuda backend against the same work done with OpenCV's
// CPU functions (undistortion maps, CPU projection maps, ROI copies). Needs a CUDA device.
#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/stitching/detail/warpers.hpp>

#include "lumaweave/cuda.hpp"
#include "lumaweave/live_stitcher.hpp"
#include "stitch_geometry.hpp"
#include "support/rig_fixture.hpp"
#include "support/scene.hpp"

namespace lc = lumaweave::cuda;

TEST(StitcherParity, ProcessOnTheDeviceMatchesOpenCVOnTheCpu) {
  if (lc::activeBackend() != lc::Backend::Cuda)
    GTEST_SKIP() << "no CUDA device (backend '" << lc::backendName(lc::activeBackend())
                 << "'): host-vs-CUDA parity of the stitcher NOT checked";
  lwrig::RigSetup setup;
  setup.frame_size = cv::Size(1280, 720);
  const lwrig::Rig rig(setup);
  const lwtest::RigFiles files = lwtest::writeRig(rig, "stitcher_parity");
  lumaweave::LiveStitcher stitcher(
      lumaweave::LiveStitcher::Settings(lwtest::settingsJson(files.info_path, files.params_path)));
  stitcher.prepare(setup.frame_size, false);
  std::vector<cv::Mat> frames;
  rig.render(lwtest::sceneImage(), frames);
  lc::GpuMat out;
  ASSERT_TRUE(stitcher.process(lwtest::upload(frames), out));

  // The reference, step by step on the CPU.
  cv::Mat ux, uy;
  const cv::Mat newK = cv::getOptimalNewCameraMatrix(rig.K(), rig.D(), setup.frame_size, 1.0, cv::Size(), nullptr, false);
  cv::initUndistortRectifyMap(rig.K(), rig.D(), cv::Mat(), newK, setup.frame_size, CV_32FC1, ux, uy);
  const auto& cams = rig.cameras();
  cv::detail::SphericalWarper warper(float((cams[0].focal + cams[1].focal) / 2));
  std::vector<cv::Rect> rects;
  std::vector<cv::Mat> warped(2);
  for (int i = 0; i < 2; ++i) {
    cv::Mat K, px, py, und;
    cams[i].K().convertTo(K, CV_32F);
    // buildMaps returns the inclusive corners as a rect; the maps have the full size.
    const cv::Point tl = warper.buildMaps(setup.frame_size, K, cams[i].R, px, py).tl();
    rects.push_back(cv::Rect(tl, px.size()));
    cv::remap(frames[i], und, ux, uy, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    cv::remap(und, warped[i], px, py, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
  }
  const lumaweave::StitchGeometry g = lumaweave::computeStitchGeometry(rects[0], rects[1]);
  ASSERT_EQ(out.size(), g.output_size);
  cv::Mat expected(g.output_size, CV_8UC3, cv::Scalar::all(0));
  for (int i = 0; i < 2; ++i) warped[i](g.crop_rects[i]).copyTo(expected(g.output_rects[i]));

  cv::Mat diff;
  cv::absdiff(lwtest::download(out), expected, diff);
  // Two resamplings, each within one level; a map position right on a pixel edge may round
  // the other way, so allow a few isolated pixels beyond.
  EXPECT_LE(cv::mean(diff)[0], 0.2);
  EXPECT_LE(cv::countNonZero(diff.reshape(1) > 2), int(diff.total() / 1000));
}
