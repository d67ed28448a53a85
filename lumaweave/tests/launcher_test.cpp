// The portable kernel launcher on the CPU: per-thread kernels and phased block kernels.
#include <numeric>

#include <gtest/gtest.h>

#include "cuda/launch.cuh"
#include "lumaweave/cuda.hpp"

namespace lc = lumaweave::cuda;

namespace {

struct IndexKernel {
  mutable cv::cuda::PtrStepSz<int> out;
  void operator()(const lc::ThreadIndex& t) const {
    const int x = t.global_x(), y = t.global_y();
    if (x >= out.cols || y >= out.rows) return;
    out(y, x) += y * 1000 + x + 1;  // += catches a pixel visited twice
  }
};

// Reverses each block's 64 values through shared memory: phase 1 reads what other threads
// wrote in phase 0, which only holds if the launcher runs phase 0 for the whole block first.
struct ReverseAndSumKernel {
  struct Shared {
    int v[64];
    int partial[64];
  };
  static constexpr int kPhases = 8;
  const int* in;
  int* reversed;
  int* sums;
  int n;

  void operator()(const lc::ThreadIndex& t, Shared& s, int phase) const {
    const int i = t.thread.x, g = t.global_x();
    switch (phase) {
      case 0:
        s.v[i] = g < n ? in[g] : 0;
        break;
      case 1: {
        const int src = int(t.block.x * 64) + 63 - i;
        if (g < n && src < n) reversed[g] = s.v[63 - i];
        s.partial[i] = s.v[i];
        break;
      }
      default: {  // tree reduction, one halving per phase (32, 16, ..., 1)
        const int stride = 64 >> (phase - 1);
        if (i < stride) s.partial[i] += s.partial[i + stride];
        if (phase == kPhases - 1 && i == 0) sums[t.block.x] = s.partial[0];
      }
    }
  }
};

}  // namespace

TEST(Launcher, PerThreadKernelCoversARaggedGridOnce) {
  lc::GpuMat out(cv::Size(70, 19), CV_32SC1, cv::Scalar::all(0));  // 70x19: partial blocks both ways
  lc::launch(dim3(lc::divCeil(70, 32), lc::divCeil(19, 8)), dim3(32, 8), lc::Stream::Null(),
             IndexKernel{cv::cuda::PtrStepSz<int>(out)});
  cv::Mat m;
  out.download(m);
  for (int y = 0; y < 19; ++y)
    for (int x = 0; x < 70; ++x) ASSERT_EQ(m.at<int>(y, x), y * 1000 + x + 1) << x << "," << y;
}

TEST(Launcher, PhasedKernelHasBarrierSemantics) {
  const int n = 200;  // four blocks of 64, the last one partial
  std::vector<int> in(n), reversed(n, -1), sums(4, -1);
  std::iota(in.begin(), in.end(), 1);
  lc::launchPhased(dim3(4), dim3(64), lc::Stream::Null(),
                   ReverseAndSumKernel{in.data(), reversed.data(), sums.data(), n});
  for (int b = 0; b < 3; ++b) {
    for (int i = 0; i < 64; ++i) ASSERT_EQ(reversed[b * 64 + i], in[b * 64 + 63 - i]);
    EXPECT_EQ(sums[b], std::accumulate(in.begin() + b * 64, in.begin() + b * 64 + 64, 0));
  }
  EXPECT_EQ(sums[3], std::accumulate(in.begin() + 192, in.end(), 0));
}
