// How a host thread reaches the Java VM.
#pragma once

#include <jni.h>

#include "host/request.h"

// Call scope: obtains the thread's JNIEnv, attaching the thread only if the VM does not know it,
// and detaches on destruction exactly when this object attached. A thread it did not attach
// (the start-up thread, a Java-created thread, a thread attached for its request) is left alone.
class JniAttachment {
 public:
  JniAttachment();
  ~JniAttachment();
  JniAttachment(const JniAttachment&) = delete;
  JniAttachment& operator=(const JniAttachment&) = delete;

  JNIEnv* env() const { return env_; }
  bool attachedHere() const { return attachedHere_; }
  explicit operator bool() const { return env_ != nullptr; }

  // Request scope: keeps the thread attached and hands the detach to the request, which runs it
  // when the request ends, on its own thread.
  void DeferDetachTo(Request* request);

 private:
  JNIEnv* env_ = nullptr;
  bool attachedHere_ = false;
};

// Owned by a request; detaches the request's thread when the request ends.
class DetachThread : public PrivateVar {
 public:
  DetachThread() = default;
  ~DetachThread() override;
};

inline constexpr const char* kDetachThreadVarName = "QJAPI Detach Thread";
