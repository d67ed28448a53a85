#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <json/json.h>

#include "lumaweave/live_stitcher.hpp"
#include "lumaweave/logging.hpp"

namespace lumaweave {
namespace {

using Settings = LiveStitcher::Settings;

// Every member as text, so one comparison shows exactly which members differ.
std::map<std::string, std::string> members(const Settings& s) {
  auto text = [](const auto& v) {
    std::ostringstream out;
    out << v;
    return out.str();
  };
  return {
      {"camera_info", s.camera_info},
      {"camera_params", s.camera_params},
      {"warp_type", s.warp_type},
      {"expos_comp_type", s.expos_comp_type},
      {"expos_comp_nr_feeds", text(s.expos_comp_nr_feeds)},
      {"expos_comp_nr_filtering", text(s.expos_comp_nr_filtering)},
      {"expos_comp_block_size", text(s.expos_comp_block_size)},
      {"expos_comp_scale", text(s.expos_comp_scale)},
      {"expos_comp_interval", text(s.expos_comp_interval)},
      {"seam_type", s.seam_type},
      {"seam_find_iterations", text(s.seam_find_iterations)},
      {"seam_find_terminal_cost", text(s.seam_find_terminal_cost)},
      {"seam_find_window_min", text(s.seam_find_window_min)},
      {"seam_find_window_max", text(s.seam_find_window_max)},
      {"seam_find_bad_penalty", text(s.seam_find_bad_penalty)},
      {"seam_find_gap_width", text(s.seam_find_gap_width)},
      {"seam_scale", text(s.seam_scale)},
      {"blend_type", s.blend_type},
      {"blend_margin", text(s.blend_margin)},
      {"num_bands", text(s.num_bands)},
      {"buffer_size", text(s.buffer_size)},
      {"seam_find_max_bfs", text(s.seam_find_max_bfs)},
  };
}

const std::map<std::string, std::string> kDefaults = {
    {"camera_info", ""},
    {"camera_params", ""},
    {"warp_type", "spherical"},
    {"expos_comp_type", "no"},
    {"expos_comp_nr_feeds", "3"},
    {"expos_comp_nr_filtering", "3"},
    {"expos_comp_block_size", "32"},
    {"expos_comp_scale", "-1"},
    {"expos_comp_interval", "1800"},
    {"seam_type", "no"},
    {"seam_find_iterations", "10"},
    {"seam_find_terminal_cost", "10000000"},
    {"seam_find_window_min", "9"},
    {"seam_find_window_max", "23"},
    {"seam_find_bad_penalty", "10000000"},
    {"seam_find_gap_width", "5"},
    {"seam_scale", "0.1"},
    {"blend_type", "no"},
    {"blend_margin", "10"},
    {"num_bands", "5"},
    {"buffer_size", "4"},
    {"seam_find_max_bfs", "0"},
};

std::map<std::string, std::string> defaults_with(std::map<std::string, std::string> changes) {
  auto expected = kDefaults;
  for (const auto& [key, value] : changes) expected.at(key) = value;
  return expected;
}

// Builds settings with stdout captured and the stitcher's warning threshold in force.
class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { set_max_severity(Severity::warning); }
  void TearDown() override { set_max_severity(Severity::warning); }

