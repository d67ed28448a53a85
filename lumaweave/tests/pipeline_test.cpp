// The asynchronous pipeline: order, back-pressure, callback versus fetch, stopping, faults.
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "lumaweave/live_stitcher.hpp"
#include "support/rig_fixture.hpp"
#include "support/scene.hpp"

using namespace lumaweave;
using namespace std::chrono_literals;

namespace {

class Pipeline : public testing::Test {
 protected:
  void SetUp() override {
    lwrig::RigSetup setup;
    setup.frame_size = cv::Size(160, 90);
    setup.distorted = true;
    rig = std::make_unique<lwrig::Rig>(setup);
    files = lwtest::writeRig(*rig, "pipeline");
    std::vector<cv::Mat> frames;
    rig->render(lwtest::sceneImage(), frames);
    for (const cv::Mat& f : frames) {
      cv::cvtColor(f, rgba.emplace_back(), cv::COLOR_BGR2RGBA);
      bgr.push_back(f);
    }
  }

  std::unique_ptr<LiveStitcher> make(int buffer_size = 4) {
    LiveStitcher::Settings s(lwtest::settingsJson(files.info_path, files.params_path));
    s.buffer_size = buffer_size;
    return std::make_unique<LiveStitcher>(s);
  }

  std::vector<cuda::GpuMat> rgbaFrames() const { return lwtest::upload(rgba); }

  // Polls fetch until a frame comes or the deadline passes.
  static bool fetchWithin(LiveStitcher& s, cuda::GpuMat& out, uint64_t& ts, std::chrono::milliseconds limit = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (s.fetch(out, ts)) return true;
      std::this_thread::sleep_for(1ms);
    }
    return false;
  }

  std::unique_ptr<lwrig::Rig> rig;
  lwtest::RigFiles files;
  std::vector<cv::Mat> rgba, bgr;
};

}  // namespace

TEST_F(Pipeline, RefusesWhileOffAndForWrongInput) {
  auto s = make();
  cuda::GpuMat out;
  uint64_t ts = 0;
  std::string log = lwtest::captureStdout([&] {
    EXPECT_FALSE(s->feed(rgbaFrames(), 1));
    EXPECT_FALSE(s->fetch(out, ts));
  });
  EXPECT_NE(log.find("Async processing is not enabled"), std::string::npos) << log;
  s->prepare(rig->setup().frame_size, true);
  log = lwtest::captureStdout([&] {
    EXPECT_FALSE(s->feed({rgbaFrames()[0]}, 1));
    EXPECT_FALSE(s->feed({rgbaFrames()[0], cuda::GpuMat(cv::Size(10, 10), CV_8UC4)}, 1));
  });
  EXPECT_NE(log.find("Unsupported image number: 1"), std::string::npos) << log;
  EXPECT_NE(log.find("Unsupported image size 1: [10 x 10]"), std::string::npos) << log;
  // process would race the stage threads for the working buffers.
  log = lwtest::captureStdout([&] { EXPECT_FALSE(s->process(lwtest::upload(bgr), out)); });
  EXPECT_NE(log.find("Async processing is enabled"), std::string::npos) << log;
  EXPECT_FALSE(s->fetch(out, ts));
  EXPECT_TRUE(out.empty());

  // A frame of the wrong type raises, and its buffer is back at once: four more feeds pass.
  const std::vector<cuda::GpuMat> bgr_in = lwtest::upload(bgr);
  EXPECT_THROW(s->feed(bgr_in, 9), cv::Exception);
  for (uint64_t t = 1; t <= 4; ++t) EXPECT_TRUE(s->feed(rgbaFrames(), t));
}

TEST_F(Pipeline, FetchGivesBgrFramesInFeedOrderWithTheirTimestamps) {
  auto s = make();
  s->prepare(rig->setup().frame_size, true);
  cuda::GpuMat sync_out;
  auto reference = make();
  reference->prepare(rig->setup().frame_size, false);
  ASSERT_TRUE(reference->process(lwtest::upload(bgr), sync_out));

  for (uint64_t round = 0; round < 5; ++round) {
    for (uint64_t k = 1; k <= 3; ++k) ASSERT_TRUE(s->feed(rgbaFrames(), round * 10 + k));
    for (uint64_t k = 1; k <= 3; ++k) {
      cuda::GpuMat out;
      uint64_t ts = 0;
      ASSERT_TRUE(fetchWithin(*s, out, ts));
      EXPECT_EQ(ts, round * 10 + k);
      EXPECT_EQ(out.type(), CV_8UC3);
      EXPECT_EQ(lwtest::maxAbsDiff(lwtest::download(out), lwtest::download(sync_out)), 0);
    }
  }
}

