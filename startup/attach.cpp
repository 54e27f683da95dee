#include "startup/attach.h"

#include "startup/globals.h"

JniAttachment::JniAttachment() {
  if (gJavaVM == nullptr) return;
  void* env = nullptr;
  if (gJavaVM->GetEnv(&env, kAttachVersion) == JNI_OK && env != nullptr) {
    env_ = static_cast<JNIEnv*>(env);
    return;
  }
  env = nullptr;
  gJavaVM->AttachCurrentThread(&env, nullptr);
  env_ = static_cast<JNIEnv*>(env);
  attachedHere_ = env_ != nullptr;
}

JniAttachment::~JniAttachment() {
  if (attachedHere_) gJavaVM->DetachCurrentThread();
}

void JniAttachment::DeferDetachTo(Request* request) {
  if (!attachedHere_ || request == nullptr) return;
  request->AddPrivateVar(kDetachThreadVarName, new DetachThread);
  attachedHere_ = false;
}

DetachThread::~DetachThread() {
  // The VM's answer is of no use here: a thread that is no longer attached stays so.
  if (gJavaVM != nullptr) gJavaVM->DetachCurrentThread();
}
