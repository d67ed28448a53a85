// GpuMat semantics, raw memory, backend selection and the standard operations, on the host
// backend; the kernels the cuda backend runs are checked here through the CPU launcher.
#include <cstdlib>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "cuda/kernels.hpp"
#include "lumaweave/cuda.hpp"
#include "support/scene.hpp"

namespace lc = lumaweave::cuda;
using lwtest::maxAbsDiff;

namespace {

cv::Mat download(const lc::GpuMat& g) {
  cv::Mat m;
  g.download(m);
  return m;
}

cv::Mat randomMat(cv::Size size, int type, uint64_t seed = 7) {
  cv::Mat m(size, type);
  cv::RNG rng(seed);
  rng.fill(m, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(CV_MAT_DEPTH(type) == CV_32F ? 1.0 : 256.0));
  return m;
}

}  // namespace

TEST(GpuMat, RoiViewsShareMemoryAndCountReferences) {
  lc::GpuMat img(cv::Size(40, 30), CV_8UC3, cv::Scalar(1, 2, 3));
  EXPECT_EQ(img.refcount(), 1);
  {
    lc::GpuMat roi = img(cv::Rect(5, 4, 10, 6));
    EXPECT_EQ(img.refcount(), 2);
    EXPECT_EQ(roi.size(), cv::Size(10, 6));
    EXPECT_EQ(roi.step, img.step);
    EXPECT_FALSE(roi.isContinuous());
    EXPECT_EQ(roi.data, img.data + 4 * img.step + 5 * 3);
    roi.setTo(cv::Scalar(9, 8, 7));
  }
  EXPECT_EQ(img.refcount(), 1);
  cv::Mat expected(30, 40, CV_8UC3, cv::Scalar(1, 2, 3));
  expected(cv::Rect(5, 4, 10, 6)).setTo(cv::Scalar(9, 8, 7));
  EXPECT_EQ(maxAbsDiff(download(img), expected), 0);
  EXPECT_THROW(img(cv::Rect(35, 0, 10, 5)), cv::Exception);

  // The view outlives its parent header and keeps the memory alive.
  lc::GpuMat survivor = img(cv::Rect(0, 0, 2, 2));
  img.release();
  EXPECT_EQ(survivor.refcount(), 1);
  EXPECT_EQ(maxAbsDiff(download(survivor), cv::Mat(2, 2, CV_8UC3, cv::Scalar(1, 2, 3))), 0);
}

TEST(GpuMat, RowsArePitchedAndCreateReusesMatchingAllocation) {
  lc::GpuMat m(cv::Size(33, 7), CV_8UC3);
  EXPECT_GE(m.step, 33u * 3);
  EXPECT_EQ(m.step % 64, 0u);
  EXPECT_FALSE(m.isContinuous());
  lc::GpuMat row(cv::Size(33, 1), CV_8UC3);
  EXPECT_TRUE(row.isContinuous());

  uchar* before = m.data;
  m.create(7, 33, CV_8UC3);
  EXPECT_EQ(m.data, before);
  lc::GpuMat alias = m;
  m.create(8, 33, CV_8UC3);  // new size: new memory; the alias keeps the old one
  EXPECT_NE(m.data, before);
  EXPECT_EQ(alias.data, before);
  m.create(8, 33, CV_8UC4);
  EXPECT_EQ(m.type(), CV_8UC4);
  m.create(0, 0, CV_8UC1);
  EXPECT_TRUE(m.empty());
}

TEST(GpuMat, CloneIsDeepAndUploadDownloadRoundTrips) {
  const cv::Mat scene = lwtest::sceneImage(cv::Size(101, 67));
  const cv::Mat roi = scene(cv::Rect(3, 5, 60, 40));  // a non-continuous host source
  lc::GpuMat g(roi);
  EXPECT_EQ(maxAbsDiff(download(g), roi), 0);

  lc::GpuMat c = g.clone();
  EXPECT_NE(c.data, g.data);
  c.setTo(cv::Scalar::all(0));
  EXPECT_EQ(maxAbsDiff(download(g), roi), 0);

  lc::GpuMat f;
  lc::GpuMat(randomMat(cv::Size(17, 9), CV_32FC1)).copyTo(f);
  EXPECT_EQ(f.type(), CV_32FC1);
  lc::GpuMat empty;
  cv::Mat out = cv::Mat::ones(2, 2, CV_8U);
  empty.download(out);
  EXPECT_TRUE(out.empty());
}

