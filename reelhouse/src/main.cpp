#include <ros/ros.h>
#include <signal.h>

#include <iostream>
#include <memory>

#include "reelhouse.h"

namespace {

// What roscpp does on SIGINT; supervisors stop the node with SIGTERM.
void request_shutdown(int) { ros::requestShutdown(); }

}  // namespace

int main(int argc, char** argv) {
  ros::init(argc, argv, "reelhouse");
  if (ros::console::set_logger_level(ROSCONSOLE_DEFAULT_NAME, ros::console::levels::Debug))
    ros::console::notifyLoggerLevelsChanged();

  struct sigaction action {};
  action.sa_handler = request_shutdown;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);

  int exit_code = 0;
  {
    ros::NodeHandle nh;
    ros::NodeHandle pnh("~");
    std::unique_ptr<Reelhouse> node;
    try {
      node = std::make_unique<Reelhouse>(nh, pnh);
      ros::spin();
    } catch (const std::exception& e) {
      std::cerr << e.what() << std::endl;
      std::cout << "Exception init reelhouse" << std::endl;
      exit_code = 1;
    }
    node.reset();
  }
  std::cout << "Exit cleanly!" << std::flush;
  return exit_code;
}
