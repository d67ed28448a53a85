// Configuration store of the rig's nodes: one JSON document kept in memory,
// loaded from a configuration file (or its backup) and written back atomically.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace jsoncfg {

// Replaces `path` with `text` so that a reader (or a crash) sees either the old
// or the new content, never a truncated file: temporary file in the same
// folder, flush to disk, rename. Returns false (and a reason in `error`) on
// any failure; the old file is then left as it was.
bool WriteFileAtomic(const std::string& path, const std::string& text, std::string* error = nullptr);

class Settings {
 public:
  Settings() = default;

  // Reads `file`; when it is missing, unreadable, not JSON or its root is not
  // an object, reads `backup_file` instead. Writes neither.
  bool load(const std::string& file, const std::string& backup_file);

  // Node keys: "/" is the whole document, a key starting with "/" is a JSON
  // pointer ("/a/b"), any other key names a top-level member. A key that does
  // not exist throws the JSON library's out_of_range error; lookups never add
  // members to the document.
  nlohmann::json& operator[](const std::string& key);
  const nlohmann::json& operator[](const std::string& key) const;

  // Persists the whole configuration: to the configuration file when `name`
  // is empty, else to the file `name`.
  bool auto_save(const std::string& name);

  // Writes the current configuration to the configuration file; false when
  // the key does not exist or the write fails.
  bool save(const std::string& key);

  // Restores the part at `key` from the backup file and persists the result;
  // false when the backup cannot be read or lacks the key.
  bool reset(const std::string& key);

  const std::string& file() const { return _file; }
  const std::string& backup_file() const { return _backup_file; }
  // Which file the configuration came from (empty before a successful load).
  const std::string& loaded_from() const { return _loaded_from; }
  // Reason of the last failed operation.
  const std::string& last_error() const { return _last_error; }

 private:
  bool _write(const std::string& path);

  std::string _file;
  std::string _backup_file;
  std::string _loaded_from;
  std::string _last_error;
  nlohmann::json _doc;
};

}  // namespace jsoncfg
