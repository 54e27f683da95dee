// The host's life cycle: the server root, the internal database, modules and worker threads.
#pragma once

#include <memory>
#include <string>

#include "host/storage.h"
#include "service/core/worker_pool.h"

namespace quill_service {

struct HostOptions {
  std::string root;  // the server root; relative paths are taken from the current directory
  int threads = 4;   // worker threads that serve requests
  // A postgresql:// URL: the internal database on that PostgreSQL server instead of the root's
  // quill_internal.db. Empty: the file.
  std::string internalDatabase;
};

class QUILL_API Host {
 public:
  // Makes the root the current directory and attaches <root>/quill_internal.db as
  // "quill_internal" (created, with global_prefs, when missing; a database that cannot be
  // opened is logged and the host starts anyway). Throws osException when the root is not a
  // folder. A second call moves the host to the new root.
  static Host& Start(const HostOptions& options);
  // The started host, or null.
  static Host* Instance();

  // Loads a module library and calls its RegisterQuillTags on this thread, inside a start-up
  // request. False (and a logged reason) when the library or its entry cannot be loaded or the
  // entry throws; entryResult, when given, receives what the entry returned.
  bool LoadModule(const std::string& path, int* entryResult);

  const std::string& Root() const { return root_; }  // absolute, ending with '/'
  // The current directory before the host entered its root, ending with '/': paths given on
  // the command line are taken from it.
  const std::string& LaunchDirectory() const { return launchDirectory_; }
  const HostOptions& Options() const { return options_; }
  WorkerPool& Workers() { return *workers_; }

  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

 private:
  Host() = default;
  void Configure(const HostOptions& options);

  HostOptions options_;
  std::string root_;
  std::string launchDirectory_;
  std::unique_ptr<WorkerPool> workers_;
};

}  // namespace quill_service
