// Settings document parser: any text either builds settings or throws one of jsoncpp's
// exceptions. Anything else escaping, or a crash, is a finding.
#include <cstdint>
#include <cstdio>
#include <string>

#include <json/json.h>

#include "lumaweave/live_stitcher.hpp"
#include "lumaweave/logging.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The constructor reports success on stdout; keep the run quiet and fast.
  if (!std::freopen("/dev/null", "w", stdout)) return 0;
  lumaweave::set_max_severity(lumaweave::Severity::none);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string config(reinterpret_cast<const char*>(data), size);
  try {
    const lumaweave::LiveStitcher::Settings settings(config);
    const std::string summary = settings.to_string();
    if (summary.find("seam_scale: ") == std::string::npos) __builtin_trap();
  } catch (const Json::Exception&) {
    // Not JSON, or a value of the wrong kind: the documented outcome.
  }
  return 0;
}
