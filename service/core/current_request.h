// The request running on this thread (Request::GetCurrent).
#pragma once

#include "host/request.h"

namespace quill_service {

// Makes a request the one running on this thread; null clears it.
QUILL_API void SetCurrentRequest(Request* r);

// Makes a request current on this thread for the life of the scope, then restores the one before.
class CurrentRequestScope {
 public:
  explicit CurrentRequestScope(Request* request) : previous_(Request::GetCurrent()) { SetCurrentRequest(request); }
  ~CurrentRequestScope() { SetCurrentRequest(previous_); }
  CurrentRequestScope(const CurrentRequestScope&) = delete;
  CurrentRequestScope& operator=(const CurrentRequestScope&) = delete;

 private:
  Request* previous_;
};

}  // namespace quill_service
