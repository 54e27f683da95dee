#include "service/core/stack.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <system_error>

namespace quill_service {

namespace {

constexpr size_t kReserveBytes = size_t{256} << 10;
constexpr size_t kFirstThreadStackBytes = size_t{1} << 20;

void* ThreadMain(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  (*body)();
  return nullptr;
}

bool IsFirstThread() {
  thread_local const bool first = gettid() == getpid();
  return first;
}

// A Java VM created on the process's first thread leaves it only the VM's default thread stack.
bool JavaVmLoaded() {
  void* jvm = dlopen("libjvm.so", RTLD_LAZY | RTLD_NOLOAD);
  if (jvm == nullptr) return false;
  dlclose(jvm);
  return true;
}

uintptr_t FindFloor(bool vmLoaded) {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
  void* low = nullptr;
  size_t size = 0;
  const int got = pthread_attr_getstack(&attr, &low, &size);
  pthread_attr_destroy(&attr);
  if (got != 0 || low == nullptr) return 0;
  const uintptr_t top = reinterpret_cast<uintptr_t>(low) + size;
  if (vmLoaded) size = std::min(size, kFirstThreadStackBytes);
  return top - size + std::min(kReserveBytes, size / 2);
}

}  // namespace

SizedThread::SizedThread(size_t stackBytes, std::function<void()> body) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  int error = pthread_attr_setstacksize(&attr, stackBytes);
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  if (error == 0) error = pthread_create(&thread_, &attr, ThreadMain, owned.get());
  pthread_attr_destroy(&attr);
  if (error != 0) throw std::system_error(error, std::generic_category(), "cannot start a thread");
  owned.release();  // the thread owns it now
  joinable_ = true;
}

SizedThread::SizedThread(SizedThread&& other) noexcept : thread_(other.thread_), joinable_(other.joinable_) {
  other.joinable_ = false;
}

SizedThread::~SizedThread() { Join(); }

void SizedThread::Join() {
  if (!joinable_) return;
  pthread_join(thread_, nullptr);
  joinable_ = false;
}

void RunWithStack(size_t stackBytes, const std::function<void()>& body) {
  std::exception_ptr failure;
  SizedThread thread(stackBytes, [&] {
    try {
      body();
    } catch (...) {
      failure = std::current_exception();
    }
  });
  thread.Join();
  if (failure) std::rethrow_exception(failure);
}

// The first thread's floor moves up when a VM is loaded, and a VM once loaded stays: one floor is
// kept for before and one for after. Finding it is dear there: for the first thread the C library
// reads all of /proc/self/maps, thousands of lines in a process with a VM, and every script run
// on that thread (`quill run`) asks more than once.
static uintptr_t FirstThreadFloor() {
  static std::atomic<bool> vmSeen{false};
  static std::atomic<uintptr_t> floors[2] = {0, 0};  // without a VM, with one
  const bool vm = vmSeen.load(std::memory_order_relaxed) || JavaVmLoaded();
  if (vm) vmSeen.store(true, std::memory_order_relaxed);
  std::atomic<uintptr_t>& kept = floors[vm ? 1 : 0];
  uintptr_t floor = kept.load(std::memory_order_relaxed);
  if (floor == 0) {
    floor = FindFloor(vm);
    kept.store(floor, std::memory_order_relaxed);
  }
  return floor;
}

uintptr_t StackFloor() {
  if (IsFirstThread()) return FirstThreadFloor();
  thread_local const uintptr_t floor = FindFloor(false);
  return floor;
}

size_t StackLeft() {
  const uintptr_t here = StackPosition();
  const uintptr_t floor = StackFloor();
  return here > floor ? here - floor : 0;
}

}  // namespace quill_service
