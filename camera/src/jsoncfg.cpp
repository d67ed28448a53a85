#include "camera/jsoncfg.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <utility>

namespace jsoncfg {

namespace {

using nlohmann::json;

std::atomic<unsigned> g_temp_counter{0};

void set_error(std::string* error, const std::string& text) {
  if (error) *error = text;
}

std::string errno_text(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// Reads a configuration document; only an object root counts as a configuration.
bool read_document(const std::string& path, json& doc, std::string& error) {
  if (path.empty()) {
    error = "no file name";
    return false;
  }
  std::ifstream in(path);
  if (!in) {
    error = "cannot open " + path;
    return false;
  }
  try {
    json parsed = json::parse(in, nullptr, true, false);
    if (!parsed.is_object()) {
      error = "root of " + path + " is not an object";
      return false;
    }
    doc = std::move(parsed);
    return true;
  } catch (const json::exception& e) {
    error = path + ": " + e.what();
    return false;
  }
}

template <typename Doc>
auto& lookup(Doc& doc, const std::string& key) {
  if (key == "/") return doc;
  if (!key.empty() && key.front() == '/') return doc.at(json::json_pointer(key));
  return doc.at(key);
}

}  // namespace

bool WriteFileAtomic(const std::string& path, const std::string& text, std::string* error) {
  const auto slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.empty()) {
    set_error(error, "no file name in " + path);
    return false;
  }
  const std::string temp = (slash == std::string::npos ? std::string() : dir) + "." + base + ".tmp." +
                           std::to_string(::getpid()) + "." + std::to_string(g_temp_counter++);

  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    set_error(error, errno_text("cannot create", temp));
    return false;
  }
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      set_error(error, errno_text("cannot write", temp));
      ::close(fd);
      ::unlink(temp.c_str());
      return false;
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) {
    set_error(error, errno_text("cannot flush", temp));
    ::close(fd);
    ::unlink(temp.c_str());
    return false;
  }
  if (::close(fd) != 0) {
    set_error(error, errno_text("cannot close", temp));
    ::unlink(temp.c_str());
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    set_error(error, errno_text("cannot rename to", path));
    ::unlink(temp.c_str());
    return false;
  }
  // Make the rename itself durable; a failure here does not undo the write.
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

bool Settings::load(const std::string& file, const std::string& backup_file) {
  _file = file;
  _backup_file = backup_file;
  std::string file_error;
  json doc;
  if (read_document(file, doc, file_error)) {
    _doc = std::move(doc);
    _loaded_from = file;
    return true;
  }
  std::string backup_error;
  if (read_document(backup_file, doc, backup_error)) {
    _doc = std::move(doc);
    _loaded_from = backup_file;
    return true;
  }
  _last_error = file_error + "; backup: " + backup_error;
  return false;
}

nlohmann::json& Settings::operator[](const std::string& key) { return lookup(_doc, key); }

const nlohmann::json& Settings::operator[](const std::string& key) const { return lookup(_doc, key); }

bool Settings::_write(const std::string& path) {
  if (path.empty()) {
    _last_error = "no configuration file to write";
    return false;
  }
  return WriteFileAtomic(path, _doc.dump() + "\n", &_last_error);
}

bool Settings::auto_save(const std::string& name) { return _write(name.empty() ? _file : name); }

bool Settings::save(const std::string& key) {
  try {
    (void)lookup(_doc, key);
  } catch (const json::exception& e) {
    _last_error = e.what();
    return false;
  }
  return _write(_file);
}

bool Settings::reset(const std::string& key) {
  json backup;
  if (!read_document(_backup_file, backup, _last_error)) return false;
  try {
    const json& value = lookup(std::as_const(backup), key);
    // Assemble the result on a copy so that a failure leaves the store as it was.
    json doc = _doc;
    if (key == "/")
      doc = value;
    else if (!key.empty() && key.front() == '/')
      doc[json::json_pointer(key)] = value;
    else
      doc[key] = value;
    _doc = std::move(doc);
  } catch (const json::exception& e) {
    _last_error = e.what();
    return false;
  }
  // Without a configuration file the reset lives in memory only.
  return _file.empty() || _write(_file);
}

}  // namespace jsoncfg
