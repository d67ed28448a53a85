// Lens undistortion: the GPU warper and the CPU undistorter against OpenCV's own maps.
#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "lumaweave/fast_warpers.hpp"
#include "lumaweave/live_calibrator.hpp"
#include "support/scene.hpp"

using namespace lumaweave;

namespace {

struct Lens {
  cv::Mat K, D;
};

// A wide lens with strong barrel distortion, so alpha 1 leaves black corners.
Lens barrelLens(cv::Size size) {
  Lens l;
  l.K = (cv::Mat_<double>(3, 3) << 0.62 * size.width, 0, size.width / 2.0 + 3.5, 0, 0.62 * size.width,
         size.height / 2.0 - 2.25, 0, 0, 1);
  l.D = (cv::Mat_<double>(8, 1) << -0.32, 0.11, 0.001, -0.0005, -0.015, 0, 0, 0);
  return l;
}

cv::Mat reference(const cv::Mat& src, const Lens& l, double alpha, cv::Rect* roi) {
  const cv::Mat newK = cv::getOptimalNewCameraMatrix(l.K, l.D, src.size(), alpha, cv::Size(), roi, false);
  cv::Mat m1, m2, out;
  cv::initUndistortRectifyMap(l.K, l.D, cv::Mat(), newK, src.size(), CV_32FC1, m1, m2);
  cv::remap(src, out, m1, m2, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
  return out;
}

cv::Mat warpOnDevice(UndistortWarper& w, const cv::Mat& src) {
  cuda::GpuMat in(src), out;
  w.warp(in, out);
  cv::Mat m;
  out.download(m);
  return m;
}

}  // namespace

TEST(UndistortWarper, EqualsOpenCVMapsAndReportsGrownRoi) {
  const cv::Mat src = lwtest::sceneImage(cv::Size(640, 360));
  const Lens lens = barrelLens(src.size());
  cv::Rect roi;
  const cv::Mat expected = reference(src, lens, 1.0, &roi);

  UndistortWarper w(cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
  EXPECT_TRUE(w.dst_roi().empty());
  const cv::Rect r = w.prepare(src.size(), lens.K, lens.D);
  EXPECT_EQ(r, cv::Rect(roi.x, roi.y, roi.width + 1, roi.height + 1));
  EXPECT_EQ(w.dst_roi(), r);
  EXPECT_GT(roi.x, 0);  // the barrel really leaves an invalid border

  const cv::Mat got = warpOnDevice(w, src);
  EXPECT_EQ(lwtest::maxAbsDiff(got, expected), 0);
  // With alpha 1 the whole pincushion-shaped outline fits; the middles of the edges that no
  // source pixel reaches are black.
  EXPECT_EQ(got.at<cv::Vec3b>(got.rows / 2, 0), cv::Vec3b(0, 0, 0));
  EXPECT_EQ(got.at<cv::Vec3b>(0, got.cols / 2), cv::Vec3b(0, 0, 0));
}

TEST(UndistortWarper, OutputHasThePreparedSizeAndRepreparingReplacesMaps) {
  const cv::Mat big = lwtest::sceneImage(cv::Size(320, 240));
  UndistortWarper w(cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
  w.prepare(cv::Size(320, 240), barrelLens(cv::Size(320, 240)).K, barrelLens(cv::Size(320, 240)).D);
  EXPECT_EQ(warpOnDevice(w, big).size(), cv::Size(320, 240));
  EXPECT_EQ(warpOnDevice(w, lwtest::sceneImage(cv::Size(100, 80))).size(), cv::Size(320, 240));

  const cv::Mat small = lwtest::sceneImage(cv::Size(160, 90));
  const Lens lens = barrelLens(small.size());
  w.prepare(small.size(), lens.K, lens.D);
  EXPECT_EQ(w.xmap().size(), small.size());
  EXPECT_EQ(lwtest::maxAbsDiff(warpOnDevice(w, small), reference(small, lens, 1.0, nullptr)), 0);
}

TEST(UndistortWarper, BadCalibrationAndMissingMapsRaise) {
  UndistortWarper w(cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
  cuda::GpuMat src(cv::Size(32, 24), CV_8UC3, cv::Scalar::all(9)), dst;
  EXPECT_THROW(w.warp(src, dst), cv::Exception);  // before prepare
  const Lens lens = barrelLens(cv::Size(32, 24));
  EXPECT_THROW(w.prepare(cv::Size(32, 24), cv::Mat::eye(2, 3, CV_64F), lens.D), cv::Exception);
  EXPECT_THROW(w.prepare(cv::Size(32, 24), lens.K, cv::Mat::zeros(6, 1, CV_64F)), cv::Exception);
  // 4, 5, 8, 12 and 14 coefficients are accepted.
  for (int n : {4, 5, 8, 12, 14}) EXPECT_NO_THROW(w.prepare(cv::Size(32, 24), lens.K, cv::Mat::zeros(n, 1, CV_64F)));
}

TEST(Undistorter, CpuMapsFollowAlpha) {
  const cv::Mat src = lwtest::sceneImage(cv::Size(320, 180));
  const Lens lens = barrelLens(src.size());
  for (double alpha : {0.0, 1.0}) {
    Undistorter u(cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
    cv::Rect roi;
    const cv::Mat expected = reference(src, lens, alpha, &roi);
    EXPECT_EQ(u.prepare(src.size(), lens.K, lens.D, alpha), cv::Rect(roi.x, roi.y, roi.width + 1, roi.height + 1));
    cv::Mat out;
    u.warp(src, out);
    EXPECT_EQ(lwtest::maxAbsDiff(out, expected), 0) << alpha;
  }
  Undistorter unprepared(cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
  cv::Mat out;
  EXPECT_THROW(unprepared.warp(src, out), cv::Exception);
}
