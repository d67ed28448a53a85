// Scratch files for tests that read and write real files.
#pragma once

#include <string>

#include <gtest/gtest.h>

namespace lumaweave {
namespace testing_files {

// Writes `content` to `path` byte for byte (binary mode), replacing any file there.
void write_file(const std::string& path, const std::string& content);

// Whole file as bytes; empty when it cannot be read.
std::string read_file(const std::string& path);

// Gives each test an empty folder of its own under the build tree's temp folder, named
// after the test, so runs never see files left by another test.
class ScratchDir : public ::testing::Test {
 protected:
  void SetUp() override;
  // Path of `name` inside the test's folder.
  std::string path(const std::string& name) const;
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

}  // namespace testing_files
}  // namespace lumaweave
