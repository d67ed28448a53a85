#include <gtest/gtest.h>
#include <ros/service_traits.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "camera/JsonService.h"
#include "footage.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

class FootageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/footage-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root = pattern;
    folder = root / "2021_03_04_15_20_01";
    fs::create_directory(folder);
    info = folder / "info.json";
  }
  void TearDown() override { fs::remove_all(root); }

  static void write(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
  static std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  const json config = {{"info_file", "info.json"}, {"location", "/unused"}};
  fs::path root, folder, info;
};

}  // namespace

TEST(ServiceType, Checksums) {
  EXPECT_STREQ(ros::service_traits::md5sum<camera::JsonService>(), "a9e4701c829f791367680c5f8ed06ff4");
  EXPECT_STREQ(ros::service_traits::datatype<camera::JsonService>(), "camera/JsonService");
  EXPECT_STREQ(ros::message_traits::md5sum<camera::JsonServiceRequest>(), "992ce8a1687cec8c8bd883ec73ca41d1");
  EXPECT_STREQ(ros::message_traits::md5sum<camera::JsonServiceResponse>(), "992ce8a1687cec8c8bd883ec73ca41d1");
}

TEST_F(FootageTest, NewFolderWritesInfoFileAndRoundTrips) {
  const std::string id = "0b3f3c4e-6a43-4e5c-9d71-3a1b2c3d4e5f";
  {
    Footage footage(folder.string(), id, config);
    EXPECT_TRUE(footage.saved());
    EXPECT_EQ(read(info), "{\"field_corners\":null,\"id\":\"" + id + "\",\"metadata\":null,\"name\":\"\"}\n");
    EXPECT_EQ(footage.name(), "2021_03_04_15_20_01");
    EXPECT_EQ(footage.duration(), 0);

    footage.set_metadata({{"a", 1}});
    footage.set_metadata({{"b", 2}});
    EXPECT_EQ(footage.metadata(), json::parse(R"({"a":1,"b":2})"));
    footage.set_metadata({{"a", 3}});
    EXPECT_EQ(footage.metadata(), json::parse(R"({"a":3,"b":2})"));
    EXPECT_THROW(footage.set_metadata(json::array({1})), json::exception);
    EXPECT_EQ(footage.metadata(), json::parse(R"({"a":3,"b":2})")) << "a refused merge changes nothing";

    footage.set_name("Match");
    footage.set_field_corners(json::parse("[[0,0],[1,0],[1,1]]"));
    Footage copy = footage;  // a copy writes the file when it goes
  }
  Footage again(folder.string(), config);
  EXPECT_TRUE(again.complete());
  EXPECT_EQ(again.id(), id);
  EXPECT_EQ(again.name(), "Match");
  EXPECT_EQ(again.metadata(), json::parse(R"({"a":3,"b":2})"));
  EXPECT_EQ(again.field_corners(), json::parse("[[0,0],[1,0],[1,1]]"));
}

TEST_F(FootageTest, VideoFilesSizeAndFileList) {
  write(info, R"({"id":"U","name":"n","metadata":null,"field_corners":null})");
  write(folder / "a.mp4", std::string(1500, 'a'));
  write(folder / "b.mkv", std::string(2600, 'b'));
  write(folder / "c.MP4", std::string(5000, 'c'));
  write(folder / "notes.txt", "x");
  fs::create_directory(folder / "d.mp4");

  const Footage footage(folder.string(), config);
  EXPECT_EQ(footage.size_kb(), 4);  // 4.1 truncated
  const auto files = footage.files();
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0].file_path, info.string());
  EXPECT_EQ(files[0].file_id, "U/info.json");
  EXPECT_EQ(files[0].content_type, "json");
  std::set<std::string> videos;
  for (std::size_t i = 1; i < files.size(); ++i) {
    EXPECT_EQ(files[i].content_type, "mp4");
    EXPECT_EQ(files[i].file_id, "U/" + fs::path(files[i].file_path).filename().string());
    EXPECT_TRUE(files[i].metadata.empty());
    videos.insert(fs::path(files[i].file_path).filename().string());
  }
  EXPECT_EQ(videos, (std::set<std::string>{"a.mp4", "b.mkv"}));
}

// Info files that were not read completely are never replaced, also not after
// the record was changed.
TEST_F(FootageTest, PartlyReadInfoFileIsLeftUntouched) {
  struct Case {
    const char* text;
    const char* id;
  };
  const Case cases[] = {
      {"{\"id\": \"abc\", \"metadata\": {\"k\": 1}}", "abc"},  // no name
      {"{\"id\": \"abc\", \"name\": 5}", "abc"},               // mistyped name
      {"{\"id\": 7, \"name\": \"n\"}", ""},
      {"{\"id\": \"abc\", \"name\": ", ""},  // invalid JSON
      {"[\"id\", \"name\"]", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    write(info, c.text);
    const auto mtime = fs::last_write_time(info);
    {
      Footage footage(folder.string(), config);
      EXPECT_FALSE(footage.complete());
      EXPECT_EQ(footage.id(), c.id);
      footage.set_name("changed");
      footage.set_metadata({{"x", 1}});
      Footage copy = footage;
    }
    EXPECT_EQ(read(info), c.text);
    EXPECT_EQ(fs::last_write_time(info), mtime);
  }
  fs::remove(info);
  { Footage missing(folder.string(), config); }
  EXPECT_FALSE(fs::exists(info));
}

TEST_F(FootageTest, WriteFailureIsReported) {
  fs::create_directory(info);  // the info file name is taken by a folder
  Footage footage(folder.string(), "id", config);
  EXPECT_FALSE(footage.saved());
  EXPECT_FALSE(footage._save_footage_info());
  EXPECT_TRUE(fs::is_directory(info));
  const Footage existing(folder.string(), config);  // reading it fails without throwing
  EXPECT_FALSE(existing.complete());
  EXPECT_TRUE(existing.id().empty());
}

TEST_F(FootageTest, VanishedFolderIsNotRecreated) {
  { Footage footage(folder.string(), "id", config); fs::remove_all(folder); }
  EXPECT_FALSE(fs::exists(folder));
}

TEST_F(FootageTest, InfoFileNameMustStayInsideFolder) {
  for (const char* name : {"../escape.json", "/tmp/escape.json", "", "a/../../b.json"}) {
    SCOPED_TRACE(name);
    json bad = config;
    bad["info_file"] = name;
    EXPECT_THROW(Footage(folder.string(), "id", bad), json::exception);
    EXPECT_THROW(Footage(folder.string(), bad), json::exception);
  }
  json number = config;
  number["info_file"] = 3;
  EXPECT_THROW(Footage(folder.string(), number), json::exception);
  EXPECT_FALSE(fs::exists(root / "escape.json"));
}
