// How a host thread reaches the Java VM.
#pragma once

#include <jni.h>

#include <atomic>

#include "host/request.h"

// How long a worker thread that an attach guard attached stays attached. Ordered: each scope
// outlives the one before it.
enum class AttachScope : int {
  kCall = 0,     // until the guard ends (the default)
  kRequest = 1,  // until the request the guard ran for ends (a DetachThread the request owns)
  kThread = 2,   // until the thread ends (the host's worker pool, or the thread's own exit)
};

// The scope the preference java_attach_scope chose; written at start-up, before any worker runs.
extern std::atomic<AttachScope> gAttachScope;

// Reads java_attach_scope ("call", "request" or "thread", any case; missing or empty: call; the
// host's default for the process where the root stores no row) into
// gAttachScope and registers the thread-end detach with the host. An unknown value is logged and
// leaves the call scope.
void ConfigureAttachScope();

// The one attach step every caller that reaches Java from a host thread uses. It obtains the
// thread's JNIEnv, attaching the thread only if the VM does not know it, and when it attached
// it keeps the thread attached for the configured scope, or for `least` when that is longer:
// - call: the guard detaches when it ends;
// - request: the guard hands the detach to the request (the one given, else the thread's current
//   request) as a DetachThread when it ends; with no request it detaches like a call;
// - thread: the thread stays attached until it ends.
// A thread it did not attach (the start-up thread, a Java-created thread, a thread attached for
// its request or for good) is never detached by it.
class JniAttachment {
 public:
  explicit JniAttachment(Request* request = nullptr, AttachScope least = AttachScope::kCall);
  ~JniAttachment();
  JniAttachment(const JniAttachment&) = delete;
  JniAttachment& operator=(const JniAttachment&) = delete;

  JNIEnv* env() const { return env_; }
  bool attachedHere() const { return attachedHere_; }
  explicit operator bool() const { return env_ != nullptr; }
  AttachScope scope() const { return scope_; }

  // Request scope from here on (unless the scope is already longer): the detach goes to request
  // when the guard ends. Member-tag calls use it.
  void DeferDetachTo(Request* request);

 private:
  JNIEnv* env_ = nullptr;
  bool attachedHere_ = false;
  AttachScope scope_ = AttachScope::kCall;
  Request* request_ = nullptr;
};

// Owned by a request; detaches the request's thread when the request ends.
class DetachThread : public PrivateVar {
 public:
  DetachThread() = default;
  ~DetachThread() override;
};

inline constexpr const char* kDetachThreadVarName = "QJAPI Detach Thread";

// Detaches the calling thread if an attach guard attached it for good (thread scope); anything
// else is left alone. The host's worker pool runs it as each worker ends.
void DetachThreadScope();
