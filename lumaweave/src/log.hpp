// Internal record macros of liblumaweave.
//
//   LOGI << "Preparing for input size " << size;
//
// Values go through std::ostream, so OpenCV's stream operators for cv::Size, cv::Rect and
// cv::Mat apply. The threshold is checked before anything is formatted, so a dropped record
// costs one atomic load. Safe to use from several threads at once.
#pragma once

#include <atomic>
#include <sstream>

#include "lumaweave/logging.hpp"

namespace lumaweave {
namespace logdetail {

// Current threshold as an int (see set_max_severity); defined in logging.cpp.
extern std::atomic<int> g_max_severity;

inline bool enabled(Severity severity) {
  return static_cast<int>(severity) <= g_max_severity.load(std::memory_order_relaxed);
}

// Writes one finished record to the console sink.
void write_record(Severity severity, const char* func, int line, const std::string& message);

// Collects one record; it is written when the temporary dies at the end of the statement.
class Record {
 public:
  Record(Severity severity, const char* func, int line)
      : severity_(severity), func_(func), line_(line) {}
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;
  ~Record() {
    try {
      write_record(severity_, func_, line_, stream_.str());
    } catch (...) {
      // A record that cannot be written must never take the caller down.
    }
  }

  std::ostream& stream() { return stream_; }

 private:
  Severity severity_;
  const char* func_;
  int line_;
  std::ostringstream stream_;
};

}  // namespace logdetail
}  // namespace lumaweave

// The empty if-branch keeps a caller's own "if (...) LOGI << x; else ..." binding correctly.
#define LW_LOG_(sev)                                \
  if (!::lumaweave::logdetail::enabled(sev)) {      \
  } else                                            \
    ::lumaweave::logdetail::Record(sev, __func__, __LINE__).stream()

#define LOGF LW_LOG_(::lumaweave::Severity::fatal)
#define LOGE LW_LOG_(::lumaweave::Severity::error)
#define LOGW LW_LOG_(::lumaweave::Severity::warning)
#define LOGI LW_LOG_(::lumaweave::Severity::info)
#define LOGD LW_LOG_(::lumaweave::Severity::debug)
#define LOGV LW_LOG_(::lumaweave::Severity::verbose)
