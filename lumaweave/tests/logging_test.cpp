#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "log.hpp"
#include "lumaweave/logging.hpp"

namespace lumaweave {
namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Each test starts at the stitcher's threshold and leaves it there.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { set_max_severity(Severity::warning); }
  void TearDown() override { set_max_severity(Severity::warning); }

  static std::string stop_capture() {
    flush_log();
    return ::testing::internal::GetCapturedStdout();
  }
};

TEST(LogSeverity, ValuesAreTheConventionalOnes) {
  EXPECT_EQ(0, static_cast<int>(Severity::none));
  EXPECT_EQ(1, static_cast<int>(Severity::fatal));
  EXPECT_EQ(2, static_cast<int>(Severity::error));
  EXPECT_EQ(3, static_cast<int>(Severity::warning));
  EXPECT_EQ(4, static_cast<int>(Severity::info));
  EXPECT_EQ(5, static_cast<int>(Severity::debug));
  EXPECT_EQ(6, static_cast<int>(Severity::verbose));
}

TEST(LogSeverity, FromStringLooksAtTheFirstLetterOnly) {
  const struct {
    const char* name;
    Severity expected;
  } cases[] = {
      {"WARNING", Severity::warning}, {"warning", Severity::warning}, {"Wx", Severity::warning},
      {"DEBUG", Severity::debug},     {"d", Severity::debug},         {"ERROR", Severity::error},
      {"fatal", Severity::fatal},     {"Info", Severity::info},       {"VERBOSE", Severity::verbose},
      {"verb", Severity::verbose},    {"NONE", Severity::none},       {"trace", Severity::none},
      {"", Severity::none},           {" WARNING", Severity::none},   {nullptr, Severity::none},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.expected, severityFromString(c.name)) << (c.name ? c.name : "(null)");
}

TEST(LogSeverity, RecordTags) {
  EXPECT_STREQ("FATAL", severityToString(Severity::fatal));
  EXPECT_STREQ("ERROR", severityToString(Severity::error));
  EXPECT_STREQ("WARN", severityToString(Severity::warning));
  EXPECT_STREQ("INFO", severityToString(Severity::info));
  EXPECT_STREQ("DEBUG", severityToString(Severity::debug));
  EXPECT_STREQ("VERB", severityToString(Severity::verbose));
  EXPECT_STREQ("NONE", severityToString(Severity::none));
}

TEST_F(LogTest, SetupPrintsTheLevelAndSetsTheThreshold) {
  set_max_severity(Severity::verbose);
  ::testing::internal::CaptureStdout();
  setup_console_logging("WARNING");
  EXPECT_EQ("Enable console log: WARNING\n", stop_capture());
  EXPECT_EQ(Severity::warning, max_severity());

  ::testing::internal::CaptureStdout();
  setup_console_logging("debug");
  EXPECT_EQ("Enable console log: debug\n", stop_capture());
  EXPECT_EQ(Severity::debug, max_severity());
}

TEST_F(LogTest, RecordLayout) {
  ::testing::internal::CaptureStdout();
  const int line = __LINE__ + 1;
  LOGW << "camera " << 1 << " size " << cv::Size(640, 480) << " roi " << cv::Rect(1, 2, 3, 4);
  const std::string out = stop_capture();
  const std::regex layout(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} WARN  \[\d+\] \[TestBody@(\d+)\] )"
      R"(camera 1 size \[640 x 480\] roi \[3 x 4 from \(1, 2\)\]\n)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(out, m, layout)) << out;
  EXPECT_EQ(std::to_string(line), m[1].str());
}

TEST_F(LogTest, WarningThresholdKeepsFatalErrorWarnOnly) {
  setup_console_logging("WARNING");
  ::testing::internal::CaptureStdout();
  LOGF << "f";
  LOGE << "e";
  LOGW << "w";
  LOGI << "i";
  LOGD << "d";
  LOGV << "v";
  const auto lines = lines_of(stop_capture());
  ASSERT_EQ(3u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find(" FATAL [")) << lines[0];
  EXPECT_NE(std::string::npos, lines[1].find(" ERROR [")) << lines[1];
  EXPECT_NE(std::string::npos, lines[2].find(" WARN  [")) << lines[2];
}

TEST_F(LogTest, ThresholdNoneAndVerbose) {
  set_max_severity(Severity::none);
  ::testing::internal::CaptureStdout();
  LOGF << "nothing at all";
  EXPECT_EQ("", stop_capture());

  set_max_severity(Severity::verbose);
  ::testing::internal::CaptureStdout();
  LOGD << "d";
  LOGV << "v";
  const auto lines = lines_of(stop_capture());
  ASSERT_EQ(2u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find(" DEBUG [")) << lines[0];
  EXPECT_NE(std::string::npos, lines[1].find(" VERB  [")) << lines[1];
}

TEST_F(LogTest, DroppedRecordDoesNotEvaluateItsValues) {
  int evaluated = 0;
  auto value = [&] { return ++evaluated; };
  LOGI << value();
  EXPECT_EQ(0, evaluated);
  ::testing::internal::CaptureStdout();
  LOGW << value();
  stop_capture();
  EXPECT_EQ(1, evaluated);
}

TEST_F(LogTest, CallerElseBindsToTheCallersIf) {
  bool else_taken = false;
  ::testing::internal::CaptureStdout();
  if (else_taken) {
    LOGW << "not this";
  } else {
    else_taken = true;
  }
  const bool condition = false;
  bool second_else = false;
  if (condition)
    LOGW << "not this either";
  else
    second_else = true;
  EXPECT_EQ("", stop_capture());
  EXPECT_TRUE(else_taken);
  EXPECT_TRUE(second_else);
}

TEST_F(LogTest, MessageTextIsNotAFormatString) {
  ::testing::internal::CaptureStdout();
  LOGW << R"({"cameras_info": "{}"} %s {0})";
  const std::string out = stop_capture();
  EXPECT_NE(std::string::npos, out.find(R"(] {"cameras_info": "{}"} %s {0})" "\n")) << out;
}

TEST_F(LogTest, RepeatedSetupKeepsOneSink) {
  setup_console_logging("WARNING");
  setup_console_logging("WARNING");
  setup_console_logging("WARNING");
  ::testing::internal::CaptureStdout();
  LOGW << "once";
  EXPECT_EQ(1u, lines_of(stop_capture()).size());
}

TEST_F(LogTest, ConcurrentRecordsStayWhole) {
  constexpr int kThreads = 4;
  constexpr int kRecords = 200;
  ::testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kRecords; ++i) LOGW << "thread " << t << " record " << i << " end";
    });
  for (auto& thread : threads) thread.join();
  const auto lines = lines_of(stop_capture());
  ASSERT_EQ(static_cast<size_t>(kThreads * kRecords), lines.size());
  const std::regex whole(R"(.* WARN  \[\d+\] \[operator\(\)@\d+\] thread \d record \d+ end)");
  int counts[kThreads] = {0};
  for (const auto& line : lines) {
    ASSERT_TRUE(std::regex_match(line, whole)) << line;
    ++counts[line[line.find("thread ") + 7] - '0'];
  }
  for (int count : counts) EXPECT_EQ(kRecords, count);
}

}  // namespace
}  // namespace lumaweave
