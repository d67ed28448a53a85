#include "support/files_fixture.hpp"

#include "support/scene.hpp"

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

void ScratchDir::SetUp() { dir_ = lwtest::tempDir("files"); }

std::string ScratchDir::path(const std::string& name) const {
  return (fs::path(dir_) / name).string();
}

}  // namespace testing_files
}  // namespace lumaweave
