// The footage service node: JSON-RPC over the "rpc" service, status on "status".
#pragma once

#include <ros/ros.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "camera/JsonService.h"
#include "camera/jsoncfg.h"
#include "footage.h"

class Reelhouse {
 public:
  using Handler = void (Reelhouse::*)(const nlohmann::json& params, nlohmann::json& result);

  Reelhouse(const ros::NodeHandle& nh, const ros::NodeHandle& pnh);
  ~Reelhouse();
  Reelhouse(const Reelhouse&) = delete;
  Reelhouse& operator=(const Reelhouse&) = delete;

  // The request path, also used by the status thread.
  bool rpc_service_callback(camera::JsonService::Request& request, camera::JsonService::Response& response);
  void handle_json_request(const nlohmann::json& request, nlohmann::json& response);

 private:
  void handle_batch_request(const nlohmann::json& request, nlohmann::json& response);
  void handle_single_request(const nlohmann::json& request, nlohmann::json& response);
  void process_request(const nlohmann::json& request, nlohmann::json& response);

  void check_config(const nlohmann::json& params, nlohmann::json& result);
  void update_config(const nlohmann::json& params, nlohmann::json& result);
  void reset_config(const nlohmann::json& params, nlohmann::json& result);
  void save_config(const nlohmann::json& params, nlohmann::json& result);
  void prepare_footage(const nlohmann::json& params, nlohmann::json& result);
  void remove_footage(const nlohmann::json& params, nlohmann::json& result);
  void set_footage_info(const nlohmann::json& params, nlohmann::json& result);
  void get_footage_info(const nlohmann::json& params, nlohmann::json& result);
  void footage_status(const nlohmann::json& params, nlohmann::json& result);

  void _update_config(const nlohmann::json& update);
  Footage& checkout_footage(const nlohmann::json& params);
  void _update_footage_list();

  void update_thread_func();
  void _stop_update_thread();

  ros::NodeHandle _nh;
  ros::NodeHandle _pnh;
  ros::ServiceServer _rpc_service;
  ros::Publisher _status_pub;
  std::vector<std::string> _status_methods;
  std::thread _update_thread;
  std::map<std::string, Handler> _methods;
  jsoncfg::Settings _settings;
  std::mutex _mutex;
  std::string _location;
  std::map<std::string, Footage> _footages;

  // Lets shutdown end the status thread's wait at once instead of after a
  // full period of a slow rate.
  std::mutex _stop_mutex;
  std::condition_variable _stop_cv;
  bool _stop = false;
};
