// Makes a request the one running on this thread (Request::GetCurrent); null clears it.
#pragma once

#include "host/request.h"

namespace quill_service { QUILL_API void SetCurrentRequest(Request* r); }
