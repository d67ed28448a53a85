// The live stitcher's preparation and synchronous processing, on a synthetic rig rendered from
// a real photograph, checked against the panorama rendered directly from the same scene.
#include <fstream>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "lumaweave/camera_params.hpp"
#include "lumaweave/live_stitcher.hpp"
#include "stitch_geometry.hpp"
#include "support/rig_fixture.hpp"
#include "support/scene.hpp"

using namespace lumaweave;
using lwtest::captureStdout;

namespace {

lwrig::RigSetup smallRig(bool distorted) {
  lwrig::RigSetup s;
  s.frame_size = cv::Size(640, 360);
  s.distorted = distorted;
  return s;
}

// Where the stitcher's output starts in the projected plane: the union of both projections.
cv::Rect projectRect(const lwrig::Rig& rig, const std::string& warp) {
  const auto& cams = rig.cameras();
  const float scale = float((cams[0].focal + cams[1].focal) / 2);
  cv::Rect all;
  for (const auto& cam : cams) {
    cv::Ptr<ProjectWarper> w;
    if (warp == "plane") w = cv::makePtr<PlaneWarper>(scale);
    if (warp == "spherical") w = cv::makePtr<SphericalWarper>(scale);
    if (warp == "cylindrical") w = cv::makePtr<CylindricalWarper>(scale);
    cv::Mat K;
    cam.K().convertTo(K, CV_32F);
    const cv::Rect r = w->prepare(rig.setup().frame_size, K, cam.R);
    all = all.empty() ? r : (all | r);
  }
  return all;
}

}  // namespace

TEST(StitchGeometry, CutsAtTheMiddleOfTheOverlap) {
  struct Case {
    cv::Rect a, b;
    cv::Rect out0, out1, crop0, crop1;
    cv::Size size;
  };
  const Case cases[] = {
      // the worked example
      {{-1000, -540, 1100, 1080}, {-100, -530, 1100, 1080}, {0, 0, 1000, 1080}, {1000, 10, 1000, 1080},
       {0, 0, 1000, 1080}, {100, 0, 1000, 1080}, {2000, 1090}},
      // odd overlap 201: camera 1 (pasted last) owns the shared column 1000
      {{0, 0, 1100, 1080}, {899, 0, 1100, 1080}, {0, 0, 1000, 1080}, {999, 0, 1000, 1080}, {0, 0, 1000, 1080},
       {100, 0, 1000, 1080}, {2000, 1080}},
      // no overlap: nothing is cut, the gap stays unwritten; 1999x1081 rounds up to even
      {{0, 0, 900, 1081}, {1000, 0, 999, 1000}, {0, 0, 900, 1081}, {1000, 0, 999, 1000}, {0, 0, 900, 1081},
       {0, 0, 999, 1000}, {2000, 1082}},
  };
  for (const Case& c : cases) {
    const StitchGeometry g = computeStitchGeometry(c.a, c.b);
    EXPECT_EQ(g.output_rects[0], c.out0);
    EXPECT_EQ(g.output_rects[1], c.out1);
    EXPECT_EQ(g.crop_rects[0], c.crop0);
    EXPECT_EQ(g.crop_rects[1], c.crop1);
    EXPECT_EQ(g.output_size, c.size);
  }
  const StitchGeometry w = computeStitchGeometry({-1000, -540, 1100, 1080}, {-100, -530, 1100, 1080});
  EXPECT_EQ(w.project_rect, cv::Rect(-1000, -540, 2000, 1090));
  EXPECT_EQ(w.warped_rects[0], cv::Rect(0, 0, 1100, 1080));
  EXPECT_EQ(w.warped_rects[1], cv::Rect(900, 10, 1100, 1080));
  EXPECT_EQ(w.overlap, cv::Rect(900, 10, 200, 1070));
}

struct EndToEndCase {
  const char* warp;
  bool distorted;
  double min_psnr;
};

class StitchEndToEnd : public testing::TestWithParam<EndToEndCase> {};

