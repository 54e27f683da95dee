#include "service/core/host.h"

#include <dlfcn.h>
#include <unistd.h>

#include <exception>
#include <filesystem>

#include "service/core/current_request.h"
#include "service/core/internal_db.h"

namespace quill_service {
namespace {

using RegisterQuillTagsFunc = int (*)(TagRegistry*);

// Never destroyed: an exit() from another thread (a VM ending the process) must not wait in the
// worker pool's destructor for jobs that may themselves be stuck in that exit.
std::unique_ptr<Host>& TheHost() {
  static auto* host = new std::unique_ptr<Host>;
  return *host;
}


}  // namespace

Host& Host::Start(const HostOptions& options) {
  std::unique_ptr<Host>& host = TheHost();
  if (!host) host.reset(new Host);
  host->Configure(options);
  return *host;
}

Host* Host::Instance() { return TheHost().get(); }

Host::~Host() = default;

void Host::Configure(const HostOptions& options) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path root = fs::canonical(options.root.empty() ? "." : options.root, ec);
  if (ec || !fs::is_directory(root, ec)) {
    const std::string message = "The server root is not a folder: " + options.root;
    throw osException(message.c_str(), QUILL_ERR_NOT_FOUND);
  }
  if (launchDirectory_.empty()) {
    launchDirectory_ = fs::current_path(ec).string();
    if (launchDirectory_.empty() || launchDirectory_.back() != '/') launchDirectory_ += '/';
  }
  if (chdir(root.c_str()) != 0) {
    const std::string message = "Cannot enter the server root: " + root.string();
    throw osException(message.c_str(), QUILL_ERR_GENERIC);
  }
  root_ = root.string();
  if (root_.back() != '/') root_ += '/';

  std::string error;
  const std::string location =
      options.internalDatabase.empty() ? root_ + kInternalDatabaseFile : options.internalDatabase;
  if (OpenInternalDatabase(location, &error) != QUILL_OK) {
    quill_log(1, "The internal database %s cannot be used: %s",
              options.internalDatabase.empty() ? location.c_str() : InternalDatabaseFile().c_str(), error.c_str());
  }
  if (!workers_ || options.threads != options_.threads) {
    workers_.reset();  // finishes the old pool's jobs first
    workers_ = std::make_unique<WorkerPool>(options.threads);
  }
  options_ = options;
  options_.root = root_;
}

bool Host::LoadModule(const std::string& path, int* entryResult) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (library == nullptr) {
    quill_log(1, "Cannot load the module %s: %s", path.c_str(), dlerror());
    return false;
  }
  auto entry = reinterpret_cast<RegisterQuillTagsFunc>(dlsym(library, "RegisterQuillTags"));
  if (entry == nullptr) {
    quill_log(1, "The module %s has no RegisterQuillTags entry", path.c_str());
    return false;
  }
  try {
    Request startup;
    CurrentRequestScope scope(&startup);
    TagRegistry registry(&startup, startup.GetTagTable());
    const int result = entry(&registry);
    if (entryResult != nullptr) *entryResult = result;
  } catch (const std::exception& e) {
    quill_log(1, "The module %s failed to start: %s", path.c_str(), e.what());
    return false;
  } catch (...) {
    quill_log(1, "The module %s failed to start", path.c_str());
    return false;
  }
  // Modules stay loaded for the life of the process.
  return true;
}

}  // namespace quill_service