  Settings build(const std::string& config) {
    ::testing::internal::CaptureStdout();
    try {
      Settings s(config);
      flush_log();
      out_ = ::testing::internal::GetCapturedStdout();
      return s;
    } catch (...) {
      out_ = ::testing::internal::GetCapturedStdout();
      throw;
    }
  }
  std::string out_;
};

TEST_F(SettingsTest, EmptyTextGivesDefaultsAndTwoWarnings) {
  const Settings s = build("");
  EXPECT_EQ(kDefaults, members(s));
  EXPECT_NE(std::string::npos, out_.find(" WARN  [")) << out_;
  const auto first = out_.find("] No config set for stitcher!\n");
  const auto second = out_.find("] Working with default settings!\n");
  EXPECT_NE(std::string::npos, first) << out_;
  EXPECT_NE(std::string::npos, second) << out_;
  EXPECT_LT(first, second);
  EXPECT_EQ(std::string::npos, out_.find("Loaded successfully!"));
}

TEST_F(SettingsTest, EmptyObjectGivesDefaultsAndReportsSuccess) {
  const Settings s = build("{}");
  EXPECT_EQ(kDefaults, members(s));
  // INFO records are below the warning threshold.
  EXPECT_EQ("Loaded successfully!\n", out_);
}

TEST_F(SettingsTest, InfoRecordsCarryTheDocument) {
  set_max_severity(Severity::info);
  build(R"({"num_bands": 3})");
  const auto intro = out_.find(" INFO  [");
  ASSERT_NE(std::string::npos, intro) << out_;
  EXPECT_NE(std::string::npos, out_.find("] Loading config from from:\n")) << out_;
  EXPECT_NE(std::string::npos, out_.find(R"(] {"num_bands": 3})" "\n")) << out_;
  EXPECT_NE(std::string::npos, out_.find("\nLoaded successfully!\n")) << out_;
}

TEST_F(SettingsTest, EveryKeyFillsItsMember) {
  const Settings s = build(R"({
    "cameras_info": "/rig/info.json", "cameras_calib": "/rig/calib.yml",
    "warping_mode": "cylindrical", "expos_comp_mode": "gain_blocks",
    "expos_comp_nr_feeds": 4, "expos_comp_nr_filter": 6, "expos_comp_block_size": 16,
    "expos_comp_scale": 0.25, "expos_comp_interval": 900, "blending_mode": "multiband",
    "num_bands": 7, "seam_find_mode": "gpu_graphcut", "seamFindIter": 11,
    "seamFindTermCost": 1234, "seamFindWindowMin": 2, "seamFindWindowMax": 40,
    "seamFindBadPenalty": 99, "seamFindMaxBfs": 2.5, "seamFindGapWidth": 8,
    "seamFindScale": 0.3, "seamFindMargin": 16
  })");
  EXPECT_EQ(defaults_with({{"camera_info", "/rig/info.json"},
                           {"camera_params", "/rig/calib.yml"},
                           {"warp_type", "cylindrical"},
                           {"expos_comp_type", "gain_blocks"},
                           {"expos_comp_nr_feeds", "4"},
                           {"expos_comp_nr_filtering", "6"},
                           {"expos_comp_block_size", "16"},
                           {"expos_comp_scale", "0.25"},
                           {"expos_comp_interval", "900"},
                           {"blend_type", "multiband"},
                           {"num_bands", "7"},
                           {"seam_type", "gpu_graphcut"},
                           {"seam_find_iterations", "11"},
                           {"seam_find_terminal_cost", "1234"},
                           {"seam_find_window_min", "2"},
                           {"seam_find_window_max", "40"},
                           {"seam_find_bad_penalty", "99"},
                           {"seam_find_max_bfs", "2.5"},
                           {"seam_find_gap_width", "8"},
                           {"seam_scale", "0.3"},
                           {"blend_margin", "16"}}),
            members(s));
  EXPECT_EQ("Loaded successfully!\n", out_);
}

TEST_F(SettingsTest, SingleKeysChangeOnlyTheirMember) {
  const struct {
    const char* config;
    std::map<std::string, std::string> changes;
  } cases[] = {
      {R"({"warping_mode": "plane"})", {{"warp_type", "plane"}}},
      // jsoncpp's integer conversion of a real truncates toward zero.
      {R"({"num_bands": 5.9})", {{"num_bands", "5"}}},
      {R"({"num_bands": -2.7})", {{"num_bands", "-2"}}},
      {R"({"seamFindMargin": 16})", {{"blend_margin", "16"}}},
      {R"({"expos_comp_nr_filter": 9})", {{"expos_comp_nr_filtering", "9"}}},
      {R"({"seamFindMaxBfs": 3})", {{"seam_find_max_bfs", "3"}}},
      {R"({"expos_comp_scale": 1})", {{"expos_comp_scale", "1"}}},
      // No key fills buffer_size; unknown and differently cased keys are ignored.
      {R"({"buffer_size": 9, "Warping_Mode": "plane", "seamfindmargin": 1, "x": {}})", {}},
      // Comments are allowed; later duplicates win as in jsoncpp.
      {"{ // rig A\n \"num_bands\": 1, /* again */ \"num_bands\": 2 }", {{"num_bands", "2"}}},
      // A null root is not an object but has no members either.
      {"null", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config);
    EXPECT_EQ(defaults_with(c.changes), members(build(c.config)));
  }
}