TEST(GpuMat, MasksLimitCopyAndSet) {
  const cv::Mat src = randomMat(cv::Size(23, 11), CV_8UC3, 1);
  cv::Mat mask(11, 23, CV_8UC1, cv::Scalar(0));
  cv::circle(mask, cv::Point(11, 5), 5, cv::Scalar(255), -1);
  mask.at<uchar>(0, 0) = 1;  // any non-zero value selects

  cv::Mat expected(11, 23, CV_8UC3, cv::Scalar(10, 20, 30));
  src.copyTo(expected, mask);
  lc::GpuMat dst(cv::Size(23, 11), CV_8UC3, cv::Scalar(10, 20, 30));
  lc::GpuMat(src).copyTo(dst, lc::GpuMat(mask));
  EXPECT_EQ(maxAbsDiff(download(dst), expected), 0);

  cv::Mat set_expected = src.clone();
  set_expected.setTo(cv::Scalar(1, 2, 3), mask);
  lc::GpuMat s(src);
  s.setTo(cv::Scalar(1, 2, 3), lc::GpuMat(mask));
  EXPECT_EQ(maxAbsDiff(download(s), set_expected), 0);

  lc::GpuMat wrong(cv::Size(5, 5), CV_8UC1);
  EXPECT_THROW(lc::GpuMat(src).copyTo(dst, wrong), cv::Exception);
}

TEST(GpuMat, ConvertToMatchesOpenCV) {
  const cv::Mat src = randomMat(cv::Size(19, 13), CV_8UC3, 3);
  for (int rtype : {CV_32FC3, CV_16SC3, CV_8UC3, -1}) {
    cv::Mat expected;
    src.convertTo(expected, rtype, 1.7, -20.0);
    lc::GpuMat d;
    lc::GpuMat(src).convertTo(d, rtype, 1.7, -20.0);
    EXPECT_EQ(maxAbsDiff(download(d), expected), 0) << rtype;
  }
  lc::GpuMat inplace(src);
  inplace.convertTo(inplace, CV_32F, 1.0 / 255);
  cv::Mat expected;
  src.convertTo(expected, CV_32F, 1.0 / 255);
  EXPECT_EQ(maxAbsDiff(download(inplace), expected), 0);
}

TEST(RawMemory, MirrorsTheRuntimeCalls) {
  void* p = nullptr;
  ASSERT_EQ(lc::malloc(&p, 256), lc::Success);
  ASSERT_EQ(lc::memset(p, 0x5a, 256), lc::Success);
  unsigned char host[256] = {};
  ASSERT_EQ(lc::memcpy(host, p, 256, lc::MemcpyDeviceToHost), lc::Success);
  EXPECT_EQ(host[0], 0x5a);
  EXPECT_EQ(host[255], 0x5a);
  EXPECT_EQ(lc::memcpy2D(p, 8, host, 16, 16, 2, lc::MemcpyHostToDevice), lc::ErrorInvalidValue);
  EXPECT_EQ(lc::getLastError(), lc::ErrorInvalidValue);
  EXPECT_EQ(lc::getLastError(), lc::Success);  // reading clears it
  EXPECT_EQ(lc::deviceSynchronize(), lc::Success);
  EXPECT_EQ(lc::free(p), lc::Success);
  EXPECT_STRNE(lc::getErrorString(lc::ErrorMemoryAllocation), "");
  try {
    LW_CUDA_CHECK(lc::ErrorMemoryAllocation);
    FAIL() << "no exception";
  } catch (const cv::Exception& e) {
    EXPECT_EQ(e.code, cv::Error::GpuApiCallError);
  }
}

TEST(Backend, HostWhenAsked) { EXPECT_EQ(lc::activeBackend(), lc::Backend::Host); }

