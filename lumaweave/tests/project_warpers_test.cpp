// Projection warpers: the device-built maps against OpenCV's own CPU buildMaps, the warped
// footprint, the refusals.
#include <cmath>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "build_warp_maps.hpp"
#include "lumaweave/fast_warpers.hpp"
#include "support/projection_fixture.hpp"
#include "support/scene.hpp"

using namespace lumaweave;

namespace {

using lwtest::kProjections;
using lwtest::kRigs;
using lwtest::Projection;
using lwtest::Rig;
using lwtest::cameraMatrix;
using lwtest::makeWarper;
using lwtest::name;
using lwtest::rotation;

lwtest::ReferenceMaps reference(Projection p, float scale, cv::Size src, const cv::Mat& K, const cv::Mat& R,
                                const cv::Mat& T = cv::Mat()) {
  return lwtest::referenceMaps(p, scale, src, K, R, T);
}

cv::Mat down(const cuda::GpuMat& g) {
  cv::Mat m;
  g.download(m);
  return m;
}

// In units of the tolerance: 1e-3 px, or 1e-6 relative beyond 1000 px (off-footprint points,
// where the float spacing itself grows). The host path matches OpenCV bit for bit today; the
// tolerance only allows for compilers that contract or reorder float operations.
double worstError(const cv::Mat& got, const cv::Mat& expected) {
  return lwtest::worstError(got, expected, 1e-3, 1e-6);
}

struct Measured {
  double worst_x = 0, worst_y = 0;
};

Measured checkAgainstOpenCV(Projection p, const Rig& rig, cv::Rect* out_roi = nullptr) {
  const cv::Mat K = cameraMatrix(rig.focal, rig.src), R = rotation(rig.yaw, rig.pitch, rig.roll);
  const float scale = float(rig.focal);
  auto w = makeWarper(p, scale);
  const cv::Rect roi = w->prepare(rig.src, K, R);
  const lwtest::ReferenceMaps ref = reference(p, scale, rig.src, K, R);
  EXPECT_EQ(roi, w->dst_roi());
  EXPECT_EQ(roi.tl(), ref.rect.tl());
  EXPECT_EQ(roi.size(), ref.rect.size() + cv::Size(1, 1));
  EXPECT_EQ(roi.size(), ref.xmap.size());
  Measured m;
  const cv::Mat gx = down(w->xmap()), gy = down(w->ymap());
  EXPECT_EQ(gx.size(), roi.size());
  EXPECT_EQ(gy.size(), roi.size());
  if (gx.size() == ref.xmap.size() && gy.size() == ref.ymap.size()) {
    m.worst_x = worstError(gx, ref.xmap);
    m.worst_y = worstError(gy, ref.ymap);
  } else {
    m.worst_x = m.worst_y = HUGE_VAL;
  }
  if (out_roi) *out_roi = roi;
  return m;
}

template <class F> void expectAssert(F&& f, const std::string& text, const std::string& what) {
  try {
    f();
    ADD_FAILURE() << what << ": no exception";
  } catch (const cv::Exception& e) {
    EXPECT_EQ(e.code, cv::Error::StsAssert) << what << ": " << e.what();
    EXPECT_NE(e.err.find(text), std::string::npos) << what << ": " << e.err;
  }
}

}  // namespace

TEST(ProjectWarpers, MapsEqualOpenCVBuildMapsForEveryProjectionAndRig) {
  bool ragged = false;
  for (Projection p : kProjections)
    for (const Rig& rig : kRigs) {
      cv::Rect roi;
      const Measured m = checkAgainstOpenCV(p, rig, &roi);
      EXPECT_LE(m.worst_x, 1.0) << name(p) << " yaw " << rig.yaw << " " << rig.src;
      EXPECT_LE(m.worst_y, 1.0) << name(p) << " yaw " << rig.yaw << " " << rig.src;
      ragged = ragged || (roi.width % 32 != 0 && roi.height % 8 != 0);
      std::printf("[ maps     ] %-11s %4dx%-4d yaw %+5.1f: roi %dx%d, worst x %.3g y %.3g (of tolerance)\n", name(p),
                  rig.src.width, rig.src.height, rig.yaw, roi.width, roi.height, m.worst_x, m.worst_y);
    }
  EXPECT_TRUE(ragged) << "no map size off the 32x8 launch block was exercised";
}

