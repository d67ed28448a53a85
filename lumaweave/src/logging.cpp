#include "lumaweave/logging.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <iostream>
#include <memory>

#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/stdout_sinks.h>

#include "log.hpp"

namespace lumaweave {
namespace logdetail {

std::atomic<int> g_max_severity{static_cast<int>(Severity::warning)};

namespace {

spdlog::level::level_enum to_spdlog(Severity severity) {
  switch (severity) {
    case Severity::fatal: return spdlog::level::critical;
    case Severity::error: return spdlog::level::err;
    case Severity::warning: return spdlog::level::warn;
    case Severity::info: return spdlog::level::info;
    case Severity::debug: return spdlog::level::debug;
    case Severity::verbose: return spdlog::level::trace;
    case Severity::none: break;
  }
  return spdlog::level::off;
}

// The one logger and console sink of the process. It is created on first use, so code that
// logs before any stitcher exists (or from a static initialiser) still reaches stdout. It is
// deliberately never destroyed: stage threads or static destructors of a host program may
// log during exit, and every record is flushed as it is written, so nothing is lost.
spdlog::logger& console() {
  static spdlog::logger* logger = [] {
    auto sink = std::make_shared<spdlog::sinks::stdout_sink_mt>();
    auto* l = new spdlog::logger("lumaweave", std::move(sink));
    // Time stamp from spdlog; severity, thread, function@line are laid out by write_record
    // so that the tag and its padding match the record layout the rig's tools expect.
    l->set_formatter(std::make_unique<spdlog::pattern_formatter>(
        "%Y-%m-%d %H:%M:%S.%e %v", spdlog::pattern_time_type::local, std::string("\n")));
    // Filtering happens in front of the logger (enabled()); the logger passes everything.
    l->set_level(spdlog::level::trace);
    l->flush_on(spdlog::level::trace);
    return l;
  }();
  return *logger;
}

long thread_id() {
  thread_local const long tid = static_cast<long>(::syscall(SYS_gettid));
  return tid;
}

}  // namespace

void write_record(Severity severity, const char* func, int line, const std::string& message) {
  std::ostringstream text;
  std::string tag = severityToString(severity);
  tag.resize(5, ' ');
  text << tag << " [" << thread_id() << "] [" << (func ? func : "") << "@" << line << "] "
       << message;
  // The message is passed as an argument, never as a format string: braces in values
  // (JSON text, for one) must come out as they are.
  console().log(to_spdlog(severity), "{}", text.str());
}

}  // namespace logdetail

Severity severityFromString(const char* str) {
  if (str == nullptr) return Severity::none;
  switch (std::toupper(static_cast<unsigned char>(str[0]))) {
    case 'D': return Severity::debug;
    case 'E': return Severity::error;
    case 'F': return Severity::fatal;
    case 'I': return Severity::info;
    case 'V': return Severity::verbose;
    case 'W': return Severity::warning;
    default: return Severity::none;
  }
}

const char* severityToString(Severity severity) {
  switch (severity) {
    case Severity::fatal: return "FATAL";
    case Severity::error: return "ERROR";
    case Severity::warning: return "WARN";
    case Severity::info: return "INFO";
    case Severity::debug: return "DEBUG";
    case Severity::verbose: return "VERB";
    case Severity::none: break;
  }
  return "NONE";
}

void setup_console_logging(const std::string& level_name) {
  std::cout << "Enable console log: " << level_name << std::endl;
  const Severity severity = severityFromString(level_name.c_str());
  logdetail::console();  // the sink exists from here on, whatever the order of calls
  set_max_severity(severity);
}

void set_max_severity(Severity severity) {
  logdetail::g_max_severity.store(static_cast<int>(severity), std::memory_order_relaxed);
}

Severity max_severity() {
  return static_cast<Severity>(logdetail::g_max_severity.load(std::memory_order_relaxed));
}

void flush_log() { logdetail::console().flush(); }

}  // namespace lumaweave
