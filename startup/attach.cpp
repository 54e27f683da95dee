#include "startup/attach.h"

#include <strings.h>

#include "startup/JavaVMLauncher.h"
#include "startup/globals.h"

std::atomic<AttachScope> gAttachScope{AttachScope::kCall};

namespace {

// True while the calling thread is attached in thread scope. Plain data, so it can be read even
// while the thread's other thread-local objects are being destroyed.
thread_local bool tAttachedForThread = false;

// Threads the host's pool does not own end without the pool's hook: the detach then runs as
// the thread's thread-local objects are destroyed.
struct ThreadEndDetach {
  ~ThreadEndDetach() { DetachThreadScope(); }
};
thread_local ThreadEndDetach tThreadEndDetach;

void KeepAttachedForThread() {
  tAttachedForThread = true;
  (void)&tThreadEndDetach;  // odr-use constructs it, registering its destructor for this thread
}

}  // namespace

void DetachThreadScope() {
  if (!tAttachedForThread) return;
  tAttachedForThread = false;
  if (gJavaVM != nullptr) gJavaVM->DetachCurrentThread();
}

void ConfigureAttachScope() {
  const CharBuffer value = ReadSwitchPreference("java_attach_scope");
  const char* text = value.c_str();
  AttachScope scope = AttachScope::kCall;
  if (strcasecmp(text, "request") == 0) {
    scope = AttachScope::kRequest;
  } else if (strcasecmp(text, "thread") == 0) {
    scope = AttachScope::kThread;
  } else if (*text != '\0' && strcasecmp(text, "call") != 0) {
    quill_log(1, "QJAPI: java_attach_scope \"%s\" is not call, request or thread; using call", text);
  }
  gAttachScope.store(scope, std::memory_order_relaxed);
  quill_onWorkerThreadEnd(&DetachThreadScope);
}

JniAttachment::JniAttachment(Request* request, AttachScope least) : request_(request) {
  if (gJavaVM == nullptr) return;
  void* env = nullptr;
  if (gJavaVM->GetEnv(&env, kAttachVersion) == JNI_OK && env != nullptr) {
    env_ = static_cast<JNIEnv*>(env);
    return;
  }
  env = nullptr;
  gJavaVM->AttachCurrentThread(&env, nullptr);
  env_ = static_cast<JNIEnv*>(env);
  if (env_ == nullptr) return;
  attachedHere_ = true;
  const AttachScope configured = gAttachScope.load(std::memory_order_relaxed);
  scope_ = configured > least ? configured : least;
  if (scope_ == AttachScope::kThread) KeepAttachedForThread();
}

JniAttachment::~JniAttachment() {
  if (!attachedHere_) return;
  switch (scope_) {
    case AttachScope::kThread:
      return;
    case AttachScope::kRequest: {
      // Handed over only now, when the guard is done with the env: a request that has already
      // finished destroys the DetachThread at once, which detaches the thread.
      Request* request = request_ != nullptr ? request_ : Request::GetCurrent();
      if (request != nullptr) {
        request->AddPrivateVar(kDetachThreadVarName, new DetachThread);
        return;
      }
      break;
    }
    case AttachScope::kCall:
      break;
  }
  gJavaVM->DetachCurrentThread();
}

void JniAttachment::DeferDetachTo(Request* request) {
  if (request != nullptr) request_ = request;
  if (scope_ < AttachScope::kRequest) scope_ = AttachScope::kRequest;
}

DetachThread::~DetachThread() {
  // The VM's answer is of no use here: a thread that is no longer attached stays so.
  if (gJavaVM != nullptr) gJavaVM->DetachCurrentThread();
}