TEST(ProjectWarpers, PlaneWithTranslationEqualsOpenCV) {
  const Rig rig = kRigs[2];
  const cv::Mat K = cameraMatrix(rig.focal, rig.src), R = rotation(rig.yaw, rig.pitch, rig.roll);
  const cv::Mat column = (cv::Mat_<float>(3, 1) << 0.12f, -0.05f, 0.2f);
  const cv::Mat row = (cv::Mat_<float>(1, 3) << -0.3f, 0.02f, -0.1f);
  for (const cv::Mat& T : {column, row}) {
    PlaneWarper w(float(rig.focal));
    const cv::Rect roi = w.prepare(rig.src, K, R, T);
    const lwtest::ReferenceMaps ref = reference(Projection::Plane, float(rig.focal), rig.src, K, R, T);
    EXPECT_EQ(roi, cv::Rect(ref.rect.tl(), ref.rect.size() + cv::Size(1, 1)));
    ASSERT_EQ(w.xmap().size(), ref.xmap.size());
    EXPECT_LE(worstError(down(w.xmap()), ref.xmap), 1.0);
    EXPECT_LE(worstError(down(w.ymap()), ref.ymap), 1.0);
    // The translation really moves the plane.
    EXPECT_NE(roi, PlaneWarper(float(rig.focal)).prepare(rig.src, K, R));
  }
}

TEST(ProjectWarpers, WhiteImageIsWhiteInsideBlackOutsideGreyAlongTheEdge) {
  const Rig rig = kRigs[2];  // roll and pitch: a slanted footprint
  const cv::Mat K = cameraMatrix(rig.focal, rig.src), R = rotation(rig.yaw, rig.pitch, rig.roll);
  const cuda::GpuMat white(rig.src, CV_8UC1, cv::Scalar(255));
  for (Projection p : kProjections) {
    auto w = makeWarper(p, float(rig.focal));
    const cv::Rect roi = w->prepare(rig.src, K, R);
    cuda::GpuMat out;
    w->warp(white, out);
    const cv::Mat img = down(out), mx = down(w->xmap()), my = down(w->ymap());
    ASSERT_EQ(img.size(), roi.size()) << name(p);
    int inside = 0, outside = 0, edge = 0, wrong = 0;
    for (int y = 0; y < img.rows; ++y)
      for (int x = 0; x < img.cols; ++x) {
        const float sx = mx.at<float>(y, x), sy = my.at<float>(y, x);
        const uchar v = img.at<uchar>(y, x);
        if (sx >= 0 && sy >= 0 && sx <= rig.src.width - 1 && sy <= rig.src.height - 1) {
          ++inside;
          wrong += v != 255;
        } else if (!(sx > -1 && sy > -1 && sx < rig.src.width && sy < rig.src.height)) {
          ++outside;
          wrong += v != 0;
        } else {
          edge += v > 0 && v < 255;
        }
      }
    EXPECT_EQ(wrong, 0) << name(p);
    EXPECT_GT(inside, img.rows * img.cols / 2) << name(p);
    EXPECT_GT(outside, 0) << name(p);  // the slanted footprint leaves corners of its box empty
    EXPECT_GT(edge, (img.rows + img.cols) / 2) << name(p);
  }
}

TEST(ProjectWarpers, SetScaleAffectsOnlyTheNextPrepare) {
  const Rig rig = kRigs[2];
  const cv::Mat K = cameraMatrix(rig.focal, rig.src), R = rotation(rig.yaw, rig.pitch, rig.roll);
  for (Projection p : kProjections) {
    auto w = makeWarper(p, float(rig.focal));
    const cv::Rect first = w->prepare(rig.src, K, R);
    const cv::Mat before = down(w->xmap());
    w->set_scale(float(rig.focal * 0.75));
    EXPECT_EQ(w->dst_roi(), first) << name(p);
    EXPECT_EQ(lwtest::maxAbsDiff(down(w->xmap()), before), 0) << name(p);

    const cv::Rect second = w->prepare(rig.src, K, R);
    const lwtest::ReferenceMaps ref = reference(p, float(rig.focal * 0.75), rig.src, K, R);
    EXPECT_NE(second, first) << name(p);
    EXPECT_EQ(second, cv::Rect(ref.rect.tl(), ref.rect.size() + cv::Size(1, 1))) << name(p);
    ASSERT_EQ(w->xmap().size(), ref.xmap.size()) << name(p);
    EXPECT_LE(worstError(down(w->xmap()), ref.xmap), 1.0) << name(p);
    EXPECT_LE(worstError(down(w->ymap()), ref.ymap), 1.0) << name(p);
  }
}

