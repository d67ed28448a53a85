#include "reelhouse.h"

#include <std_msgs/String.h>

#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_generators.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "camera/jsonrpc.h"
#include "ros_parameter.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kServiceName = "rpc";
constexpr const char* kTopicName = "status";

// Deeper documents are refused while parsing: copying and serialising JSON
// values recurses once per level, and nothing the node keeps needs more.
constexpr int kMaxDepth = 100;

// Texts from disk (folder and file names) need not be UTF-8; they must not
// make a whole response or status message fail.
std::string to_text(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

json parse_request(const std::string& text) {
  return json::parse(text, [](int depth, json::parse_event_t, json&) {
    if (depth > kMaxDepth)
      throw json::parse_error::create(101, 0, "nesting deeper than " + std::to_string(kMaxDepth), nullptr);
    return true;
  });
}

std::string node_key(const json& params) {
  if (params.is_object() && params.contains("node")) return params["node"].get<std::string>();
  return "/";
}

std::string local_time_folder_name() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[64];
  std::strftime(text, sizeof(text), "%Y_%m_%d_%H_%M_%S", &local);
  return text;
}

}  // namespace

Reelhouse::Reelhouse(const ros::NodeHandle& nh, const ros::NodeHandle& pnh) : _nh(nh), _pnh(pnh) {
  std::string config_file;
  std::string backup_config_file;
  LoadParam(_pnh, "config_file", config_file, false);
  LoadParam(_pnh, "backup_config_file", backup_config_file, false);
  ROS_INFO_STREAM("Loading config from: " << config_file);
  if (!_settings.load(config_file, backup_config_file))
    throw std::runtime_error("Failed loading config from: " + config_file);
  if (_settings.loaded_from() != config_file)
    ROS_WARN_STREAM("Config file not readable, using the backup: " << _settings.loaded_from());

  _location = _settings["location"].get<std::string>();
  ROS_INFO_STREAM("Footage location: " << _location);

  _methods = {
      {"check_config", &Reelhouse::check_config},       {"update_config", &Reelhouse::update_config},
      {"reset_config", &Reelhouse::reset_config},       {"save_config", &Reelhouse::save_config},
      {"prepare_footage", &Reelhouse::prepare_footage}, {"remove_footage", &Reelhouse::remove_footage},
      {"set_footage_info", &Reelhouse::set_footage_info},
      // Clients call it by this name.
      {"get_fooage_info", &Reelhouse::get_footage_info}, {"footage_status", &Reelhouse::footage_status},
  };
  _status_methods.push_back("footage_status");

  try {
    ROS_INFO_STREAM("Advertise service: " << kServiceName);
    _rpc_service = _nh.advertiseService(kServiceName, &Reelhouse::rpc_service_callback, this);
    ROS_INFO_STREAM("Advertise topic: " << kTopicName);
    _status_pub = _nh.advertise<std_msgs::String>(kTopicName, 2, false);
  } catch (const ros::Exception& e) {
    ROS_ERROR_STREAM("ROS exception: " << e.what());
    throw;
  }

  try {
    ROS_INFO("Starting status update thread");
    _update_thread = std::thread(&Reelhouse::update_thread_func, this);
  } catch (const std::exception& e) {
    ROS_ERROR_STREAM("Exception: " << e.what());
    throw;
  }

  try {
    std::lock_guard<std::mutex> lock(_mutex);
    _update_footage_list();
  } catch (...) {
    // A running thread must be joined before the members go.
    _stop_update_thread();
    throw;
  }
  ROS_INFO("Reelhouse initialized!");
}

Reelhouse::~Reelhouse() {
  std::cout << "~Reelhouse" << std::endl;
  _stop_update_thread();
}

void Reelhouse::_stop_update_thread() {
  {
    std::lock_guard<std::mutex> lock(_stop_mutex);
    _stop = true;
  }
  _stop_cv.notify_all();
  if (_update_thread.joinable()) _update_thread.join();
}

// ---------------------------------------------------------------- request path

