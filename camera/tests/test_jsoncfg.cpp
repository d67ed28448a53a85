#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "camera/jsoncfg.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/jsoncfg-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
    file = (dir / "config.json").string();
    backup = (dir / "backup.json").string();
  }
  void TearDown() override { fs::remove_all(dir); }

  static void write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
  static std::string read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::size_t entries() const { return std::distance(fs::directory_iterator(dir), fs::directory_iterator()); }

  fs::path dir;
  std::string file, backup;
};

}  // namespace

TEST_F(SettingsTest, LoadFallsBackToBackupAndWritesNeither) {
  const std::string backup_text = R"({"location":"/b","info_file":"info.json"})";
  write(backup, backup_text);
  for (const char* bad : {"", "{\"location\": ", "[1,2]", "\"text\""}) {
    SCOPED_TRACE(bad);
    if (*bad)
      write(file, bad);
    else
      fs::remove(file);
    jsoncfg::Settings settings;
    ASSERT_TRUE(settings.load(file, backup));
    EXPECT_EQ(settings["location"], "/b");
    EXPECT_EQ(settings.loaded_from(), backup);
    EXPECT_EQ(read(backup), backup_text);
    EXPECT_EQ(fs::exists(file), *bad != 0);
    if (*bad) {
      EXPECT_EQ(read(file), bad);
    }
  }

  write(file, R"({"location":"/f"})");
  jsoncfg::Settings settings;
  ASSERT_TRUE(settings.load(file, backup));
  EXPECT_EQ(settings["location"], "/f");

  fs::remove(file);
  fs::remove(backup);
  EXPECT_FALSE(jsoncfg::Settings().load(file, backup));
  EXPECT_FALSE(jsoncfg::Settings().load("", ""));
}

TEST_F(SettingsTest, NodeKeys) {
  write(file, R"({"location":"/l","a":{"b":[{"c":1},{"c":2}]}})");
  jsoncfg::Settings settings;
  ASSERT_TRUE(settings.load(file, backup));
  EXPECT_EQ(settings["/"], json::parse(R"({"location":"/l","a":{"b":[{"c":1},{"c":2}]}})"));
  EXPECT_EQ(settings["location"], "/l");
  EXPECT_EQ(settings["/location"], "/l");
  EXPECT_EQ(settings["/a/b/1/c"], 2);

  // Writing through the reference changes the store.
  settings["/a/b/0"]["c"] = 5;
  EXPECT_EQ(settings["a"]["b"][0]["c"], 5);

  // Missing parts throw and add nothing.
  const json before = settings["/"];
  for (const char* key : {"missing", "/missing", "/a/x", "/a/b/7", "/a/b/-", "/location/x", "/a~2", "a/b"})
    EXPECT_THROW(settings[key], json::exception) << key;
  EXPECT_EQ(settings["/"], before);
}

TEST_F(SettingsTest, AutoSaveAndSaveWriteCompactDocument) {
  write(file, R"({"z": 1, "a": {"y": 2, "b": 3}})");
  jsoncfg::Settings settings;
  ASSERT_TRUE(settings.load(file, backup));
  settings["/"]["m"] = "x";
  EXPECT_TRUE(settings.auto_save(""));
  EXPECT_EQ(read(file), "{\"a\":{\"b\":3,\"y\":2},\"m\":\"x\",\"z\":1}\n");
  EXPECT_EQ(entries(), 1u) << "no temporary files left behind";

  settings["/"]["n"] = 1;
  EXPECT_FALSE(settings.save("/missing"));
  EXPECT_EQ(json::parse(read(file)).count("n"), 0u);
  EXPECT_TRUE(settings.save("/a"));
  EXPECT_EQ(json::parse(read(file))["n"], 1);

  const std::string other = (dir / "other.json").string();
  EXPECT_TRUE(settings.auto_save(other));
  EXPECT_EQ(read(other), read(file));
}

TEST_F(SettingsTest, ResetRestoresPartFromBackup) {
  write(backup, R"({"location":"/b","a":{"b":1},"list":[{"k":0}]})");
  write(file, R"({"location":"/f","a":{"b":9,"c":2},"extra":true})");
  jsoncfg::Settings settings;
  ASSERT_TRUE(settings.load(file, backup));

  EXPECT_TRUE(settings.reset("/a/b"));
  EXPECT_EQ(settings["/"], json::parse(R"({"location":"/f","a":{"b":1,"c":2},"extra":true})"));
  EXPECT_EQ(json::parse(read(file)), settings["/"]) << "reset is persisted";

  EXPECT_TRUE(settings.reset("list"));
  EXPECT_EQ(settings["list"], json::parse(R"([{"k":0}])"));

  const json before = settings["/"];
  EXPECT_FALSE(settings.reset("/a/c"));  // not in the backup
  EXPECT_FALSE(settings.reset("/nothing"));
  EXPECT_EQ(settings["/"], before);

  EXPECT_TRUE(settings.reset("/"));
  EXPECT_EQ(settings["/"], json::parse(read(backup)));

  fs::remove(backup);
  EXPECT_FALSE(settings.reset("/"));
}

TEST_F(SettingsTest, AtomicWriteLeavesOldFileOnFailure) {
  std::string error;
  EXPECT_FALSE(jsoncfg::WriteFileAtomic((dir / "no/such/dir/f.json").string(), "x", &error));
  EXPECT_FALSE(error.empty());

  // A target that cannot be replaced: the temporary file is cleaned up.
  fs::create_directory(dir / "taken");
  EXPECT_FALSE(jsoncfg::WriteFileAtomic((dir / "taken").string(), "x", &error));
  EXPECT_EQ(entries(), 1u);

  EXPECT_TRUE(jsoncfg::WriteFileAtomic(file, "old\n"));
  if (::geteuid() != 0) {  // root ignores directory permissions
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(jsoncfg::WriteFileAtomic(file, "new\n", &error));
    fs::permissions(dir, fs::perms::owner_all);
    EXPECT_EQ(read(file), "old\n");
  }
  EXPECT_TRUE(jsoncfg::WriteFileAtomic(file, "new\n"));
  EXPECT_EQ(read(file), "new\n");
  EXPECT_EQ(entries(), 2u);
}