// Looking back over the shoulder: the projected box spans the seam of the sphere/cylinder
// (u = +-pi), so most of it lies behind the camera and must come out (-1, -1) and black.
TEST(ProjectWarpers, RaysBehindTheCameraMapOffTheSource) {
  const cv::Size src(640, 360);
  const cv::Mat K = cameraMatrix(500, src), R = rotation(170, 3, 0);
  const cuda::GpuMat white(src, CV_8UC1, cv::Scalar(255));
  for (Projection p : {Projection::Spherical, Projection::Cylindrical}) {
    auto w = makeWarper(p, 500);
    w->prepare(src, K, R);
    const lwtest::ReferenceMaps ref = reference(p, 500, src, K, R);
    const cv::Mat gx = down(w->xmap()), gy = down(w->ymap());
    ASSERT_EQ(gx.size(), ref.xmap.size()) << name(p);
    const cv::Mat behind = (ref.xmap == -1) & (ref.ymap == -1);
    ASSERT_GT(cv::countNonZero(behind), gx.rows * gx.cols / 4) << name(p);
    EXPECT_EQ(cv::countNonZero(behind != ((gx == -1) & (gy == -1))), 0) << name(p);
    EXPECT_LE(worstError(gx, ref.xmap), 1.0) << name(p);
    EXPECT_LE(worstError(gy, ref.ymap), 1.0) << name(p);
    cuda::GpuMat out;
    w->warp(white, out);
    EXPECT_EQ(cv::countNonZero(down(out) & behind), 0) << name(p);
  }
}

TEST(ProjectWarpers, WrongMatrixTypesRaiseTheirAssertions) {
  const Rig rig = kRigs[2];
  const cv::Mat K = cameraMatrix(rig.focal, rig.src), R = rotation(rig.yaw, rig.pitch, rig.roll);
  cv::Mat Kd, Rd;
  K.convertTo(Kd, CV_64F);
  R.convertTo(Rd, CV_64F);
  for (Projection p : kProjections) {
    auto w = makeWarper(p, float(rig.focal));
    expectAssert([&] { w->prepare(rig.src, K, Rd); }, "R.type()", std::string(name(p)) + " double R");
    expectAssert([&] { w->prepare(rig.src, Kd, R); }, "K.type()", std::string(name(p)) + " double K");
    expectAssert([&] { w->prepare(rig.src, K(cv::Rect(0, 0, 3, 2)), R); }, "K.size()",
                 std::string(name(p)) + " 3x2 K");
    EXPECT_TRUE(w->dst_roi().empty()) << name(p);
    EXPECT_TRUE(w->xmap().empty()) << name(p);
  }

  // The map builders' own checks, with their exact texts.
  using Builder = std::function<void(const cv::Mat&, const cv::Mat&)>;
  cuda::GpuMat mx, my;
  const cv::Rect roi(-10, -5, 37, 11);
  const cv::Mat T0 = cv::Mat::zeros(3, 1, CV_32F);
  const std::pair<const char*, Builder> builders[] = {
      {"plane", [&](const cv::Mat& k, const cv::Mat& r) {
         buildWarpPlaneMaps(rig.src, roi, k, r, T0, 500.f, mx, my, cuda::Stream::Null());
       }},
      {"spherical", [&](const cv::Mat& k, const cv::Mat& r) {
         buildWarpSphericalMaps(rig.src, roi, k, r, 500.f, mx, my, cuda::Stream::Null());
       }},
      {"cylindrical", [&](const cv::Mat& k, const cv::Mat& r) {
         buildWarpCylindricalMaps(rig.src, roi, k, r, 500.f, mx, my, cuda::Stream::Null());
       }},
  };
  for (const auto& b : builders) {
    expectAssert([&] { b.second(Kd, R); }, "K.size() == Size(3,3) && K.type() == CV_32FC1", b.first);
    expectAssert([&] { b.second(K, Rd); }, "R.size() == Size(3,3) && R.type() == CV_32FC1", b.first);
    b.second(K, R);
    EXPECT_EQ(mx.size(), roi.size()) << b.first;  // 37x11: two partial blocks each way
  }
  const cv::Mat M = cv::Mat::eye(3, 3, CV_32F);
  const std::string t_text =
      "(T.size() == Size(3,1) || T.size() == Size(1,3)) && T.type() == CV_32FC1 && T.isContinuous()";
  for (const cv::Mat& T : {M.col(1), cv::Mat(cv::Mat::zeros(3, 1, CV_64F)), cv::Mat(cv::Mat::zeros(4, 1, CV_32F))})
    expectAssert([&] { buildWarpPlaneMaps(rig.src, roi, K, R, T, 500.f, mx, my, cuda::Stream::Null()); }, t_text,
                 "plane T");
  // A column view passes OpenCV's own check and is refused by ours.
  PlaneWarper w(500);
  expectAssert([&] { w.prepare(rig.src, K, R, M.col(2)); }, t_text, "plane column T");
}

