// Threads with a stack of a chosen size, and how much stack the calling thread has left, so that
// recursive work (parsing and running scripts) can stop with an error before it overflows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include <pthread.h>

#include "host/qcapi.h"

namespace quill_service {

// The stack of the threads the host creates to parse and run scripts.
inline constexpr size_t kScriptStackBytes = size_t{16} << 20;

// A joinable thread whose stack has exactly the size asked for (the default size depends on the
// process's limits and on who created the thread). The destructor joins.
class QUILL_API SizedThread {
 public:
  // Throws std::system_error when the thread cannot be created.
  SizedThread(size_t stackBytes, std::function<void()> body);
  ~SizedThread();
  SizedThread(SizedThread&& other) noexcept;
  SizedThread& operator=(SizedThread&&) = delete;
  SizedThread(const SizedThread&) = delete;

  void Join();

 private:
  pthread_t thread_{};
  bool joinable_ = false;
};

// Runs body on a fresh thread with the given stack and waits for it; an exception it throws is
// thrown again here.
QUILL_API void RunWithStack(size_t stackBytes, const std::function<void()>& body);

// The lowest stack address the calling thread may still use, with a reserve kept below it for
// the frames between two checks, for signal handlers and for a Java VM's guard zones. Once a
// Java VM is loaded, the process's first thread counts as having at most 1 MB: a VM created on it
// keeps only its default thread stack there and guards the rest.
QUILL_API uintptr_t StackFloor();

// Bytes of stack the calling thread has left above its floor (0 when already below it).
QUILL_API size_t StackLeft();

// The current stack position, for comparing with StackFloor().
inline uintptr_t StackPosition() { return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)); }

}  // namespace quill_service
