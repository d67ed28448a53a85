#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "lumaweave/camera_params.hpp"
#include "support/files_fixture.hpp"

namespace lumaweave {
namespace {

using testing_files::read_file;
using testing_files::ScratchDir;
using testing_files::write_file;
using Cameras = std::vector<cv::detail::CameraParams>;

bool same(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && (a.empty() || cv::norm(a, b, cv::NORM_INF) == 0);
}

std::vector<std::string> top_level_nodes(const std::string& path) {
  cv::FileStorage fs(path, cv::FileStorage::READ);
  std::vector<std::string> names;
  const cv::FileNode root = fs.root();
  for (auto it = root.begin(); it != root.end(); ++it) names.push_back((*it).name());
  return names;
}

cv::detail::CameraParams camera(double focal, double aspect, double ppx, double ppy, float angle) {
  cv::detail::CameraParams c;
  c.focal = focal;
  c.aspect = aspect;
  c.ppx = ppx;
  c.ppy = ppy;
  const float s = std::sin(angle), co = std::cos(angle);
  c.R = (cv::Mat_<float>(3, 3) << co, 0, s, 0, 1, 0, -s, 0, co);
  c.t = (cv::Mat_<double>(3, 1) << 0.1, -0.2, 0.3);
  return c;
}

const cv::Mat kK = (cv::Mat_<double>(3, 3) << 812.5, 0.25, 639.5, 0, 815.75, 359.5, 0, 0, 1);
const cv::Mat kD = (cv::Mat_<double>(5, 1) << -0.31, 0.12, 0.001, -0.002, -0.02);

// A storage-form file with content that OpenCV's reader rejects.
struct BadFile {
  const char* name;
  std::string content;
};

std::vector<BadFile> unparsable_storage_files() {
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>((i * 7919 + 13) % 256));
  return {
      {"empty.yml", ""},
      {"empty.xml", ""},
      {"empty.json", ""},
      {"cut_matrix.yml",
       "%YAML:1.0\n---\ncamera_matrix: !!opencv-matrix\n   rows: 3\n   cols: 3\n   dt: d\n   data: [ 1., 0., 3"},
      {"cut_tag.xml", "<?xml version=\"1.0\"?>\n<opencv_storage>\n<image_width>640</image_width>\n<camera_mat"},
      {"cut_object.json", "{\n  \"image_width\": 640,\n  \"camera_num\": "},
      {"garbage.yml", garbage},
      {"garbage.xml", garbage},
      {"garbage.bin", garbage},
  };
}

// ---------------------------------------------------------------------------------------
// Camera info, storage form

class CameraInfoStorage : public ScratchDir, public ::testing::WithParamInterface<const char*> {};

TEST_P(CameraInfoStorage, RoundTripWithoutAspectRatio) {
  const std::string file = path(std::string("info") + GetParam());
  ASSERT_TRUE(save_camera_info(file, kK, kD, cv::Size(1280, 720), 0.375f, 0, 1.5f));
  EXPECT_EQ((std::vector<std::string>{"calibration_time", "image_width", "image_height",
                                      "camera_matrix", "distortion_coefficients",
                                      "avg_reprojection_error", "flags"}),
            top_level_nodes(file));
  cv::FileStorage fs(file, cv::FileStorage::READ);
  EXPECT_TRUE(fs["calibration_time"].isString());
  EXPECT_FALSE(fs["calibration_time"].string().empty());

  cv::Mat K, D;
  cv::Size size;
  ASSERT_TRUE(load_camera_info(file, K, D, size));
  EXPECT_EQ(cv::Size(1280, 720), size);
  EXPECT_TRUE(same(kK, K));
  EXPECT_TRUE(same(kD, D));

  float error = 0, aspect = -7.f;
  int flags = -1;
  ASSERT_TRUE(load_camera_info(file, K, D, size, error, flags, aspect));
  EXPECT_FLOAT_EQ(0.375f, error);
  EXPECT_EQ(0, flags);
  EXPECT_EQ(-7.f, aspect) << "aspect_ratio must stay untouched without the fix-aspect flag";
}

TEST_P(CameraInfoStorage, RoundTripWithAspectRatio) {
  const std::string file = path(std::string("info") + GetParam());
  const int flags_written = 2 | 8;  // fix aspect ratio, fix principal point
  ASSERT_TRUE(save_camera_info(file, kK, kD, cv::Size(640, 480), 0.5f, flags_written, 1.25f));
  const auto nodes = top_level_nodes(file);
  ASSERT_EQ(8u, nodes.size());
  EXPECT_EQ("flags", nodes[6]);
  EXPECT_EQ("aspect_ratio", nodes[7]);

  cv::Mat K, D;
  cv::Size size;
  float error = 0, aspect = 0;
  int flags = 0;
  ASSERT_TRUE(load_camera_info(file, K, D, size, error, flags, aspect));
  EXPECT_EQ(flags_written, flags);
  EXPECT_FLOAT_EQ(1.25f, aspect);
  EXPECT_TRUE(same(kK, K));
}

INSTANTIATE_TEST_SUITE_P(Formats, CameraInfoStorage, ::testing::Values(".yml", ".xml", ".json"),
                         [](const auto& info) { return std::string(info.param + 1); });

using CameraFiles = ScratchDir;

TEST_F(CameraFiles, InfoWithMissingNodesReadsZerosAndEmptyMatrices) {
  const std::string file = path("partial.yml");
  write_file(file, "%YAML:1.0\n---\nimage_width: 640\nflags: 2\n");
  cv::Mat K = cv::Mat::eye(3, 3, CV_64F), D = cv::Mat::ones(5, 1, CV_64F);
  cv::Size size(1, 1);
  float error = 9, aspect = 9;
  int flags = 0;
  ASSERT_TRUE(load_camera_info(file, K, D, size, error, flags, aspect));
  EXPECT_EQ(cv::Size(640, 0), size);
  EXPECT_TRUE(K.empty());
  EXPECT_TRUE(D.empty());
  EXPECT_EQ(0.f, error);
  EXPECT_EQ(2, flags);
  EXPECT_EQ(0.f, aspect);  // flag set, node absent
}

TEST_F(CameraFiles, UnopenableFilesGiveFalseAndLeaveOutputsAlone) {
  const std::string missing = path("missing.yml");
  const std::string unwritable = path("no_such_folder/out.yml");
  for (const std::string& file : {missing, dir(), std::string()}) {
    SCOPED_TRACE("'" + file + "'");
    cv::Mat K = kK.clone(), D = kD.clone();
    cv::Size size(3, 4);
    float error = 1, aspect = 2;
    int flags = 3;
    Cameras cameras{camera(1, 1, 0, 0, 0)};
    EXPECT_FALSE(load_camera_info(file, K, D, size));
    EXPECT_FALSE(load_camera_info(file, K, D, size, error, flags, aspect));
    EXPECT_FALSE(load_camera_info_json(file, K, D, size));
    EXPECT_FALSE(load_camera_params(file, cameras, size));
    EXPECT_TRUE(same(kK, K));
    EXPECT_TRUE(same(kD, D));
    EXPECT_EQ(cv::Size(3, 4), size);
    EXPECT_EQ(1u, cameras.size());
    EXPECT_EQ(1.f, error);
    EXPECT_EQ(3, flags);
  }
  const Cameras two{camera(1, 1, 0, 0, 0), camera(1, 1, 0, 0, 0)};
  for (const std::string& file : {unwritable, dir(), std::string()}) {
    SCOPED_TRACE("'" + file + "'");
    EXPECT_FALSE(save_camera_info(file, kK, kD, cv::Size(1, 1), 0, 0, 0));
    EXPECT_FALSE(save_camera_params(file, two, cv::Size(1, 1)));
  }
}

TEST_F(CameraFiles, UnparsableStorageFilesRaiseOpenCvErrors) {
  for (const auto& bad : unparsable_storage_files()) {
    SCOPED_TRACE(bad.name);
    const std::string file = path(bad.name);
    write_file(file, bad.content);
    cv::Mat K, D;
    cv::Size size;
    float error = 0, aspect = 0;
    int flags = 0;
    Cameras cameras;
    EXPECT_THROW(load_camera_info(file, K, D, size), cv::Exception);
    EXPECT_THROW(load_camera_info(file, K, D, size, error, flags, aspect), cv::Exception);
    EXPECT_THROW(load_camera_params(file, cameras, size), cv::Exception);
    EXPECT_FALSE(load_camera_info_json(file, K, D, size));
  }
}

TEST_F(CameraFiles, StorageValuesOfTheWrongKindRaiseOpenCvErrors) {
  const struct {
    const char* content;
  } cases[] = {
      {"%YAML:1.0\n---\ncamera_matrix: 5\n"},
      {"%YAML:1.0\n---\ncamera_matrix: !!opencv-matrix\n   rows: 3\n   cols: 3\n   dt: d\n   data: [ 1. ]\n"},
      {"%YAML:1.0\n---\ndistortion_coefficients: !!opencv-matrix\n   rows: 1\n   cols: 1\n   dt: zz\n   data: [ 1. ]\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    const std::string file = path("kinds.yml");
    write_file(file, c.content);
    cv::Mat K, D;
    cv::Size size;
    EXPECT_THROW(load_camera_info(file, K, D, size), cv::Exception);
  }
}

// ---------------------------------------------------------------------------------------
// Camera parameter file

TEST_F(CameraFiles, ParamsRoundTripKeepsEveryValue) {
  const Cameras written{camera(1234.5, 1.0, 640.25, 360.75, 0.0f),
                        camera(1230.125, 0.999, 641.5, 359.5, 0.35f)};
  for (const char* name : {"rig.yml", "rig.xml", "rig.json"}) {
    SCOPED_TRACE(name);
    const std::string file = path(name);
    ASSERT_TRUE(save_camera_params(file, written, cv::Size(1920, 1080)));
    EXPECT_EQ((std::vector<std::string>{"calibration_time", "image_width", "image_height",
                                        "camera_num", "camera_0_aspect", "camera_0_focal",
                                        "camera_0_ppx", "camera_0_ppy", "camera_0_R",
                                        "camera_0_t", "camera_1_aspect", "camera_1_focal",
                                        "camera_1_ppx", "camera_1_ppy", "camera_1_R",
                                        "camera_1_t"}),
              top_level_nodes(file));
    Cameras read(5);  // surplus entries are dropped
    cv::Size size;
    ASSERT_TRUE(load_camera_params(file, read, size));
    EXPECT_EQ(cv::Size(1920, 1080), size);
    ASSERT_EQ(2u, read.size());
    for (size_t i = 0; i < 2; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(written[i].focal, read[i].focal);
      EXPECT_EQ(written[i].aspect, read[i].aspect);
      EXPECT_EQ(written[i].ppx, read[i].ppx);
      EXPECT_EQ(written[i].ppy, read[i].ppy);
      EXPECT_TRUE(same(written[i].R, read[i].R));  // stays single precision
      EXPECT_TRUE(same(written[i].t, read[i].t));
    }
  }
}

TEST_F(CameraFiles, ParamsPrefixesArePlainDecimal) {
  Cameras written;
  for (int i = 0; i < 11; ++i) written.push_back(camera(100 + i, 1, i, -i, 0.01f * i));
  const std::string file = path("many.yml");
  ASSERT_TRUE(save_camera_params(file, written, cv::Size(320, 240)));
  const std::string text = read_file(file);
  EXPECT_NE(std::string::npos, text.find("\ncamera_10_focal: 110.\n")) << text;
  EXPECT_EQ(std::string::npos, text.find("camera_00_"));
  Cameras read;
  cv::Size size;
  ASSERT_TRUE(load_camera_params(file, read, size));
  ASSERT_EQ(11u, read.size());
  EXPECT_EQ(110, read[10].focal);
  EXPECT_EQ(-10, read[10].ppy);
}

TEST_F(CameraFiles, ParamsWithFewerThanTwoCamerasAreRefused) {
  const std::string one = path("one.yml");
  ASSERT_TRUE(save_camera_params(one, {camera(500, 1, 320, 240, 0)}, cv::Size(640, 480)));
  const struct {
    const char* label;
    std::string file;
    std::string content;  // written unless empty
    cv::Size size;
  } cases[] = {
      {"complete file of one camera", one, "", cv::Size(640, 480)},
      {"no camera_num", path("none.yml"), "%YAML:1.0\n---\nimage_width: 8\nimage_height: 6\n", cv::Size(8, 6)},
      {"zero", path("zero.yml"), "%YAML:1.0\n---\ncamera_num: 0\n", cv::Size(0, 0)},
      {"negative", path("neg.yml"), "%YAML:1.0\n---\ncamera_num: -4\n", cv::Size(0, 0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    if (!c.content.empty()) write_file(c.file, c.content);
    Cameras cameras{camera(1, 2, 3, 4, 0)};
    cv::Size size(-1, -1);
    EXPECT_FALSE(load_camera_params(c.file, cameras, size));
    EXPECT_EQ(c.size, size) << "image size is read before the camera count";
    ASSERT_EQ(1u, cameras.size());
    EXPECT_EQ(1, cameras[0].focal);
  }
}

TEST_F(CameraFiles, ParamsWithAnAbsurdCameraCountAreRefused) {
  // A damaged count (huge, or a string, which OpenCV reads as INT_MAX) must not make the
  // loader allocate billions of cameras.
  for (const char* count : {"2000000000", "1025", "\"two\""}) {
    SCOPED_TRACE(count);
    const std::string file = path("absurd.yml");
    write_file(file, std::string("%YAML:1.0\n---\ncamera_num: ") + count + "\n");
    Cameras cameras;
    cv::Size size;
    EXPECT_FALSE(load_camera_params(file, cameras, size));
    EXPECT_TRUE(cameras.empty());
  }
}

TEST_F(CameraFiles, ParamsWithMissingCameraNodesReadZeros) {
  const std::string file = path("bare.yml");
  write_file(file, "%YAML:1.0\n---\ncamera_num: 2\ncamera_1_focal: 700.5\n");
  Cameras cameras;
  cv::Size size(5, 5);
  ASSERT_TRUE(load_camera_params(file, cameras, size));
  EXPECT_EQ(cv::Size(0, 0), size);
  ASSERT_EQ(2u, cameras.size());
  EXPECT_EQ(0, cameras[0].focal);
  EXPECT_EQ(0, cameras[0].aspect);
  EXPECT_TRUE(cameras[0].R.empty());
  EXPECT_TRUE(cameras[0].t.empty());
  EXPECT_EQ(700.5, cameras[1].focal);
  EXPECT_EQ(0, cameras[1].ppx);
}

// ---------------------------------------------------------------------------------------
// Camera info, JSON form

const char* kJsonInfo = R"({
  "image_size": [1280, 720],
  "camera_matrix": [812.5, 0.25, 639.5, 0, 815.75, 359.5, 0, 0, 1],
  "dist_coeff": [-0.31, 0.12, 0.001, -0.002, -0.02, 0.5, 0.25, 0.125],
  "comment": "ignored"
})";

TEST_F(CameraFiles, JsonInfoLoads) {
  const std::string file = path("info.json");
  write_file(file, kJsonInfo);
  cv::Mat K(2, 2, CV_32F, cv::Scalar(7)), D;
  cv::Size size;
  ASSERT_TRUE(load_camera_info_json(file, K, D, size));
  EXPECT_EQ(cv::Size(1280, 720), size);
  EXPECT_TRUE(same(kK, K));
  const cv::Mat expected_D =
      (cv::Mat_<double>(8, 1) << -0.31, 0.12, 0.001, -0.002, -0.02, 0.5, 0.25, 0.125);
  EXPECT_TRUE(same(expected_D, D));
}

TEST_F(CameraFiles, JsonInfoAbsentValuesReadAsZero) {
  const struct {
    const char* label;
    const char* content;
    cv::Size size;
    int d_nonzero;  // leading non-zero coefficients
  } cases[] = {
      {"five coefficients", R"({"image_size": [4, 3], "dist_coeff": [1, 2, 3, 4, 5]})", cv::Size(4, 3), 5},
      {"no image size", R"({"dist_coeff": [1, 2, 3, 4, 5, 6, 7, 8]})", cv::Size(0, 0), 8},
      {"one size element, reals truncated", R"({"image_size": [640.9]})", cv::Size(640, 0), 0},
      {"null values", R"({"image_size": null, "camera_matrix": [null]})", cv::Size(0, 0), 0},
      {"empty object", "{}", cv::Size(0, 0), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string file = path("partial.json");
    write_file(file, c.content);
    cv::Mat K, D;
    cv::Size size(9, 9);
    ASSERT_TRUE(load_camera_info_json(file, K, D, size));
    EXPECT_EQ(c.size, size);
    ASSERT_EQ(cv::Size(1, 8), D.size());
    ASSERT_EQ(CV_64F, D.type());
    for (int k = 0; k < 8; ++k) EXPECT_EQ(k < c.d_nonzero ? k + 1.0 : 0.0, D.at<double>(k)) << k;
    ASSERT_EQ(cv::Size(3, 3), K.size());
    ASSERT_EQ(CV_64F, K.type());
    EXPECT_EQ(0, cv::countNonZero(K));
  }
}

TEST_F(CameraFiles, JsonInfoBadInputGivesFalse) {
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>((i * 7919 + 13) % 256));
  const struct {
    const char* label;
    std::string content;
  } cases[] = {
      {"empty", ""},
      {"truncated", std::string(kJsonInfo).substr(0, 60)},
      {"binary garbage", garbage},
      {"storage form", "%YAML:1.0\n---\nimage_width: 640\n"},
      {"camera_matrix is a string", R"({"camera_matrix": "812.5 0 639.5"})"},
      {"camera_matrix is an object", R"({"camera_matrix": {"fx": 1}})"},
      {"image_size is a number", R"({"image_size": 1280})"},
      {"element is a string", R"({"image_size": ["1280", 720]})"},
      {"element out of int range", R"({"image_size": [1e20, 720]})"},
      {"dist_coeff element is an array", R"({"dist_coeff": [[1]]})"},
      {"root is an array", "[1280, 720]"},
      {"root is a string", "\"info.json\""},
      {"too deeply nested", std::string(5000, '[')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string file = path("bad.json");
    write_file(file, c.content);
    cv::Mat K, D;
    cv::Size size;
    EXPECT_FALSE(load_camera_info_json(file, K, D, size));
  }
}

TEST_F(CameraFiles, JsonInfoKeepsValuesReadBeforeAFailure) {
  const std::string file = path("half.json");
  write_file(file, R"({"image_size": [800, 600], "camera_matrix": "bad"})");
  cv::Mat K, D = kD.clone();
  cv::Size size;
  EXPECT_FALSE(load_camera_info_json(file, K, D, size));
  EXPECT_EQ(cv::Size(800, 600), size);
  EXPECT_TRUE(same(kD, D)) << "dist_coeff comes after the failure";
}

// ---------------------------------------------------------------------------------------
// Rescaling

TEST(CameraRescale, DividesFocalAndPrincipalPoint) {
  Cameras cameras{camera(500, 0.9, 320, 240, 0.2f), camera(510, 1.1, 330, 250, -0.2f)};
  const Cameras before = cameras;
  ASSERT_TRUE(rescale_camera_params(cameras, 0.5));
  for (size_t i = 0; i < cameras.size(); ++i) {
    EXPECT_EQ(2 * before[i].focal, cameras[i].focal);
    EXPECT_EQ(2 * before[i].ppx, cameras[i].ppx);
    EXPECT_EQ(2 * before[i].ppy, cameras[i].ppy);
    EXPECT_EQ(before[i].aspect, cameras[i].aspect);
    EXPECT_TRUE(same(before[i].R, cameras[i].R));
    EXPECT_TRUE(same(before[i].t, cameras[i].t));
  }
  ASSERT_TRUE(rescale_camera_params(cameras, 1.0));
  EXPECT_EQ(1000, cameras[0].focal);
  Cameras none;
  EXPECT_TRUE(rescale_camera_params(none, 0.25));
}

TEST(CameraRescale, RefusesScalesOutsideZeroToOne) {
  for (double scale : {1.5, 0.0, -1.0, 1.0000001, std::numeric_limits<double>::quiet_NaN(),
                       std::numeric_limits<double>::infinity()}) {
    SCOPED_TRACE(scale);
    Cameras cameras{camera(500, 1, 320, 240, 0), camera(510, 1, 330, 250, 0)};
    EXPECT_FALSE(rescale_camera_params(cameras, scale));
    EXPECT_EQ(500, cameras[0].focal);
    EXPECT_EQ(330, cameras[1].ppx);
    EXPECT_EQ(250, cameras[1].ppy);
  }
}

}  // namespace
}  // namespace lumaweave