TEST(ProjectWarpers, DegenerateViewIsRefusedAndKeepsThePreviousMaps) {
  const Rig rig = kRigs[2];
  const cv::Mat K = cameraMatrix(rig.focal, rig.src);
  PlaneWarper w(float(rig.focal));
  const cv::Rect good = w.prepare(rig.src, K, rotation(rig.yaw, rig.pitch, rig.roll));
  // A corner ray almost parallel to the image plane: the projected box runs off to ~260000 px.
  try {
    w.prepare(rig.src, K, rotation(58.5, 0, 0));
    ADD_FAILURE() << "no exception";
  } catch (const cv::Exception& e) {
    EXPECT_EQ(e.code, cv::Error::StsOutOfRange) << e.what();
    EXPECT_NE(e.err.find("projected image size out of range"), std::string::npos) << e.err;
  }
  EXPECT_EQ(w.dst_roi(), good);
  EXPECT_EQ(w.xmap().size(), good.size());
  EXPECT_EQ(w.ymap().size(), good.size());
}

TEST(ProjectWarpers, EmptySourceSizeIsRefused) {
  const cv::Mat K = cameraMatrix(500, cv::Size(640, 480)), R = rotation(10, 0, 0);
  for (Projection p : kProjections)
    for (const cv::Size& size : {cv::Size(0, 0), cv::Size(640, 0), cv::Size(-5, 480)}) {
      auto w = makeWarper(p, 500);
      try {
        w->prepare(size, K, R);
        ADD_FAILURE() << name(p) << " " << size << ": no exception";
      } catch (const cv::Exception& e) {
        EXPECT_EQ(e.code, cv::Error::StsBadSize) << name(p) << ": " << e.what();
      }
      EXPECT_TRUE(w->dst_roi().empty()) << name(p);
      EXPECT_TRUE(w->xmap().empty()) << name(p);
    }
}

TEST(ProjectWarpers, WarpBeforePrepareRaises) {
  for (Projection p : kProjections) {
    auto w = makeWarper(p, 1000);
    EXPECT_TRUE(w->dst_roi().empty());
    cuda::GpuMat out;
    EXPECT_THROW(w->warp(cuda::GpuMat(lwtest::sceneImage(cv::Size(64, 48))), out), cv::Exception) << name(p);
  }
}

TEST(ProjectWarpers, WarpedSceneEqualsOpenCVWarp) {
  const Rig rig = kRigs[0];
  const cv::Mat src = lwtest::sceneImage(rig.src);
  const cv::Mat K = cameraMatrix(rig.focal, rig.src), R = rotation(rig.yaw, rig.pitch, rig.roll);
  for (Projection p : kProjections) {
    auto w = makeWarper(p, float(rig.focal));
    const cv::Rect roi = w->prepare(rig.src, K, R);
    cuda::GpuMat out;
    w->warp(cuda::GpuMat(src), out);
    const lwtest::ReferenceMaps ref = reference(p, float(rig.focal), rig.src, K, R);
    cv::Mat expected;
    cv::remap(src, expected, ref.xmap, ref.ymap, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
    EXPECT_EQ(out.size(), roi.size()) << name(p);
    EXPECT_LE(lwtest::maxAbsDiff(down(out), expected), 1) << name(p);
  }
}