bool Reelhouse::rpc_service_callback(camera::JsonService::Request& request, camera::JsonService::Response& response) {
  ROS_INFO_STREAM("RPC service request: " << request.data);
  json answer;
  try {
    const json parsed = parse_request(request.data);
    handle_json_request(parsed, answer);
  } catch (const json::exception& e) {
    ROS_DEBUG_STREAM("JSON error in request: " << e.what());
    jsonrpc::WrapError(nullptr, jsonrpc::kParseError, jsonrpc::GetErrorMessage(jsonrpc::kParseError), answer);
  } catch (const std::exception& e) {
    // For example the file system refusing a folder: the call fails.
    ROS_ERROR_STREAM("RPC service failed: " << e.what());
    return false;
  }
  response.data = to_text(answer);
  ROS_INFO_STREAM("RPC service response: " << response.data);
  return true;
}

void Reelhouse::handle_json_request(const json& request, json& response) {
  if (request.is_array())
    handle_batch_request(request, response);
  else if (request.is_object())
    handle_single_request(request, response);
  else
    jsonrpc::WrapError(nullptr, jsonrpc::kInvalidRequest, jsonrpc::GetErrorMessage(jsonrpc::kInvalidRequest), response);
}

void Reelhouse::handle_batch_request(const json& request, json& response) {
  if (request.empty()) {
    jsonrpc::WrapError(nullptr, jsonrpc::kInvalidRequest, jsonrpc::GetErrorMessage(jsonrpc::kInvalidRequest), response);
    return;
  }
  response = json::array();
  for (const auto& element : request) {
    json single;
    handle_single_request(element, single);
    response.push_back(std::move(single));
  }
}

void Reelhouse::handle_single_request(const json& request, json& response) {
  if (jsonrpc::ValidateRequestFields(request))
    process_request(request, response);
  else
    jsonrpc::WrapError(request, jsonrpc::kInvalidRequest, jsonrpc::GetErrorMessage(jsonrpc::kInvalidRequest), response);
}

void Reelhouse::process_request(const json& request, json& response) {
  const auto method = _methods.find(request["method"].get<std::string>());
  if (method == _methods.end()) {
    jsonrpc::WrapError(request, jsonrpc::kMethodNotFound, jsonrpc::GetErrorMessage(jsonrpc::kMethodNotFound), response);
    return;
  }
  const auto params_it = request.find("params");
  const json params = params_it != request.end() ? *params_it : json();
  json result;
  try {
    (this->*method->second)(params, result);
    jsonrpc::WrapResult(request, result, response);
  } catch (const jsonrpc::Exception& e) {
    jsonrpc::WrapException(request, e, response);
  }
}

// ---------------------------------------------------------------- configuration

void Reelhouse::check_config(const json& params, json& result) {
  ROS_INFO("check config");
  const std::string key = node_key(params);
  std::lock_guard<std::mutex> lock(_mutex);
  result = _settings[key];
}

void Reelhouse::update_config(const json& params, json& result) {
  ROS_INFO("update config");
  std::lock_guard<std::mutex> lock(_mutex);
  // A refused update (of a batch of updates) leaves the configuration as it was.
  const json before = _settings["/"];
  try {
    if (params.is_array())
      for (const auto& update : params) _update_config(update);
    else
      _update_config(params);
  } catch (...) {
    _settings["/"] = before;
    throw;
  }
  // Saved once all updates are in, so a refused one never reaches the file.
  if (!_settings.auto_save("")) ROS_WARN_STREAM("Config not saved: " << _settings.last_error());
  result = true;
}

void Reelhouse::_update_config(const json& update) {
  if (!update.is_null()) {
    // Only an object is an update; anything else is refused as a type error.
    const auto& members = update.get_ref<const json::object_t&>();
    json& target = _settings[node_key(update)];
    for (const auto& [key, value] : members) {
      if (key == "node") continue;
      if (target.is_object()) {
        target[key] = value;
      } else if (target.is_array()) {
        for (auto& element : target) element[key] = value;
      }
    }
  }
}

void Reelhouse::reset_config(const json& params, json& result) {
  ROS_INFO("reset config");
  const std::string key = node_key(params);
  std::lock_guard<std::mutex> lock(_mutex);
  result = _settings.reset(key);
  if (!result.get<bool>()) ROS_WARN_STREAM("Config not reset: " << _settings.last_error());
}

