#include "support/files_fixture.hpp"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace lumaweave {
namespace testing_files {

namespace fs = std::filesystem;

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  ASSERT_TRUE(out.good()) << "cannot write " << path;
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void ScratchDir::SetUp() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "." + info->name();
  for (char& c : name)
    if (c == '/') c = '_';  // parameterised test names
  const fs::path dir = fs::path(LUMAWEAVE_TEST_TMP) / name;
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directories(dir);
  dir_ = dir.string();
}

std::string ScratchDir::path(const std::string& name) const {
  return (fs::path(dir_) / name).string();
}

}  // namespace testing_files
}  // namespace lumaweave
