// Pipeline stress, meant to run under ThreadSanitizer: thousands of frames through feed/fetch
// and the callback, enable/disable/re-prepare cycles, a feed blocked while another thread
// disables. Every wait has a deadline, so a deadlock fails the test instead of hanging CI.
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "lumaweave/live_stitcher.hpp"
#include "support/rig_fixture.hpp"
#include "support/scene.hpp"

using namespace lumaweave;
using namespace std::chrono_literals;

namespace {

constexpr int kFrames = 2000;

class PipelineStress : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    // OpenCV's worker pool is not instrumented; with it ThreadSanitizer would misread the
    // hand-over of remap results as races. The pipeline's own threads are what is under test.
    cv::setNumThreads(0);
  }
  void SetUp() override {
    lwrig::RigSetup setup;
    setup.frame_size = cv::Size(64, 36);
    rig = std::make_unique<lwrig::Rig>(setup);
    files = lwtest::writeRig(*rig, "stress");
    // A procedural scene: image decoding (GDAL inside OpenCV) has lock-order reports of its own.
    cv::Mat scene(150, 200, CV_8UC3);
    cv::randu(scene, cv::Scalar::all(0), cv::Scalar::all(256));
    cv::GaussianBlur(scene, scene, cv::Size(7, 7), 2);
    std::vector<cv::Mat> frames;
    rig->render(scene, frames);
    for (const cv::Mat& f : frames) {
      cv::Mat rgba;
      cv::cvtColor(f, rgba, cv::COLOR_BGR2RGBA);
      in.emplace_back(rgba);
      cv::Mat half;
      cv::resize(rgba, half, cv::Size(32, 18), 0, 0, cv::INTER_AREA);
      in_half.emplace_back(half);
    }
  }
  std::unique_ptr<LiveStitcher> make(int buffers) {
    LiveStitcher::Settings s(lwtest::settingsJson(files.info_path, files.params_path));
    s.buffer_size = buffers;
    return std::make_unique<LiveStitcher>(s);
  }
  template <class F> static bool finishes(F&& f, std::chrono::seconds limit = 120s) {
    auto fut = std::async(std::launch::async, std::forward<F>(f));
    return fut.wait_for(limit) == std::future_status::ready;
  }

  std::unique_ptr<lwrig::Rig> rig;
  lwtest::RigFiles files;
  std::vector<cuda::GpuMat> in, in_half;
};

}  // namespace

TEST_F(PipelineStress, ThousandsOfFramesThroughFetchInOrder) {
  auto s = make(4);
  s->prepare(rig->setup().frame_size, true);
  std::vector<uint64_t> got;
  ASSERT_TRUE(finishes([&] {
    std::thread consumer([&] {
      const auto end = std::chrono::steady_clock::now() + 100s;
      while (got.size() < size_t(kFrames) && std::chrono::steady_clock::now() < end) {
        cuda::GpuMat out;
        uint64_t ts = 0;
        if (s->fetch(out, ts))
          got.push_back(ts);
        else
          std::this_thread::yield();
      }
    });
    for (int i = 0; i < kFrames; ++i) EXPECT_TRUE(s->feed(in, uint64_t(1000 + i)));
    consumer.join();
  }));
  ASSERT_EQ(got.size(), size_t(kFrames));
  for (int i = 0; i < kFrames; ++i) ASSERT_EQ(got[i], uint64_t(1000 + i));
}

TEST_F(PipelineStress, ThousandsOfFramesThroughTheCallbackInOrder) {
  auto s = make(3);
  std::mutex m;
  std::vector<uint64_t> got;
  s->set_output_callback([&](cuda::GpuMat& img, uint64_t ts) {
    EXPECT_EQ(img.type(), CV_8UC4);
    std::lock_guard<std::mutex> lock(m);
    got.push_back(ts);
  });
  s->prepare(rig->setup().frame_size, true);
  ASSERT_TRUE(finishes([&] {
    for (int i = 0; i < kFrames; ++i) EXPECT_TRUE(s->feed(in, uint64_t(i)));
    while (true) {
      {
        std::lock_guard<std::mutex> lock(m);
        if (got.size() == size_t(kFrames)) break;
      }
      std::this_thread::sleep_for(1ms);
    }
  }));
  for (int i = 0; i < kFrames; ++i) ASSERT_EQ(got[i], uint64_t(i));
}

TEST_F(PipelineStress, EnableDisableReprepareCyclesWithABlockedFeeder) {
  auto s = make(2);
  std::atomic<int> callbacks{0};
  s->set_output_callback([&](cuda::GpuMat& img, uint64_t) {
    EXPECT_FALSE(img.empty());
    ++callbacks;
  });
  ASSERT_TRUE(finishes([&] {
    for (int cycle = 0; cycle < 40; ++cycle) {
      const bool half = cycle % 3 == 2;
      const cv::Size size = half ? cv::Size(32, 18) : rig->setup().frame_size;
      s->prepare(size, true);
      const auto& frames = half ? in_half : in;
      // A feeder that outruns the pool, so it is often blocked when the pipeline stops.
      std::atomic<bool> stop{false};
      uint64_t last_ok = 0;
      std::thread feeder([&] {
        for (uint64_t t = 1; !stop; ++t) {
          if (!s->feed(frames, t)) break;
          EXPECT_GT(t, last_ok);
          last_ok = t;
        }
      });
      std::this_thread::sleep_for(std::chrono::milliseconds(2 + cycle % 5));
      stop = true;
      s->prepare(size, false);  // from this thread, while the feeder may wait in feed
      feeder.join();
    }
  }));
  EXPECT_GT(callbacks.load(), 0);
}

TEST_F(PipelineStress, FetchAndCallbackShareFramesWithoutLosingAny) {
  auto s = make(4);
  std::atomic<int> by_callback{0};
  s->set_output_callback([&](cuda::GpuMat&, uint64_t) { ++by_callback; });
  s->prepare(rig->setup().frame_size, true);
  std::atomic<int> by_fetch{0};
  ASSERT_TRUE(finishes([&] {
    std::atomic<bool> done{false};
    std::thread fetcher([&] {
      while (!done) {
        cuda::GpuMat out;
        uint64_t ts;
        if (s->fetch(out, ts)) ++by_fetch;
      }
    });
    for (int i = 0; i < kFrames / 2; ++i) EXPECT_TRUE(s->feed(in, uint64_t(i)));
    while (by_callback + by_fetch < kFrames / 2) std::this_thread::sleep_for(1ms);
    done = true;
    fetcher.join();
  }));
  EXPECT_EQ(by_callback + by_fetch, kFrames / 2);
}
