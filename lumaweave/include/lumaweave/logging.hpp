// Logging set-up of liblumaweave.
//
// The library writes its records through one console sink on standard output. Severities
// follow the usual six-level scheme (FATAL .. VERB); the numeric values are part of the
// interface because host programs sometimes store them in their own configuration.
#pragma once

#include <string>

namespace lumaweave {

enum class Severity : int {
  none = 0,
  fatal = 1,
  error = 2,
  warning = 3,
  info = 4,
  debug = 5,
  verbose = 6,
};

// Maps a level name to a severity by its first letter, case-insensitively: D debug,
// E error, F fatal, I info, V verbose, W warning; anything else (also an empty string or a
// null pointer) gives none.
Severity severityFromString(const char* str);

// The short record tag of a severity: "FATAL", "ERROR", "WARN", "INFO", "DEBUG", "VERB",
// "NONE".
const char* severityToString(Severity severity);

// Set-up performed by the stitcher and calibrator constructors: prints
// "Enable console log: <level_name>", converts the name with severityFromString and makes
// the result the threshold of the one console sink of the process (created on first use,
// shared by every stitcher and calibrator, never duplicated).
void setup_console_logging(const std::string& level_name);

// Threshold of the console sink: records whose severity is numerically above it are
// dropped. Until a set-up call it is warning. Safe to call from any thread.
void set_max_severity(Severity severity);
Severity max_severity();

// Forces buffered records out to standard output (every record is already flushed as it
// is written; this is for callers that redirect the stream).
void flush_log();

}  // namespace lumaweave