TEST_F(Pipeline, FifthFeedBlocksUntilAFetchFreesABuffer) {
  auto s = make(4);
  s->prepare(rig->setup().frame_size, true);
  for (uint64_t t = 1; t <= 4; ++t) ASSERT_TRUE(s->feed(rgbaFrames(), t));
  auto fifth = std::async(std::launch::async, [&] { return s->feed(rgbaFrames(), 5); });
  EXPECT_EQ(fifth.wait_for(300ms), std::future_status::timeout);
  cuda::GpuMat out;
  uint64_t ts = 0;
  ASSERT_TRUE(fetchWithin(*s, out, ts));
  EXPECT_EQ(ts, 1u);
  ASSERT_EQ(fifth.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(fifth.get());
}

TEST_F(Pipeline, DisablingReleasesABlockedFeed) {
  auto s = make(2);
  s->prepare(rig->setup().frame_size, true);
  ASSERT_TRUE(s->feed(rgbaFrames(), 1));
  ASSERT_TRUE(s->feed(rgbaFrames(), 2));
  auto blocked = std::async(std::launch::async, [&] { return s->feed(rgbaFrames(), 3); });
  EXPECT_EQ(blocked.wait_for(200ms), std::future_status::timeout);
  s->prepare(rig->setup().frame_size, false);  // from this thread, while the other waits
  ASSERT_EQ(blocked.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(blocked.get());
  // And it can be enabled again.
  s->prepare(rig->setup().frame_size, true);
  ASSERT_TRUE(s->feed(rgbaFrames(), 4));
  cuda::GpuMat out;
  uint64_t ts = 0;
  ASSERT_TRUE(fetchWithin(*s, out, ts));
  EXPECT_EQ(ts, 4u);
}

TEST_F(Pipeline, CallbackGetsRgbaAndFetchTakesFramesAwayFromIt) {
  auto s = make();
  std::mutex m;
  std::vector<uint64_t> seen;
  cv::Mat last;
  s->set_output_callback([&](cuda::GpuMat& img, uint64_t ts) {
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(img.type(), CV_8UC4);
    img.download(last);
    seen.push_back(ts);
  });
  s->prepare(rig->setup().frame_size, true);
  for (uint64_t t = 1; t <= 20; ++t) ASSERT_TRUE(s->feed(rgbaFrames(), t));
  // Whatever fetch takes, the callback does not see; together they see every frame once, in order.
  std::vector<uint64_t> fetched;
  const auto end = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < end) {
    cuda::GpuMat out;
    uint64_t ts = 0;
    if (s->fetch(out, ts)) {
      EXPECT_EQ(out.type(), CV_8UC3);
      fetched.push_back(ts);
    }
    std::lock_guard<std::mutex> lock(m);
    if (seen.size() + fetched.size() == 20) break;
  }
  s->prepare(rig->setup().frame_size, false);
  std::vector<uint64_t> all = seen;
  all.insert(all.end(), fetched.begin(), fetched.end());
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), 20u);
  for (uint64_t t = 1; t <= 20; ++t) EXPECT_EQ(all[t - 1], t);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  ASSERT_FALSE(seen.empty());
  cuda::GpuMat sync;
  auto ref = make();
  ref->prepare(rig->setup().frame_size, false);
  ASSERT_TRUE(ref->process(lwtest::upload(bgr), sync));
  cv::Mat expected;
  cv::cvtColor(lwtest::download(sync), expected, cv::COLOR_BGR2RGBA);
  EXPECT_EQ(lwtest::maxAbsDiff(last, expected), 0);
}

TEST_F(Pipeline, CallbackSetAfterEnablingWaitsForTheNextEnabling) {
  auto s = make();
  s->prepare(rig->setup().frame_size, true);
  std::atomic<int> calls{0};
  s->set_output_callback([&](cuda::GpuMat&, uint64_t) { ++calls; });
  ASSERT_TRUE(s->feed(rgbaFrames(), 1));
  cuda::GpuMat out;
  uint64_t ts = 0;
  ASSERT_TRUE(fetchWithin(*s, out, ts));  // no output thread: the frame waits for fetch
  EXPECT_EQ(calls, 0);
  s->prepare(rig->setup().frame_size, false);
  s->prepare(rig->setup().frame_size, true);
  ASSERT_TRUE(s->feed(rgbaFrames(), 2));
  const auto end = std::chrono::steady_clock::now() + 5s;
  while (calls == 0 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(calls, 1);
}

TEST_F(Pipeline, AThrowingCallbackCostsOneFrameNotTheProcess) {
  auto s = make(2);
  std::atomic<int> calls{0};
  std::atomic<uint64_t> last{0};
  s->set_output_callback([&](cuda::GpuMat&, uint64_t ts) {
    if (++calls == 1) throw std::runtime_error("host failure");
    last = ts;
  });
  s->prepare(rig->setup().frame_size, true);
  const std::string log = lwtest::captureStdout([&] {
    for (uint64_t t = 1; t <= 6; ++t) ASSERT_TRUE(s->feed(rgbaFrames(), t));  // more than the pool holds
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (last != 6 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(1ms);
  });
  EXPECT_EQ(last, 6u);
  EXPECT_EQ(calls, 6);
  EXPECT_NE(log.find("Output thread dropped frame 0: host failure"), std::string::npos) << log;
}

TEST_F(Pipeline, RepreparingForAnotherSizeRestartsWithNewBuffersOnly) {
  auto s = make();
  s->prepare(rig->setup().frame_size, true);
  for (uint64_t t = 1; t <= 3; ++t) ASSERT_TRUE(s->feed(rgbaFrames(), t));
  const cv::Size small(80, 45);
  s->prepare(small, true);  // frames of the old size still in flight are dropped
  std::vector<cuda::GpuMat> in;
  for (const cv::Mat& f : rgba) {
    cv::Mat r;
    cv::resize(f, r, small, 0, 0, cv::INTER_AREA);
    in.emplace_back(r);
  }
  ASSERT_TRUE(s->feed(in, 100));
  cuda::GpuMat out;
  uint64_t ts = 0;
  ASSERT_TRUE(fetchWithin(*s, out, ts));
  EXPECT_EQ(ts, 100u);
  EXPECT_EQ(out.size(), s->output_size());
  EXPECT_FALSE(s->fetch(out, ts));
}

TEST_F(Pipeline, BufferSizeBelowOneIsRejected) {
  auto s = make(0);
  try {
    s->prepare(rig->setup().frame_size, true);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("buffer size"), std::string::npos);
  }
  EXPECT_FALSE(s->feed(rgbaFrames(), 1));  // the pipeline stayed off: no hang
  cuda::GpuMat out;
  EXPECT_TRUE(s->process(lwtest::upload(bgr), out));  // the geometry itself is fine
}
