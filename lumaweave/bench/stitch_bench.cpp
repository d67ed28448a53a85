// The live stitcher on a 1920x1080 pair (spherical projection, with undistortion) against the
// same work written plainly with OpenCV CPU calls, in the same run: two cv::remap per camera,
// two ROI copies, one full copy. The argument is the number of worker threads.
#include <atomic>
#include <filesystem>
#include <thread>

#include <benchmark/benchmark.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/stitching/detail/warpers.hpp>

#include "bench_support.hpp"
#include "lumaweave/cuda.hpp"
#include "lumaweave/live_stitcher.hpp"
#include "rig_synth.hpp"
#include "stitch_geometry.hpp"

namespace lc = lumaweave::cuda;

namespace {

struct Setup {
  lwrig::Rig rig{[] {
    lwrig::RigSetup s;
    s.frame_size = cv::Size(1920, 1080);
    return s;
  }()};
  std::string settings;
  std::vector<cv::Mat> frames, frames_rgba;
  // The plain OpenCV version of the same geometry.
  cv::Mat und_x, und_y;
  std::vector<cv::Mat> proj_x, proj_y;
  lumaweave::StitchGeometry geometry;

  Setup() {
    const std::string dir = (std::filesystem::temp_directory_path() / "lumaweave_stitch_bench").string();
    std::filesystem::create_directories(dir);
    std::string info, params;
    rig.write_files(dir, info, params);
    settings = "{\"cameras_info\": \"" + info + "\", \"cameras_calib\": \"" + params + "\"}";
    rig.render(lwbench::scene(cv::Size(1600, 1200)), frames);
    for (const cv::Mat& f : frames) cv::cvtColor(f, frames_rgba.emplace_back(), cv::COLOR_BGR2RGBA);

    const cv::Size size = rig.setup().frame_size;
    const cv::Mat newK = cv::getOptimalNewCameraMatrix(rig.K(), rig.D(), size, 1.0, cv::Size(), nullptr, false);
    cv::initUndistortRectifyMap(rig.K(), rig.D(), cv::Mat(), newK, size, CV_32FC1, und_x, und_y);
    const auto& cams = rig.cameras();
    const float scale = float((cams[0].focal + cams[1].focal) / 2);
    cv::detail::SphericalWarper warper(scale);
    std::vector<cv::Rect> rects;
    for (const auto& cam : cams) {
      cv::Mat K, x, y;
      cam.K().convertTo(K, CV_32F);
      // buildMaps returns the inclusive corners as a rect; the maps have the full size.
      const cv::Point tl = warper.buildMaps(size, K, cam.R, x, y).tl();
      rects.push_back(cv::Rect(tl, x.size()));
      proj_x.push_back(x);
      proj_y.push_back(y);
    }
    geometry = lumaweave::computeStitchGeometry(rects[0], rects[1]);
  }

  // What one frame pair costs when written plainly with OpenCV.
  void plain(const std::vector<cv::Mat>& in, std::vector<cv::Mat>& und, std::vector<cv::Mat>& warped, cv::Mat& output,
             cv::Mat& out) const {
    output.create(geometry.output_size, CV_8UC3);
    for (int i = 0; i < 2; ++i) {
      cv::remap(in[i], und[i], und_x, und_y, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
      cv::remap(und[i], warped[i], proj_x[i], proj_y[i], cv::INTER_LINEAR, cv::BORDER_CONSTANT);
      cv::Mat dst = output(geometry.output_rects[i]);
      warped[i](geometry.crop_rects[i]).copyTo(dst);
    }
    output.copyTo(out);
  }
};

Setup& setup() {
  static Setup s;
  return s;
}

void BM_PlainOpenCV(benchmark::State& state) {
  cv::setNumThreads(int(state.range(0)));
  const Setup& s = setup();
  std::vector<cv::Mat> und(2), warped(2);
  cv::Mat output, out;
  for (auto _ : state) {
    s.plain(s.frames, und, warped, output, out);
    benchmark::DoNotOptimize(out.data);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Process(benchmark::State& state) {
  cv::setNumThreads(int(state.range(0)));
  Setup& s = setup();
  lumaweave::LiveStitcher stitcher{lumaweave::LiveStitcher::Settings(s.settings)};
  stitcher.prepare(s.rig.setup().frame_size, false);
  std::vector<lc::GpuMat> in{lc::GpuMat(s.frames[0]), lc::GpuMat(s.frames[1])};
  lc::GpuMat out;
  for (auto _ : state) {
    if (!stitcher.process(in, out)) state.SkipWithError("process refused the frames");
    benchmark::DoNotOptimize(out.data);
  }
  state.SetItemsProcessed(state.iterations());
}

// The pipeline's per-frame work written plainly and run in sequence: colour conversions at
// both ends plus the stitch.
void BM_PlainOpenCVPipelineWork(benchmark::State& state) {
  cv::setNumThreads(int(state.range(0)));
  const Setup& s = setup();
  std::vector<cv::Mat> bgr(2), und(2), warped(2);
  cv::Mat output, out, rgba;
  for (auto _ : state) {
    for (int i = 0; i < 2; ++i) cv::cvtColor(s.frames_rgba[i], bgr[i], cv::COLOR_RGBA2BGR);
    s.plain(bgr, und, warped, output, out);
    cv::cvtColor(out, rgba, cv::COLOR_BGR2RGBA);
    benchmark::DoNotOptimize(rgba.data);
  }
  state.SetItemsProcessed(state.iterations());
}

// Throughput of feed -> warping -> stitching -> output callback, frames overlapping in flight.
void BM_Pipeline(benchmark::State& state) {
  cv::setNumThreads(int(state.range(0)));
  Setup& s = setup();
  lumaweave::LiveStitcher stitcher{lumaweave::LiveStitcher::Settings(s.settings)};
  std::atomic<int64_t> delivered{0};
  stitcher.set_output_callback([&](lc::GpuMat&, uint64_t) { ++delivered; });
  stitcher.prepare(s.rig.setup().frame_size, true);
  std::vector<lc::GpuMat> in{lc::GpuMat(s.frames_rgba[0]), lc::GpuMat(s.frames_rgba[1])};
  int64_t fed = 0;
  for (auto _ : state) {
    if (!stitcher.feed(in, uint64_t(fed))) state.SkipWithError("feed refused the frames");
    ++fed;
  }
  while (delivered < fed) std::this_thread::yield();  // count only frames that came out
  state.SetItemsProcessed(fed);
}

#define LW_ARGS ->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0)
BENCHMARK(BM_PlainOpenCV) LW_ARGS;
BENCHMARK(BM_Process) LW_ARGS;
BENCHMARK(BM_PlainOpenCVPipelineWork) LW_ARGS;
BENCHMARK(BM_Pipeline) LW_ARGS;

const bool registered = (lwbench::compare("BM_Process", "BM_PlainOpenCV"),
                         lwbench::compare("BM_Pipeline", "BM_PlainOpenCVPipelineWork"), true);

}  // namespace

LW_BENCH_MAIN()
