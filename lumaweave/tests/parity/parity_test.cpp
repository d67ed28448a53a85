// Host-versus-CUDA parity: the cuda backend's kernels against OpenCV's CPU functions (what the
// host backend calls). Needs a CUDA device; everywhere else every test skips and says why.
#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "lumaweave/cuda.hpp"
#include "lumaweave/fast_warpers.hpp"
#include "support/scene.hpp"

namespace lc = lumaweave::cuda;

namespace {

class Parity : public testing::Test {
 protected:
  void SetUp() override {
    if (lc::activeBackend() != lc::Backend::Cuda)
      GTEST_SKIP() << "no CUDA device (backend '" << lc::backendName(lc::activeBackend())
                   << "', built with CUDA: " << (lc::builtWithCuda() ? "yes" : "no")
                   << "): host-vs-CUDA parity NOT checked";
  }
  static cv::Mat down(const lc::GpuMat& g) {
    cv::Mat m;
    g.download(m);
    return m;
  }
};

}  // namespace

TEST_F(Parity, RemapFullHdWithinOneLevel) {
  const cv::Mat src = lwtest::sceneImage(cv::Size(1920, 1080));
  cv::Mat xmap, ymap;
  lwtest::testMaps(src.size(), cv::Size(1917, 1079), xmap, ymap);
  for (int interp : {cv::INTER_LINEAR, cv::INTER_NEAREST})
    for (int border : {cv::BORDER_CONSTANT, cv::BORDER_REPLICATE}) {
      cv::Mat expected;
      cv::remap(src, expected, xmap, ymap, interp, border, cv::Scalar(10, 20, 30));
      lc::GpuMat out;
      lc::remap(lc::GpuMat(src), out, lc::GpuMat(xmap), lc::GpuMat(ymap), interp, border, cv::Scalar(10, 20, 30));
      EXPECT_LE(lwtest::maxAbsDiff(down(out), expected), interp == cv::INTER_LINEAR ? 1 : 0) << interp << border;
    }
}

TEST_F(Parity, UndistortionWithinOneLevel) {
  const cv::Mat src = lwtest::sceneImage(cv::Size(1280, 720));
  const cv::Mat K = (cv::Mat_<double>(3, 3) << 800, 0, 640, 0, 800, 360, 0, 0, 1);
  const cv::Mat D = (cv::Mat_<double>(8, 1) << -0.3, 0.1, 0, 0, -0.02, 0, 0, 0);
  lumaweave::UndistortWarper w(cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
  w.prepare(src.size(), K, D);
  lc::GpuMat out;
  w.warp(lc::GpuMat(src), out);
  cv::Mat m1, m2, expected;
  w.xmap().download(m1);
  w.ymap().download(m2);
  cv::remap(src, expected, m1, m2, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
  EXPECT_LE(lwtest::maxAbsDiff(down(out), expected), 1);
}

TEST_F(Parity, ColourCopySetConvertIdentical) {
  const cv::Mat bgr = lwtest::sceneImage(cv::Size(1001, 603));
  cv::Mat rgba, e1, e2, e3;
  cv::cvtColor(bgr, rgba, cv::COLOR_BGR2RGBA);
  cv::cvtColor(rgba, e1, cv::COLOR_RGBA2BGR);
  cv::cvtColor(bgr, e3, cv::COLOR_BGR2GRAY);
  lc::GpuMat g1, g2, g3;
  lc::cvtColor(lc::GpuMat(rgba), g1, cv::COLOR_RGBA2BGR);
  lc::cvtColor(lc::GpuMat(bgr), g2, cv::COLOR_BGR2RGBA);
  lc::cvtColor(lc::GpuMat(bgr), g3, cv::COLOR_BGR2GRAY);
  EXPECT_EQ(lwtest::maxAbsDiff(down(g1), e1), 0);
  EXPECT_EQ(lwtest::maxAbsDiff(down(g2), rgba), 0);
  EXPECT_EQ(lwtest::maxAbsDiff(down(g3), e3), 0);

  cv::Mat mask(bgr.size(), CV_8UC1, cv::Scalar(0));
  cv::circle(mask, cv::Point(500, 300), 200, cv::Scalar(255), -1);
  cv::Mat expected(bgr.size(), CV_8UC3, cv::Scalar(1, 2, 3));
  bgr.copyTo(expected, mask);
  lc::GpuMat dst(bgr.size(), CV_8UC3, cv::Scalar(1, 2, 3));
  lc::GpuMat(bgr).copyTo(dst, lc::GpuMat(mask));
  EXPECT_EQ(lwtest::maxAbsDiff(down(dst), expected), 0);

  lc::GpuMat roi = dst(cv::Rect(10, 20, 300, 200));
  roi.setTo(cv::Scalar(7, 8, 9), lc::GpuMat(mask(cv::Rect(10, 20, 300, 200))));
  expected(cv::Rect(10, 20, 300, 200)).setTo(cv::Scalar(7, 8, 9), mask(cv::Rect(10, 20, 300, 200)));
  EXPECT_EQ(lwtest::maxAbsDiff(down(dst), expected), 0);

  cv::Mat f;
  bgr.convertTo(f, CV_32F, 1.0 / 255, 0.5);
  lc::GpuMat gf;
  lc::GpuMat(bgr).convertTo(gf, CV_32F, 1.0 / 255, 0.5);
  EXPECT_LE(lwtest::maxAbsDiff(down(gf), f), 1e-6);
}
