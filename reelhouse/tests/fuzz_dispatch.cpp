// Fuzz target for the node's request path: any request text must be answered
// with a well-formed JSON-RPC response (or one per batch element), never a
// crash or a hang. The node runs for real against a private rosmaster, with a
// footage location in a temporary folder.
//
// Built for libFuzzer (clang, REELHOUSE_FUZZ=ON) or, with
// REELHOUSE_FUZZ_REPLAY, as a program that replays corpus files.

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "reelhouse.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

pid_t g_master = -1;
fs::path g_work;
std::unique_ptr<Reelhouse> g_node;

[[noreturn]] void fail(const std::string& why, const std::string& input, const std::string& output) {
  std::fprintf(stderr, "FUZZ FAILURE: %s\ninput: %.400s\noutput: %.400s\n", why.c_str(), input.c_str(), output.c_str());
  std::abort();
}

int free_port() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  socklen_t len = sizeof(addr);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(s);
  return ntohs(addr.sin_port);
}

bool answers(int port) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  ::close(s);
  return ok;
}

void stop_all() {
  g_node.reset();
  if (ros::isStarted()) ros::shutdown();
  if (g_master > 0) {
    ::kill(g_master, SIGTERM);
    ::waitpid(g_master, nullptr, 0);
    g_master = -1;
  }
  std::error_code ec;
  if (!g_work.empty()) fs::remove_all(g_work, ec);
}

bool valid_response(const json& r) {
  if (!r.is_object() || r.value("jsonrpc", "") != "2.0" || !r.contains("id")) return false;
  const json& id = r["id"];
  if (!id.is_null() && !id.is_string() && !id.is_number()) return false;
  if (r.contains("result") == r.contains("error")) return false;
  if (r.contains("error")) {
    const json& e = r["error"];
    if (!e.is_object() || !e.contains("code") || !e["code"].is_number_integer() || !e.contains("message") ||
        !e["message"].is_string())
      return false;
  }
  return r.size() == 3;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  char pattern[] = "/tmp/reelhouse-fuzz-XXXXXX";
  if (!::mkdtemp(pattern)) std::abort();
  g_work = pattern;
  fs::create_directories(g_work / "footage");
  fs::create_directories(g_work / "ros");
  const json config = {{"location", (g_work / "footage").string()},
                       {"info_file", "info.json"},
                       {"cameras", json::array({{{"fps", 30}}, {{"fps", 25}}})}};
  std::ofstream(g_work / "config.json") << config.dump();
  std::ofstream(g_work / "backup.json") << config.dump();

  const int port = free_port();
  const std::string uri = "http://127.0.0.1:" + std::to_string(port);
  ::setenv("ROS_MASTER_URI", uri.c_str(), 1);
  ::setenv("ROS_IP", "127.0.0.1", 1);
  ::setenv("ROS_HOSTNAME", "127.0.0.1", 1);
  ::setenv("ROS_HOME", (g_work / "ros").c_str(), 1);
  ::setenv("ROS_LOG_DIR", (g_work / "ros").c_str(), 1);
  g_master = ::fork();
  if (g_master == 0) {
    const std::string p = std::to_string(port);
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    ::execlp("rosmaster", "rosmaster", "--core", "-p", p.c_str(), "-w", "1", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  for (int i = 0; i < 200 && !answers(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));

  ros::init(*argc, *argv, "reelhouse_fuzz", ros::init_options::AnonymousName | ros::init_options::NoSigintHandler);
  // Request logging would dominate the run.
  if (ros::console::set_logger_level(ROSCONSOLE_DEFAULT_NAME, ros::console::levels::Fatal))
    ros::console::notifyLoggerLevelsChanged();
  ros::NodeHandle nh;
  ros::NodeHandle pnh("~");
  pnh.setParam("config_file", (g_work / "config.json").string());
  pnh.setParam("backup_config_file", (g_work / "backup.json").string());
  g_node = std::make_unique<Reelhouse>(nh, pnh);
  // Registered last so that it runs before the static objects of ROS go.
  std::atexit(stop_all);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  camera::JsonService::Request request;
  camera::JsonService::Response response;
  request.data.assign(reinterpret_cast<const char*>(data), size);
  if (!g_node->rpc_service_callback(request, response)) fail("service call failed", request.data, response.data);

  json answer;
  try {
    answer = json::parse(response.data);
  } catch (const json::exception&) {
    fail("response is not JSON", request.data, response.data);
  }
  if (answer.is_array()) {
    json input;
    try {
      input = json::parse(request.data);
    } catch (const json::exception&) {
      fail("batch answer to a request that is not JSON", request.data, response.data);
    }
    if (!input.is_array() || input.empty() || input.size() != answer.size())
      fail("batch answer does not match the batch", request.data, response.data);
    for (const auto& element : answer)
      if (!valid_response(element)) fail("malformed batch element", request.data, response.data);
  } else if (!valid_response(answer)) {
    fail("malformed response", request.data, response.data);
  }
  return 0;
}

#ifdef REELHOUSE_FUZZ_REPLAY
// Replays every file of the given folders (or files) through the target.
int main(int argc, char** argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<fs::path> inputs;
    if (fs::is_directory(argv[i])) {
      for (const auto& entry : fs::directory_iterator(argv[i]))
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    } else {
      inputs.push_back(argv[i]);
    }
    std::sort(inputs.begin(), inputs.end());
    for (const auto& path : inputs) {
      std::ifstream in(path, std::ios::binary);
      const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(text.data()), text.size());
      ++count;
    }
  }
  std::printf("\nreplayed %d inputs\n", count);
  return count > 0 ? 0 : 1;
}
#endif