void Reelhouse::save_config(const json& params, json& result) {
  ROS_INFO("save config");
  const std::string key = node_key(params);
  std::lock_guard<std::mutex> lock(_mutex);
  result = _settings.save(key);
  if (!result.get<bool>()) ROS_WARN_STREAM("Config not saved: " << _settings.last_error());
}

// ---------------------------------------------------------------- footages

void Reelhouse::prepare_footage(const json&, json& result) {
  ROS_INFO("Prepare footage");
  std::lock_guard<std::mutex> lock(_mutex);
  const fs::path folder = fs::path(_location) / local_time_folder_name();
  if (fs::exists(folder)) throw jsonrpc::Exception(jsonrpc::kInternalError, "Failed generate a unique folder name");
  fs::create_directories(folder.parent_path());
  // Someone else may have made it since the check.
  if (!fs::create_directory(folder))
    throw jsonrpc::Exception(jsonrpc::kInternalError, "Failed generate a unique folder name");

  try {
    boost::uuids::random_generator generate;
    std::string id;
    do {
      id = boost::uuids::to_string(generate());
    } while (_footages.count(id) != 0);

    Footage footage(folder.string(), id, _settings["/"]);
    if (!footage.saved()) throw jsonrpc::Exception(jsonrpc::kInternalError, "Failed write footage info file");
    _footages.emplace(id, footage);
    result = {{"footage_id", id}, {"footage_name", footage.name()}, {"footage_path", folder.string()}};
  } catch (...) {
    // No half-made footage is left behind.
    std::error_code ec;
    fs::remove_all(folder, ec);
    throw;
  }
}

Footage& Reelhouse::checkout_footage(const json& params) {
  ROS_INFO("checking footage");
  if (!params.is_object() || !params.contains("footage_id"))
    throw jsonrpc::Exception(jsonrpc::kInvalidParams, "Footage ID must be provided");
  const auto it = _footages.find(params["footage_id"].get<std::string>());
  if (it == _footages.end()) throw jsonrpc::Exception(jsonrpc::kInvalidParams, "Unkown footage ID");
  return it->second;
}

void Reelhouse::remove_footage(const json& params, json& result) {
  ROS_INFO("Delete footage");
  std::lock_guard<std::mutex> lock(_mutex);
  const Footage& footage = checkout_footage(params);
  const fs::path folder(footage.path());

  std::error_code ec;
  const auto status = fs::symlink_status(folder, ec);
  if (status.type() != fs::file_type::not_found) {
    // Only a real folder directly inside the location is deleted; a link
    // (or anything else) is never followed out of it.
    const fs::path name = folder.filename();
    const bool inside = !name.empty() && name != "." && name != ".." &&
                        (fs::path(_location) / name).lexically_normal() == folder.lexically_normal();
    if (!inside || status.type() != fs::file_type::directory) {
      ROS_ERROR_STREAM("Not deleting " << folder.string() << ": not a folder directly inside " << _location);
      throw jsonrpc::Exception(jsonrpc::kInternalError, "Failed delete file system folder");
    }
    fs::remove_all(folder, ec);
    if (ec) {
      ROS_ERROR_STREAM("Failed deleting " << folder.string() << ": " << ec.message());
      throw jsonrpc::Exception(jsonrpc::kInternalError, "Failed delete file system folder");
    }
  }
  _footages.erase(footage.id());
  result = true;
}

void Reelhouse::set_footage_info(const json& params, json& result) {
  ROS_INFO("Set footage info");
  std::lock_guard<std::mutex> lock(_mutex);
  Footage& footage = checkout_footage(params);

  // Every value is checked before anything changes.
  std::optional<std::string> name;
  if (params.contains("footage_name")) name = params["footage_name"].get<std::string>();
  if (params.contains("metadata")) {
    json trial = footage.metadata();
    if (trial.is_null()) trial = json::object();
    trial.update(params["metadata"]);
  }

  if (name) footage.set_name(*name);
  if (params.contains("field_corners")) footage.set_field_corners(params["field_corners"]);
  if (params.contains("metadata")) footage.set_metadata(params["metadata"]);
  result = true;
}

