// Device-layer remap of a 1920x1080 BGR frame against cv::remap called directly, through
// realistic undistortion maps; the argument is the number of worker threads.
#include <benchmark/benchmark.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "bench_support.hpp"
#include "lumaweave/cuda.hpp"

namespace {

struct Frame {
  cv::Mat src, xmap, ymap;
  Frame() {
    const cv::Size size(1920, 1080);
    src = lwbench::scene(size);
    const cv::Mat K = (cv::Mat_<double>(3, 3) << 1150, 0, 960, 0, 1150, 540, 0, 0, 1);
    const cv::Mat D = (cv::Mat_<double>(5, 1) << -0.28, 0.09, 0, 0, -0.01);
    const cv::Mat newK = cv::getOptimalNewCameraMatrix(K, D, size, 1.0);
    cv::initUndistortRectifyMap(K, D, cv::Mat(), newK, size, CV_32FC1, xmap, ymap);
  }
};

const Frame& frame() {
  static const Frame f;
  return f;
}

void BM_OpenCVRemap(benchmark::State& state) {
  cv::setNumThreads(int(state.range(0)));
  const Frame& f = frame();
  cv::Mat dst;
  for (auto _ : state) {
    cv::remap(f.src, dst, f.xmap, f.ymap, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
    benchmark::DoNotOptimize(dst.data);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_DeviceRemap(benchmark::State& state) {
  cv::setNumThreads(int(state.range(0)));
  const Frame& f = frame();
  lumaweave::cuda::GpuMat src(f.src), xmap(f.xmap), ymap(f.ymap), dst;
  for (auto _ : state) {
    lumaweave::cuda::remap(src, dst, xmap, ymap, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
    benchmark::DoNotOptimize(dst.data);
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_OpenCVRemap)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_DeviceRemap)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);

const bool registered = (lwbench::compare("BM_DeviceRemap", "BM_OpenCVRemap"), true);

}  // namespace

LW_BENCH_MAIN()