TEST(Backend, SelectionFromTheEnvironment) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");     // a fresh process: the choice is made once
  auto selectWith = [](const char* value) {
    setenv("LUMAWEAVE_BACKEND", value, 1);
    try {
      lc::activeBackend();
    } catch (const cv::Exception& e) {
      fprintf(stderr, "error: %s\n", e.err.c_str());
      std::exit(3);
    }
    std::exit(0);
  };
  EXPECT_EXIT(selectWith("gpu"), testing::ExitedWithCode(3), "must be auto, host or cuda, not 'gpu'");
  if (lc::deviceCount() == 0) {
    EXPECT_EXIT(selectWith("cuda"), testing::ExitedWithCode(3), "LUMAWEAVE_BACKEND=cuda but");
  }
  EXPECT_EXIT(selectWith("auto"), testing::ExitedWithCode(0), "");
}

// ------------------------------------------------------------------------------ operations
struct RemapCase {
  int type;
  int interpolation;
  int border;
};

class RemapTest : public testing::TestWithParam<RemapCase> {};

TEST_P(RemapTest, HostEqualsOpenCVAndKernelWithinOneLevel) {
  const RemapCase c = GetParam();
  cv::Mat src = lwtest::sceneImage(cv::Size(160, 120));
  if (c.type == CV_8UC1) cv::cvtColor(src, src, cv::COLOR_BGR2GRAY);
  if (c.type == CV_8UC4) cv::cvtColor(src, src, cv::COLOR_BGR2BGRA);
  if (c.type == CV_32FC1) {
    cv::cvtColor(src, src, cv::COLOR_BGR2GRAY);
    src.convertTo(src, CV_32F, 1.0 / 255);
  }
  cv::Mat xmap, ymap;
  lwtest::testMaps(src.size(), cv::Size(133, 91), xmap, ymap);  // not a multiple of the 32x8 block
  xmap.at<float>(0, 0) = NAN;                                    // must sample the border, not crash
  const cv::Scalar border(40, 80, 120, 200);
  cv::Mat expected;
  cv::remap(src, expected, xmap, ymap, c.interpolation, c.border, border);

  lc::GpuMat gsrc(src), gx(xmap), gy(ymap), gdst;
  lc::remap(gsrc, gdst, gx, gy, c.interpolation, c.border, border);
  EXPECT_EQ(maxAbsDiff(download(gdst), expected), 0);

  lc::GpuMat kdst(xmap.size(), src.type());
  lc::kernels::remap(gsrc, kdst, gx, gy, c.interpolation, c.border, border, lc::Stream::Null());
  const cv::Mat k = download(kdst);
  const double tol = c.type == CV_32FC1 ? 1.0 / 255 : 1.0;
  // Row 0 col 0 holds a NaN coordinate; OpenCV's handling of it is its own business.
  EXPECT_LE(maxAbsDiff(k(cv::Rect(1, 0, 132, 91)), expected(cv::Rect(1, 0, 132, 91))), tol);
  if (c.interpolation == cv::INTER_NEAREST) {
    EXPECT_EQ(maxAbsDiff(k(cv::Rect(1, 1, 132, 90)), expected(cv::Rect(1, 1, 132, 90))), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RemapTest,
    testing::Values(RemapCase{CV_8UC3, cv::INTER_LINEAR, cv::BORDER_CONSTANT},
                    RemapCase{CV_8UC3, cv::INTER_LINEAR, cv::BORDER_REPLICATE},
                    RemapCase{CV_8UC3, cv::INTER_NEAREST, cv::BORDER_CONSTANT},
                    RemapCase{CV_8UC1, cv::INTER_LINEAR, cv::BORDER_CONSTANT},
                    RemapCase{CV_8UC1, cv::INTER_NEAREST, cv::BORDER_REPLICATE},
                    RemapCase{CV_8UC4, cv::INTER_LINEAR, cv::BORDER_CONSTANT},
                    RemapCase{CV_32FC1, cv::INTER_LINEAR, cv::BORDER_REPLICATE}));

TEST(Remap, RejectsWhatTheDeviceCannotDo) {
  lc::GpuMat src(cv::Size(8, 8), CV_8UC3, cv::Scalar::all(1)), dst;
  lc::GpuMat map(cv::Size(8, 8), CV_32FC1, cv::Scalar::all(1));
  lc::GpuMat map64(cv::Size(8, 8), CV_64FC1, cv::Scalar::all(1));
  lc::GpuMat other(cv::Size(4, 8), CV_32FC1, cv::Scalar::all(1));
  EXPECT_THROW(lc::remap(lc::GpuMat(), dst, map, map, cv::INTER_LINEAR), cv::Exception);
  EXPECT_THROW(lc::remap(src, dst, map64, map64, cv::INTER_LINEAR), cv::Exception);
  EXPECT_THROW(lc::remap(src, dst, map, other, cv::INTER_LINEAR), cv::Exception);
  EXPECT_THROW(lc::remap(src, dst, map, map, cv::INTER_CUBIC), cv::Exception);
  EXPECT_THROW(lc::remap(src, dst, map, map, cv::INTER_LINEAR, cv::BORDER_REFLECT), cv::Exception);
  // In place: the result is still the remap of the original.
  lc::GpuMat same = src;
  lc::remap(same, same, map, map, cv::INTER_LINEAR);
  EXPECT_EQ(same.size(), cv::Size(8, 8));
}

TEST(CvtColor, HostAndKernelEqualOpenCV) {
  const cv::Mat bgr = lwtest::sceneImage(cv::Size(97, 61));
  cv::Mat rgba;
  cv::cvtColor(bgr, rgba, cv::COLOR_BGR2RGBA);
  struct Case {
    int code;
    cv::Mat src;
    int dst_type;
  };
  for (const Case& c : {Case{cv::COLOR_RGBA2BGR, rgba, CV_8UC3}, Case{cv::COLOR_BGR2RGBA, bgr, CV_8UC4},
                        Case{cv::COLOR_BGR2GRAY, bgr, CV_8UC1}}) {
    cv::Mat expected;
    cv::cvtColor(c.src, expected, c.code);
    lc::GpuMat g(c.src), out;
    lc::cvtColor(g, out, c.code);
    EXPECT_EQ(maxAbsDiff(download(out), expected), 0) << c.code;
    lc::GpuMat k(c.src.size(), c.dst_type);
    lc::kernels::cvtColor(g, k, c.code, lc::Stream::Null());
    EXPECT_EQ(maxAbsDiff(download(k), expected), 0) << c.code;
  }
  lc::GpuMat out;
  EXPECT_THROW(lc::cvtColor(lc::GpuMat(bgr), out, cv::COLOR_RGBA2BGR), cv::Exception);  // 3 channels in
  EXPECT_THROW(lc::cvtColor(lc::GpuMat(bgr), out, cv::COLOR_BGR2HSV), cv::Exception);
}

TEST(Kernels, CopySetConvertOnTheCpuLauncherEqualOpenCV) {
  const cv::Mat src = randomMat(cv::Size(45, 21), CV_8UC3, 5);
  cv::Mat mask(21, 45, CV_8UC1, cv::Scalar(0));
  cv::rectangle(mask, cv::Rect(3, 2, 30, 9), cv::Scalar(255), -1);
  lc::GpuMat gsrc(src), gmask(mask);

  lc::GpuMat dst(src.size(), CV_8UC3, cv::Scalar::all(7));
  lc::kernels::copyMasked(gsrc, dst, gmask, lc::Stream::Null());
  cv::Mat expected(src.size(), CV_8UC3, cv::Scalar::all(7));
  src.copyTo(expected, mask);
  EXPECT_EQ(maxAbsDiff(download(dst), expected), 0);

  lc::GpuMat set = gsrc.clone();
  lc::kernels::setTo(set, cv::Scalar(300, -4, 17.5), &gmask, lc::Stream::Null());
  expected = src.clone();
  expected.setTo(cv::Scalar(300, -4, 17.5), mask);
  EXPECT_EQ(maxAbsDiff(download(set), expected), 0);

  for (int dtype : {CV_32FC3, CV_16SC3, CV_8UC3, CV_64FC3}) {
    lc::GpuMat conv(src.size(), dtype);
    lc::kernels::convert(gsrc, conv, 1.37, -30.5, lc::Stream::Null());
    src.convertTo(expected, dtype, 1.37, -30.5);
    EXPECT_LE(maxAbsDiff(download(conv), expected), 1e-4) << dtype;
  }
}
