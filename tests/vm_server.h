// What the test programs that start the module in their own process share: the checked-JNI switch
// and a fresh server root holding the module and the fixture jars, with the module loaded.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

#include "cleanup_on_exit.h"
#include "service/core/host.h"
#include "service/core/internal_db.h"

namespace qjapi_test {

// Set by CTest for the run under -Xcheck:jni.
inline bool CheckingJni() {
  const char* flag = std::getenv("QJAPI_CHECK_JNI");
  return flag != nullptr && std::string(flag) == "1";
}

struct StartedServer {
  std::filesystem::path root;
  bool loaded = false;
  int entryResult = 0;
};

// Copies the module and the given files into <temp>/<prefix>XXXXXX/QuillModules (removed however
// the program ends), starts the host
// there (under -Xcheck:jni when the run is checked) and loads the module. Nothing when the folder
// cannot be made. libraryPath, when given, is the java_lib_path preference (native libraries of
// the jars, such as a JDBC driver's). `others` are (folder of the root, file) pairs copied before
// the start, for JavaLibraries/ and JDBCDrivers/. vmOptions, when given, are the VM options (the
// checked run adds its own). `preferences` are (key, value) pairs stored before the module loads.
inline std::optional<StartedServer> StartServerInTempRoot(
    const char* prefix, const char* module, std::initializer_list<const char*> files,
    const char* libraryPath = nullptr, std::initializer_list<std::pair<const char*, const char*>> others = {},
    const char* vmOptions = nullptr, std::initializer_list<std::pair<const char*, const char*>> preferences = {}) {
  namespace fs = std::filesystem;
  std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) return std::nullopt;
  CleanupOnExit::Remove(pattern);
  StartedServer server;
  server.root = pattern;
  const fs::path modules = server.root / "QuillModules";
  fs::create_directories(modules);
  fs::copy_file(module, modules / fs::path(module).filename());
  for (const char* file : files) fs::copy_file(file, modules / fs::path(file).filename());
  for (const auto& [folder, file] : others) {
    fs::create_directories(server.root / folder);
    fs::copy_file(file, server.root / folder / fs::path(file).filename());
  }
  quill_service::HostOptions options;
  options.root = server.root.string();
  quill_service::Host::Start(options);
  if (libraryPath != nullptr) quill_service::SetPreference("java_lib_path", std::string(libraryPath));
  std::string vmOptionText = vmOptions != nullptr ? vmOptions : "";
  if (CheckingJni()) vmOptionText += " -Xcheck:jni -XX:+DisplayVMOutputToStderr";
  if (!vmOptionText.empty()) quill_service::SetPreference("java_vm_options", vmOptionText);
  for (const auto& [key, value] : preferences) quill_service::SetPreference(key, std::string(value));
  server.loaded = quill_service::Host::Instance()->LoadModule(
      (modules / fs::path(module).filename()).string(), &server.entryResult);
  return server;
}

}  // namespace qjapi_test
