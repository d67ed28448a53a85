#include "footage.h"

#include <ros/console.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "camera/jsoncfg.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Only a regular file counts; reading anything else (a folder in the info
// file's place, for one) must not throw out of the folder scan.
bool read_text_file(const std::string& path, std::string& text) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return false;
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

Footage::Footage(const std::string& path, const json& config) : _config(config), _path(path) {
  _load_footage_info();
  ROS_INFO_STREAM("Footage: " << _id << ": " << _path);
}

Footage::Footage(const std::string& path, const std::string& id, const json& config)
    : _config(config), _id(id), _path(path), _complete(true) {
  _save_footage_info();
  ROS_INFO_STREAM("Footage: " << _id << ": " << _path);
}

Footage::~Footage() {
  // Records of a partly read or foreign info file never replace it, and a
  // folder that is gone (removed by a client or by hand) is not recreated.
  if (!_complete || _path.empty()) return;
  std::error_code ec;
  if (!fs::is_directory(_path, ec)) return;
  try {
    _save_footage_info();
  } catch (const std::exception& e) {
    ROS_ERROR_STREAM("Failed saving footage info of " << _path << ": " << e.what());
  }
}

std::string Footage::name() const {
  if (!_name.empty()) return _name;
  return fs::path(_path).filename().string();
}

void Footage::_warn_if_incomplete() const {
  if (!_complete)
    ROS_WARN_STREAM("Footage info file was not read completely, keeping it unchanged; the change stays in memory: "
                    << _path);
}

bool Footage::set_name(const std::string& name) {
  _name = name;
  _warn_if_incomplete();
  return true;
}

bool Footage::set_metadata(const json& metadata) {
  // Merge on a copy: a refused value leaves the record as it was.
  json merged = _metadata;
  if (merged.is_null()) merged = json::object();
  merged.update(metadata);
  _metadata = std::move(merged);
  _warn_if_incomplete();
  return true;
}

bool Footage::set_field_corners(const json& corners) {
  _field_corners = corners;
  _warn_if_incomplete();
  return true;
}

std::string Footage::_info_file_path() const {
  const std::string& name = _config.at("info_file").get_ref<const std::string&>();
  // Configuration data, but it must never point out of the footage folder.
  const fs::path relative(name);
  bool unsafe = name.empty() || relative.is_absolute();
  for (const auto& part : relative)
    if (part == "..") unsafe = true;
  if (unsafe) throw json::other_error::create(501, "info_file is not a file name inside the footage folder: " + name,
                                              static_cast<const json*>(nullptr));
  return (fs::path(_path) / relative).string();
}

bool Footage::_save_footage_info() {
  const std::string file = _info_file_path();
  std::string text;
  try {
    const json info = {{"id", _id}, {"name", _name}, {"metadata", _metadata}, {"field_corners", _field_corners}};
    text = info.dump() + "\n";
  } catch (const json::exception& e) {
    ROS_ERROR_STREAM("Failed building footage info of " << _path << ": " << e.what());
    _saved = false;
    return false;
  }
  // An unchanged record leaves its file alone: records are written back often.
  std::string current;
  if (read_text_file(file, current) && current == text) return _saved = true;
  std::string error;
  _saved = jsoncfg::WriteFileAtomic(file, text, &error);
  if (!_saved) ROS_ERROR_STREAM("Failed writing footage info file: " << error);
  return _saved;
}

bool Footage::_load_footage_info() {
  const std::string file = _info_file_path();
  _complete = false;
  std::string text;
  if (!read_text_file(file, text)) return false;
  try {
    const json info = json::parse(text, nullptr, true, false);
    _id = info.at("id").get<std::string>();
    _name = info.at("name").get<std::string>();
    const auto metadata = info.find("metadata");
    _metadata = metadata != info.end() ? *metadata : json();
    const auto corners = info.find("field_corners");
    _field_corners = corners != info.end() ? *corners : json();
  } catch (const json::exception&) {
    return false;
  }
  _complete = true;
  return true;
}

std::vector<std::string> Footage::_video_files() const {
  std::vector<std::string> videos;
  std::error_code ec;
  for (fs::directory_iterator it(_path, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code type_ec;
    if (!it->is_regular_file(type_ec)) continue;
    const std::string extension = it->path().extension().string();
    if (extension == ".mp4" || extension == ".mkv") videos.push_back(it->path().string());
  }
  return videos;
}

int64_t Footage::size_kb() const {
  double total = 0.0;
  for (const auto& video : _video_files()) {
    std::printf("file path: %s", video.c_str());
    std::error_code ec;
    const auto bytes = fs::file_size(video, ec);
    if (!ec) total += static_cast<double>(bytes) / 1000.0;
  }
  return static_cast<int64_t>(total);
}

std::vector<Footage::FileInfo> Footage::files() const {
  std::vector<FileInfo> result;
  const std::string info_file = _info_file_path();
  result.push_back({info_file, _id + "/" + fs::path(info_file).filename().string(), "json", {}});
  for (const auto& video : _video_files())
    result.push_back({video, _id + "/" + fs::path(video).filename().string(), "mp4", {}});
  return result;
}