TEST_F(SettingsTest, TextThatIsNotJsonThrowsTheParseError) {
  const char* cases[] = {
      "/home/rig/config/stitcher.json",  // a path is parsed, not opened
      "{",
      R"({"num_bands": })",
      R"({"num_bands" 3})",
      "{\"warping_mode\": \"plane\"",
      "\x01\x02\xff\xfe",
  };
  for (const char* config : cases) {
    SCOPED_TRACE(config);
    try {
      build(config);
      ADD_FAILURE() << "no exception";
    } catch (const Json::RuntimeError& e) {
      EXPECT_NE(std::string::npos, std::string(e.what()).find("* Line ")) << e.what();
    }
    EXPECT_EQ(std::string::npos, out_.find("Loaded successfully!"));
  }
}

TEST_F(SettingsTest, ValuesOfTheWrongKindThrowTheConversionError) {
  const char* cases[] = {
      R"({"warping_mode": {}})",
      R"({"cameras_info": [1, 2]})",
      R"({"num_bands": "five"})",
      R"({"num_bands": 1e12})",
      R"({"expos_comp_scale": "x"})",
      R"({"seamFindMaxBfs": [1]})",
      "[1, 2]",  // a root that is an array has no member test
      "42",
  };
  for (const char* config : cases) {
    SCOPED_TRACE(config);
    EXPECT_THROW(build(config), Json::LogicError);
    EXPECT_EQ(std::string::npos, out_.find("Loaded successfully!"));
  }
}

TEST_F(SettingsTest, ToStringOfDefaults) {
  EXPECT_EQ(
      "camera_info: \n"
      "camera_params: \n"
      "warp_type: spherical\n"
      "expos_comp_type: no\n"
      "expos_comp_scale: -1\n"
      "expos_interval: 1800\n"
      "blend_type: no\n"
      "num_bands: 5\n"
      "seam_type: no\n"
      "seam_scale: 0.1\n",
      build("").to_string());
}

TEST_F(SettingsTest, ToStringShowsTheValues) {
  const Settings s = build(R"({"cameras_info": "a.json", "cameras_calib": "b.yml",
      "warping_mode": "plane", "expos_comp_mode": "gain", "expos_comp_scale": 0.123456789,
      "expos_comp_interval": 7, "blending_mode": "multiband", "num_bands": 3,
      "seam_find_mode": "gpu", "seamFindScale": 2e-7})");
  EXPECT_EQ(
      "camera_info: a.json\n"
      "camera_params: b.yml\n"
      "warp_type: plane\n"
      "expos_comp_type: gain\n"
      "expos_comp_scale: 0.123457\n"
      "expos_interval: 7\n"
      "blend_type: multiband\n"
      "num_bands: 3\n"
      "seam_type: gpu\n"
      "seam_scale: 2e-07\n",
      s.to_string());
}

TEST_F(SettingsTest, CopiesAreIndependent) {
  Settings original = build(R"({"warping_mode": "plane"})");
  Settings copy = original;
  copy.warp_type = "cylindrical";
  copy.buffer_size = 8;
  EXPECT_EQ("plane", original.warp_type);
  EXPECT_EQ(4, original.buffer_size);
  EXPECT_EQ(defaults_with({{"warp_type", "cylindrical"}, {"buffer_size", "8"}}), members(copy));
}

}  // namespace
}  // namespace lumaweave
