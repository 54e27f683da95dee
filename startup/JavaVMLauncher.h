// Finds the installed Java runtime, loads its VM library and creates the process's Java VM.
#pragma once

#include <string>

#include <jni.h>

#include <vector>

#include "host/os.h"

class JavaVMLauncher {
 public:
  using CreateJavaVMFunc = jint (*)(JavaVM**, void**, void*);

  // BuildOptions, LoadRuntime and CreateVM in order; false (with the reason logged) when one fails.
  bool Start();

  void BuildOptions();
  void LoadRuntime();
  void CreateVM();

  // The server's module folder ("<current dir>QuillModules/", or with "../../" before it).
  static void ModulesFolderPath(CharBuffer& out, bool upTwo);
  // Appends every archive of folder to classPath, each followed by the path-list separator; outside
  // the root, an archive others could replace is left out and logged.
  static void AppendArchives(CharBuffer& classPath, const char* folder, bool outsideRoot = false);

  JNIEnv* env = nullptr;
  JavaVM* vm = nullptr;
  void* runtimeLibrary = nullptr;
  CreateJavaVMFunc createJavaVM = nullptr;
  std::vector<CharBuffer> options;
  CharBuffer runtimeLibPath;
};

extern JavaVMLauncher gLauncher;

// Whether a module folder outside the server root ("../../QuillModules/" and its siblings) may
// be used: it is missing, or it belongs to the server's user or root, others cannot write to it,
// and no folder above it (other than a sticky one such as /tmp) lets others rename it away. An
// existing folder that fails is logged with the reason.
bool TrustedOutsideRoot(const char* folder);

// One preference of global_prefs, by the query that selects it; a failed query or no row reads
// as empty.
CharBuffer ReadPreference(const char* sql);

// The module's own switches (beyond those of start-up): the row of global_prefs named key, else
// the host's default for this process (temp.preference_defaults, which a host may offer), else
// empty. A stored row wins even when it is NULL.
CharBuffer ReadSwitchPreference(const std::string& key);
// Whether that switch is on: "yes", "on", "true" (any case) or "1".
bool SwitchPreferenceOn(const std::string& key);