void Reelhouse::get_footage_info(const json& params, json& result) {
  ROS_INFO("Get footage info");
  std::lock_guard<std::mutex> lock(_mutex);
  const Footage& footage = checkout_footage(params);
  result = {{"footage_id", footage.id()},
            {"footage_path", footage.path()},
            {"footage_name", footage.name()},
            {"metadata", footage.metadata()},
            {"field_corners", footage.field_corners()}};
}

void Reelhouse::footage_status(const json&, json& result) {
  ROS_INFO("Check footage status");
  result = json::object();
  std::lock_guard<std::mutex> lock(_mutex);
  try {
    _update_footage_list();
    for (const auto& [id, entry] : _footages) {
      const Footage footage = entry;
      json files = json::array();
      for (const auto& file : footage.files())
        files.push_back({{"file_path", file.file_path},
                         {"file_id", file.file_id},
                         {"content_type", file.content_type},
                         {"metadata", json(file.metadata)}});
      result[id] = {{"footage_id", id},
                    {"footage_path", footage.path()},
                    {"footage_name", footage.name()},
                    {"duration", footage.duration()},
                    {"size_kb", footage.size_kb()},
                    {"files", std::move(files)}};
    }
    ROS_INFO_STREAM(to_text(result));
  } catch (const json::exception& e) {
    ROS_ERROR_STREAM("JSON exception in checking footage status: " << e.what());
    throw jsonrpc::Exception(jsonrpc::kInternalError, "JSON exception");
  }
}

void Reelhouse::_update_footage_list() {
  for (auto it = _footages.begin(); it != _footages.end();) {
    std::error_code ec;
    if (!fs::exists(it->second.path(), ec)) {
      ROS_WARN_STREAM("Folder is removed: " << it->second.path());
      it = _footages.erase(it);
    } else {
      ++it;
    }
  }

  ROS_INFO_STREAM("Update footage in location: " << _location);
  const json config = _settings["/"];
  for (const auto& entry : fs::directory_iterator(_location)) {
    std::error_code ec;
    if (!entry.is_directory(ec)) continue;
    const Footage footage(entry.path().string(), config);
    if (!footage.id().empty() && _footages.count(footage.id()) == 0) _footages.emplace(footage.id(), footage);
  }
}

// ---------------------------------------------------------------- status thread

void Reelhouse::update_thread_func() {
  ROS_INFO("status update thread in");
  double rate = 1.0;
  try {
    LoadParam(_pnh, "status_update_rate", rate, false);
  } catch (const std::exception& e) {
    ROS_ERROR_STREAM("Exception: " << e.what());
  }
  if (!(rate > 0.0)) rate = 1.0;
  const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(1.0 / rate));

  auto next = std::chrono::steady_clock::now();
  while (_nh.ok()) {
    // Nothing that goes wrong in one period may end the thread.
    try {
      if (_status_pub.getNumSubscribers() > 0) {
        json status = json::array();
        for (const auto& method : _status_methods) {
          const json request = {{"jsonrpc", "2.0"}, {"method", method}};
          json response;
          handle_json_request(request, response);
          if (response.contains("result"))
            status.push_back({{"jsonrpc", "2.0"}, {"method", method}, {"params", response["result"]}});
        }
        std_msgs::String message;
        message.data = to_text(status);
        ROS_INFO_STREAM("update status message: " << message.data);
        _status_pub.publish(message);
      }
    } catch (const std::exception& e) {
      ROS_ERROR_STREAM("Exception in status update: " << e.what());
    } catch (...) {
      ROS_ERROR("Unknown exception in status update");
    }

    next += period;
    const auto now = std::chrono::steady_clock::now();
    if (next < now) next = now;  // no burst to catch up after a slow period
    std::unique_lock<std::mutex> lock(_stop_mutex);
    if (_stop_cv.wait_until(lock, next, [this] { return _stop; })) break;
  }
  std::cout << "status update thread out" << std::endl;
}
