// Reading node parameters with a logged default.
#pragma once

#include <ros/ros.h>
#include <xmlrpcpp/XmlRpcException.h>

#include <string>

template <typename T>
bool LoadParam(const ros::NodeHandle& nh, const std::string& name, T& value, bool required) {
  try {
    if (nh.getParam(name, value)) {
      ROS_INFO_STREAM("Parameter is loaded: " << name << " = " << value);
      return true;
    }
  } catch (const XmlRpc::XmlRpcException& e) {
    throw ros::Exception("XmlRpcException: " + e.getMessage());
  }
  if (required) throw ros::Exception("Failed loading parameter: " + name);
  ROS_WARN_STREAM("Failed loading parameter, using defalut: " << name << " = " << value);
  return false;
}
