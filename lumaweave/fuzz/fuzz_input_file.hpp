// Writes a fuzz input to a scratch file, for targets whose entry points take a path.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

namespace lumaweave_fuzz {

// One file per process (libFuzzer's -jobs/-fork run several), reused for every input.
inline std::string input_file(const std::string& extension) {
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp && *tmp ? tmp : "/tmp") + "/lumaweave_fuzz_" +
         std::to_string(::getpid()) + extension;
}

inline std::string write_input(const std::string& extension, const uint8_t* data, size_t size) {
  const std::string path = input_file(extension);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return path;
}

}  // namespace lumaweave_fuzz
