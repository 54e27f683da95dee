// The VM, scripts and the log in the test programs that host the module in their own process.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <jni.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "service/core/log.h"
#include "service/core/users.h"
#include "service/script/script.h"
#include "tests/vm_server.h"

namespace qjapi_test {

// This thread's environment in the VM of a module that started; null (and a line saying so)
// when it did not. With detached given, a thread the start-up left detached is attached again
// and *detached set.
inline JNIEnv* StartedEnv(const std::optional<StartedServer>& server, bool* detached = nullptr) {
  using GetCreatedVMs = jint (*)(JavaVM**, jsize, jsize*);
  auto getCreatedVMs = reinterpret_cast<GetCreatedVMs>(dlsym(RTLD_DEFAULT, "JNI_GetCreatedJavaVMs"));
  JavaVM* vm = nullptr;
  jsize count = 0;
  void* env = nullptr;
  if (server && server->loaded && server->entryResult == 1 && getCreatedVMs != nullptr &&
      getCreatedVMs(&vm, 1, &count) == JNI_OK && count == 1 && vm->GetEnv(&env, JNI_VERSION_1_2) != JNI_OK &&
      detached != nullptr) {
    *detached = true;
    vm->AttachCurrentThread(&env, nullptr);
  }
  if (env == nullptr) std::fprintf(stderr, "The module did not start; nothing can be tested.\n");
  return static_cast<JNIEnv*>(env);
}

// Ends a test program whose VM is never destroyed: its threads run on, and a normal exit would
// tear down the statics they read (the VM's signal checks then report "handler modified").
[[noreturn]] inline void EndTests(int result, const std::filesystem::path& root) {
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(result);
}

// The output of a script that must run; a failure is reported and its error returned, marked.
inline std::string Output(const std::string& source, const quill_service::RunInputs& inputs = {}) {
  const quill_service::ScriptRun run = quill_service::RunScriptText(source, "case.q", inputs);
  EXPECT_TRUE(run.ok) << source << "\n" << run.error;
  return run.ok ? run.output : "FAILED: " + run.error;
}

// The output of a script run as user ("": the anonymous user).
inline std::string OutputAs(const std::string& user, const std::string& source) {
  quill_service::RunInputs inputs;
  inputs.user = user;
  return Output(source, inputs);
}

// Users made for one case (each an administrator or not) and removed, with their rights, when it ends.
class CaseUsers {
 public:
  explicit CaseUsers(std::vector<std::pair<std::string, bool>> users) : users_(std::move(users)) {
    for (const auto& [name, admin] : users_) EXPECT_EQ(quill_service::SetUser(name, "pw", admin), 0) << name;
  }
  ~CaseUsers() {
    for (const auto& user : users_) quill_service::RemoveUser(user.first);
  }

 private:
  std::vector<std::pair<std::string, bool>> users_;
};

// Whether the log (by default all of it the host keeps now) holds the line text at level.
inline bool Logged(int level, const std::string& text,
                   const std::vector<quill_service::LogLine>& lines = quill_service::LogSnapshot()) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const auto& line) { return line.level == level && line.text == text; });
}

// How many of threads x runs scripts, run at the same time, did not print what they should;
// make(t, i) gives the script of run i of thread t and what it must print.
inline int WrongOfConcurrentRuns(int threads, int runs,
                                 const std::function<std::pair<std::string, std::string>(int, int)>& make) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> started;
  for (int t = 0; t < threads; ++t) {
    started.emplace_back([&, t] {
      for (int i = 0; i < runs; ++i) {
        const auto [script, expected] = make(t, i);
        const quill_service::ScriptRun run = quill_service::RunScriptText(script, "case.q", {});
        if (!run.ok || run.output != expected) ++wrong;
      }
    });
  }
  for (auto& thread : started) thread.join();
  return wrong.load();
}

// A frame of local references, popped with everything made in it.
class LocalFrame {
 public:
  explicit LocalFrame(JNIEnv* env) : env_(env) { env_->PushLocalFrame(64); }
  ~LocalFrame() { env_->PopLocalFrame(nullptr); }

 private:
  JNIEnv* env_;
};

}  // namespace qjapi_test