TEST_P(StitchEndToEnd, MatchesThePanoramaRenderedFromTheScene) {
  const EndToEndCase c = GetParam();
  const lwrig::Rig rig(smallRig(c.distorted));
  const lwtest::RigFiles files = lwtest::writeRig(rig, c.warp);
  LiveStitcher stitcher(LiveStitcher::Settings(lwtest::settingsJson(files.info_path, files.params_path, c.warp)));
  stitcher.prepare(rig.setup().frame_size, false);

  const cv::Mat scene = lwtest::sceneImage();
  std::vector<cv::Mat> frames;
  rig.render(scene, frames);
  cuda::GpuMat out;
  ASSERT_TRUE(stitcher.process(lwtest::upload(frames), out));
  ASSERT_EQ(out.size(), stitcher.output_size());
  const cv::Mat stitched = lwtest::download(out);

  // Covered area: where white frames stitch to full white, away from the footprint edges.
  const std::vector<cv::Mat> white(2, cv::Mat(rig.setup().frame_size, CV_8UC3, cv::Scalar::all(255)));
  cuda::GpuMat wout;
  ASSERT_TRUE(stitcher.process(lwtest::upload(white), wout));
  cv::Mat gray, mask;
  cv::cvtColor(lwtest::download(wout), gray, cv::COLOR_BGR2GRAY);
  cv::erode(gray == 255, mask, cv::Mat(), cv::Point(-1, -1), 3);
  ASSERT_GT(cv::countNonZero(mask), stitched.total() / 2);

  const float scale = float((rig.cameras()[0].focal + rig.cameras()[1].focal) / 2);
  const cv::Rect pr = projectRect(rig, c.warp);
  const cv::Mat truth = rig.panorama(scene, c.warp, scale, cv::Rect(pr.tl(), stitched.size()));
  const double db = lwrig::psnr(stitched, truth, mask);
  RecordProperty("psnr_db", std::to_string(db));
  std::cout << c.warp << (c.distorted ? " with" : " without") << " undistortion: PSNR " << db << " dB over "
            << cv::countNonZero(mask) << " covered pixels" << std::endl;
  EXPECT_GT(db, c.min_psnr);
}

INSTANTIATE_TEST_SUITE_P(Projections, StitchEndToEnd,
                         testing::Values(EndToEndCase{"spherical", true, 33}, EndToEndCase{"spherical", false, 36},
                                         EndToEndCase{"cylindrical", true, 33},
                                         EndToEndCase{"cylindrical", false, 36}, EndToEndCase{"plane", true, 33},
                                         EndToEndCase{"plane", false, 36}),
                         [](const auto& info) {
                           return std::string(info.param.warp) + (info.param.distorted ? "_undistorted" : "_pinhole");
                         });

TEST(LiveStitcherPrepare, RescalesCalibrationToTheInputSize) {
  // Calibrated at 1280x720, run at 640x360: the same stitch as a rig calibrated at 640x360.
  lwrig::RigSetup big = smallRig(true);
  big.frame_size = cv::Size(1280, 720);
  const lwrig::Rig big_rig(big), small_rig(smallRig(true));
  const lwtest::RigFiles bf = lwtest::writeRig(big_rig, "big"), sf = lwtest::writeRig(small_rig, "small");
  LiveStitcher from_big(LiveStitcher::Settings(lwtest::settingsJson(bf.info_path, bf.params_path)));
  LiveStitcher from_small(LiveStitcher::Settings(lwtest::settingsJson(sf.info_path, sf.params_path)));
  const std::string log = captureStdout([&] { from_big.prepare(cv::Size(640, 360), false); });
  EXPECT_NE(log.find("camera params 0 scale by: 0.5"), std::string::npos) << log;
  EXPECT_NE(log.find("camera params 1 scale by: 0.5"), std::string::npos) << log;
  const std::string small_log = captureStdout([&] { from_small.prepare(cv::Size(640, 360), false); });
  auto focal = [](const std::string& text) {
    const auto at = text.find("Cameras median focal: ");
    return at == std::string::npos ? -1.0 : std::stod(text.substr(at + 22));
  };
  EXPECT_NEAR(focal(log), focal(small_log), 1e-3 * focal(small_log));
  // The footprints agree up to the rounding of their bounding boxes.
  EXPECT_NEAR(from_big.output_size().width, from_small.output_size().width, 2);
  EXPECT_NEAR(from_big.output_size().height, from_small.output_size().height, 2);
  cuda::GpuMat out;
  std::vector<cv::Mat> frames;
  small_rig.render(lwtest::sceneImage(), frames);
  EXPECT_TRUE(from_big.process(lwtest::upload(frames), out));
}

