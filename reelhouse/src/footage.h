// In-memory record of one footage folder and its info file.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

class Footage {
 public:
  struct FileInfo {
    std::string file_path;
    std::string file_id;
    std::string content_type;
    std::map<std::string, std::string> metadata;
  };

  Footage() = default;
  // Record of an existing folder; reads its info file.
  Footage(const std::string& path, const nlohmann::json& config);
  // Record of a new folder; writes its info file (see saved()).
  Footage(const std::string& path, const std::string& id, const nlohmann::json& config);
  Footage(const Footage&) = default;
  Footage& operator=(const Footage&) = default;
  // Writes the info file back, unless it was not read completely.
  ~Footage();

  std::string id() const { return _id; }
  std::string path() const { return _path; }
  std::string name() const;
  nlohmann::json metadata() const { return _metadata; }
  nlohmann::json field_corners() const { return _field_corners; }

  bool set_name(const std::string& name);
  bool set_metadata(const nlohmann::json& metadata);
  bool set_field_corners(const nlohmann::json& corners);

  int64_t duration() const { return 0; }
  int64_t size_kb() const;
  std::vector<FileInfo> files() const;

  // Whether the last write of the info file succeeded.
  bool saved() const { return _saved; }
  // Whether the info file was read completely or created by this node; only
  // then may the record replace it.
  bool complete() const { return _complete; }

  std::vector<std::string> _video_files() const;
  bool _save_footage_info();
  bool _load_footage_info();

 private:
  std::string _info_file_path() const;
  void _warn_if_incomplete() const;

  nlohmann::json _config;
  std::string _id;
  std::string _path;
  std::string _name;
  nlohmann::json _metadata;
  nlohmann::json _field_corners;
  bool _complete = false;
  bool _saved = false;
};
