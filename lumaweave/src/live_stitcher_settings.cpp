#include <iostream>
#include <sstream>

#include <json/json.h>

#include "log.hpp"
#include "lumaweave/live_stitcher.hpp"

namespace lumaweave {

namespace {

void read(const Json::Value& root, const char* key, std::string& out) {
  if (root.isMember(key)) out = root[key].asString();
}
void read(const Json::Value& root, const char* key, int& out) {
  if (root.isMember(key)) out = root[key].asInt();
}
void read(const Json::Value& root, const char* key, double& out) {
  if (root.isMember(key)) out = root[key].asDouble();
}

}  // namespace

LiveStitcher::Settings::Settings(const std::string& config) {
  if (config.empty()) {
    LOGW << "No config set for stitcher!";
    LOGW << "Working with default settings!";
    return;
  }
  LOGI << "Loading config from from:";
  LOGI << config;

  Json::CharReaderBuilder builder;
  Json::Value root;
  std::string errs;
  std::istringstream in(config);
  if (!Json::parseFromStream(builder, in, &root, &errs)) Json::throwRuntimeError(errs);

  // isMember on a value that is neither an object nor null throws Json::LogicError
  // (jsoncpp's own rule for a root that is an array, a number or a string).
  read(root, "cameras_info", camera_info);
  read(root, "cameras_calib", camera_params);
  read(root, "warping_mode", warp_type);
  read(root, "expos_comp_mode", expos_comp_type);
  read(root, "expos_comp_nr_feeds", expos_comp_nr_feeds);
  read(root, "expos_comp_nr_filter", expos_comp_nr_filtering);
  read(root, "expos_comp_block_size", expos_comp_block_size);
  read(root, "expos_comp_scale", expos_comp_scale);
  read(root, "expos_comp_interval", expos_comp_interval);
  read(root, "blending_mode", blend_type);
  read(root, "num_bands", num_bands);
  read(root, "seam_find_mode", seam_type);
  read(root, "seamFindIter", seam_find_iterations);
  read(root, "seamFindTermCost", seam_find_terminal_cost);
  read(root, "seamFindWindowMin", seam_find_window_min);
  read(root, "seamFindWindowMax", seam_find_window_max);
  read(root, "seamFindBadPenalty", seam_find_bad_penalty);
  read(root, "seamFindMaxBfs", seam_find_max_bfs);
  read(root, "seamFindGapWidth", seam_find_gap_width);
  read(root, "seamFindScale", seam_scale);
  read(root, "seamFindMargin", blend_margin);

  std::cout << "Loaded successfully!" << std::endl;
}

std::string LiveStitcher::Settings::to_string() const {
  std::ostringstream out;
  out << "camera_info: " << camera_info << "\n"
      << "camera_params: " << camera_params << "\n"
      << "warp_type: " << warp_type << "\n"
      << "expos_comp_type: " << expos_comp_type << "\n"
      << "expos_comp_scale: " << expos_comp_scale << "\n"
      << "expos_interval: " << expos_comp_interval << "\n"
      << "blend_type: " << blend_type << "\n"
      << "num_bands: " << num_bands << "\n"
      << "seam_type: " << seam_type << "\n"
      << "seam_scale: " << seam_scale << "\n";
  return out.str();
}

}  // namespace lumaweave