TEST(LiveStitcherPrepare, FailuresThrowTheirTextsAndLeaveTheStitcherRefusingFrames) {
  const lwrig::Rig rig(smallRig(true));
  const lwtest::RigFiles f = lwtest::writeRig(rig, "fail");
  const std::string dir = f.dir;

  // Three cameras, and a rotation of the wrong precision.
  auto cams = rig.cameras();
  cams.push_back(cams[0]);
  ASSERT_TRUE(save_camera_params(dir + "/three.yml", cams, rig.setup().frame_size));
  cams.resize(2);
  cams[1].R.convertTo(cams[1].R, CV_64F);
  ASSERT_TRUE(save_camera_params(dir + "/double_r.yml", cams, rig.setup().frame_size));
  cams = rig.cameras();
  ASSERT_TRUE(save_camera_params(dir + "/aspect.yml", cams, cv::Size(640, 480)));
  {
    std::ofstream(dir + "/info_1280x1024.json")
        << R"({"image_size":[1280,1024],"camera_matrix":[500,0,640,0,500,512,0,0,1],"dist_coeff":[0,0,0,0,0,0,0,0]})";
  }

  struct Case {
    std::string info, params, warp, text;
  };
  const Case cases[] = {
      {"", "", "spherical", "Camera params is not set!"},
      {"", dir + "/missing.yml", "spherical", "Failed loading camera params from " + dir + "/missing.yml"},
      {"", dir + "/three.yml", "spherical", "Unsupported cameras number in camera params file"},
      {"", f.params_path, "Spherical", "Unsupported warper type."},
      {"", dir + "/aspect.yml", "spherical", "Invalid camera params with incompatible aspect"},
      {dir + "/missing.json", f.params_path, "spherical", "Failed loading camera info from " + dir + "/missing.json"},
      {dir + "/info_1280x1024.json", f.params_path, "spherical", "Incompatible camera info for input size"},
  };
  for (const Case& c : cases) {
    LiveStitcher s(LiveStitcher::Settings(lwtest::settingsJson(c.info, c.params, c.warp)));
    try {
      s.prepare(rig.setup().frame_size, false);
      ADD_FAILURE() << "no exception for " << c.text;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), c.text);
    }
  }
  {
    LiveStitcher empty_size(LiveStitcher::Settings(lwtest::settingsJson("", f.params_path)));
    EXPECT_THROW(empty_size.prepare(cv::Size(0, 0), false), std::runtime_error);
  }
  LiveStitcher s(LiveStitcher::Settings(lwtest::settingsJson("", dir + "/double_r.yml")));
  EXPECT_THROW(s.prepare(rig.setup().frame_size, true), cv::Exception);

  // The size now matches, but the geometry is incomplete: frames are refused, not crashed on,
  // and the pipeline did not start.
  const std::vector<cuda::GpuMat> frames(2, cuda::GpuMat(rig.setup().frame_size, CV_8UC3, cv::Scalar::all(80)));
  cuda::GpuMat out;
  const std::string log = captureStdout([&] {
    EXPECT_FALSE(s.process(frames, out));
    EXPECT_FALSE(s.feed(std::vector<cuda::GpuMat>(2, cuda::GpuMat(rig.setup().frame_size, CV_8UC4)), 1));
  });
  EXPECT_NE(log.find("Stitcher is not prepared"), std::string::npos) << log;
  EXPECT_NE(log.find("Async processing is not enabled"), std::string::npos) << log;
  EXPECT_TRUE(out.empty());

  // Once the file is mended, preparing for the same size tries again and succeeds.
  ASSERT_TRUE(save_camera_params(dir + "/double_r.yml", rig.cameras(), rig.setup().frame_size));
  s.prepare(rig.setup().frame_size, false);
  EXPECT_TRUE(s.process(frames, out));
}

TEST(LiveStitcherProcess, RefusesWrongInputAndChangesNothing) {
  const lwrig::Rig rig(smallRig(false));
  const lwtest::RigFiles f = lwtest::writeRig(rig, "refuse");
  LiveStitcher s(LiveStitcher::Settings(lwtest::settingsJson(f.info_path, f.params_path)));
  const cv::Size size = rig.setup().frame_size;
  const cuda::GpuMat good(size, CV_8UC3, cv::Scalar::all(50));
  cuda::GpuMat out;

  // Before any preparation even two empty frames are refused.
  EXPECT_FALSE(s.process({cuda::GpuMat(), cuda::GpuMat()}, out));
  const std::string prep_log = captureStdout([&] { s.prepare(size, false); });
  EXPECT_NE(prep_log.find("!!! Undistortion is not enabled !!!"), std::string::npos) << prep_log;
  EXPECT_NE(prep_log.find("Adjusted output size: "), std::string::npos);

  struct Case {
    std::vector<cuda::GpuMat> in;
    std::string error;
  };
  const Case cases[] = {
      {{good}, "Unsupported image number: 1"},
      {{good, good, good}, "Unsupported image number: 3"},
      {{good, cuda::GpuMat(size.height - 1, size.width, CV_8UC3)}, "Unsupported image size 1: [640 x 359]"},
      {{good, cuda::GpuMat(size, CV_8UC4)}, "Unsupported image type 1: CV_8UC4"},
  };
  for (const Case& c : cases) {
    const std::string log = captureStdout([&] { EXPECT_FALSE(s.process(c.in, out)); });
    EXPECT_NE(log.find(c.error), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR"), std::string::npos) << log;
    EXPECT_TRUE(out.empty());
  }
  EXPECT_TRUE(s.process({good, good}, out));
  EXPECT_EQ(out.size(), s.output_size());
  EXPECT_EQ(out.size().width % 2, 0);
  EXPECT_EQ(out.size().height % 2, 0);
}
