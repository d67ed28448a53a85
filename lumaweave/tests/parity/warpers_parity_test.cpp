// Projection maps built by the CUDA kernels (constant-memory parameters, FMA, the device's
// sinf/cosf) against OpenCV's CPU buildMaps. Needs a CUDA device; skips elsewhere and says so.
#include <cstdio>

#include <gtest/gtest.h>

#include "lumaweave/cuda.hpp"
#include "lumaweave/fast_warpers.hpp"
#include "support/projection_fixture.hpp"

namespace lc = lumaweave::cuda;

namespace {

class WarperParity : public testing::Test {
 protected:
  void SetUp() override {
    if (lc::activeBackend() != lc::Backend::Cuda)
      GTEST_SKIP() << "no CUDA device (backend '" << lc::backendName(lc::activeBackend())
                   << "', built with CUDA: " << (lc::builtWithCuda() ? "yes" : "no")
                   << "): projection map parity on the device NOT checked";
  }
  static cv::Mat down(const lc::GpuMat& g) {
    cv::Mat m;
    g.download(m);
    return m;
  }
};

// 2e-3 px (1/16 of the remap's 1/32-pixel grid), 1e-5 relative for far-out points; positions
// both sides put off the source are skipped, which also covers a ray whose depth is ~0 and
// lands on either side of the camera plane through rounding.
constexpr double kAbsTol = 2e-3, kRelTol = 1e-5;

}  // namespace

TEST_F(WarperParity, DeviceMapsEqualOpenCVBuildMaps) {
  bool ragged = false;
  for (lwtest::Projection p : lwtest::kProjections)
    for (const lwtest::Rig& rig : lwtest::kRigs) {
      const cv::Mat K = lwtest::cameraMatrix(rig.focal, rig.src), R = lwtest::rotation(rig.yaw, rig.pitch, rig.roll);
      auto w = lwtest::makeWarper(p, float(rig.focal));
      const cv::Rect roi = w->prepare(rig.src, K, R);
      const lwtest::ReferenceMaps ref = lwtest::referenceMaps(p, float(rig.focal), rig.src, K, R);
      EXPECT_EQ(roi, cv::Rect(ref.rect.tl(), ref.rect.size() + cv::Size(1, 1))) << lwtest::name(p);
      const cv::Mat gx = down(w->xmap()), gy = down(w->ymap());
      ASSERT_EQ(gx.size(), ref.xmap.size()) << lwtest::name(p);
      const double worst = lwtest::worstError(gx, gy, ref.xmap, ref.ymap, rig.src, kAbsTol, kRelTol);
      EXPECT_LE(worst, 1.0) << lwtest::name(p) << " yaw " << rig.yaw << " " << rig.src;
      std::printf("[ device   ] %-11s %4dx%-4d yaw %+5.1f: roi %dx%d, worst %.3g of tolerance\n", lwtest::name(p),
                  rig.src.width, rig.src.height, rig.yaw, roi.width, roi.height, worst);
      ragged = ragged || (roi.width % 32 != 0 && roi.height % 8 != 0);
    }
  EXPECT_TRUE(ragged);
}

TEST_F(WarperParity, DevicePlaneWithTranslationAndRaysBehindTheCamera) {
  const lwtest::Rig rig = lwtest::kRigs[2];
  const cv::Mat K = lwtest::cameraMatrix(rig.focal, rig.src), R = lwtest::rotation(rig.yaw, rig.pitch, rig.roll);
  const cv::Mat T = (cv::Mat_<float>(3, 1) << 0.12f, -0.05f, 0.2f);
  lumaweave::PlaneWarper plane(float(rig.focal));
  plane.prepare(rig.src, K, R, T);
  const lwtest::ReferenceMaps ref = lwtest::referenceMaps(lwtest::Projection::Plane, float(rig.focal), rig.src, K, R, T);
  ASSERT_EQ(plane.xmap().size(), ref.xmap.size());
  EXPECT_LE(lwtest::worstError(down(plane.xmap()), down(plane.ymap()), ref.xmap, ref.ymap, rig.src, kAbsTol, kRelTol),
            1.0);

  const cv::Size src(640, 360);
  const cv::Mat K2 = lwtest::cameraMatrix(500, src), back = lwtest::rotation(170, 3, 0);
  for (lwtest::Projection p : {lwtest::Projection::Spherical, lwtest::Projection::Cylindrical}) {
    auto w = lwtest::makeWarper(p, 500);
    w->prepare(src, K2, back);
    const lwtest::ReferenceMaps r = lwtest::referenceMaps(p, 500, src, K2, back);
    const cv::Mat gx = down(w->xmap()), gy = down(w->ymap());
    ASSERT_EQ(gx.size(), r.xmap.size()) << lwtest::name(p);
    EXPECT_LE(lwtest::worstError(gx, gy, r.xmap, r.ymap, src, kAbsTol, kRelTol), 1.0) << lwtest::name(p);
    // (-1, -1) wherever OpenCV has it, but for rays within rounding of the camera plane.
    const cv::Mat differ = ((r.xmap == -1) & (r.ymap == -1)) != ((gx == -1) & (gy == -1));
    EXPECT_LE(cv::countNonZero(differ), gx.rows / 10) << lwtest::name(p);
  }
}
