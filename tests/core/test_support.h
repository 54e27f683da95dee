// Temporary folders, a guard that restores the current directory, and the internal database's rows.
#pragma once


#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "host/storage.h"
#include "service/core/log.h"
#include "tests/cleanup_on_exit.h"

// Whether a line of the in-memory log holds text.
inline bool Logged(const std::string& text) {
  for (const auto& line : quill_service::LogSnapshot()) {
    if (line.text.find(text) != std::string::npos) return true;
  }
  return false;
}

// Every row of a query on the internal database as "a,b;c,NULL"; a failing query gives "error"
// and whatever rows it left.
inline std::string Table(const std::string& sql) {
  StorageManager::Rows rows;
  std::string text = StorageManager::Execute("quill_internal", sql.c_str(), &rows, nullptr) == 0 ? "" : "error";
  for (size_t r = 0; r < rows.size(); ++r) {
    for (size_t c = 0; c < rows[r].size(); ++c) {
      text += (c > 0 ? "," : r > 0 ? ";" : "") + (rows[r][c] ? rows[r][c]->str() : std::string("NULL"));
    }
  }
  StorageManager::KillRows(&rows);
  return text;
}

// Removed when it goes, and however the test program ends.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quill-core-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
    qjapi_test::CleanupOnExit::Remove(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  void Write(const std::string& name, const std::string& content) const {
    std::filesystem::create_directories(std::filesystem::path(*this / name).parent_path());
    std::ofstream(*this / name, std::ios::binary) << content;
  }

 private:
  std::string path_;
};

class CwdGuard {
 public:
  CwdGuard() : saved_(std::filesystem::current_path()) {}
  ~CwdGuard() { std::filesystem::current_path(saved_); }
  CwdGuard(const CwdGuard&) = delete;
  CwdGuard& operator=(const CwdGuard&) = delete;

 private:
  std::filesystem::path saved_;
};

// Sets an environment variable (unsets it, for nullptr) for the life of the object.
class EnvGuard {
 public:
  EnvGuard(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    Set(name_, value);
  }
  ~EnvGuard() { Set(name_, old_ ? old_->c_str() : nullptr); }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  static void Set(const std::string& name, const char* value) {
    value != nullptr ? setenv(name.c_str(), value, 1) : unsetenv(name.c_str());
  }
  std::string name_;
  std::optional<std::string> old_;
};
