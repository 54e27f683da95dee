// The host's database-action engine: runs one action a script asks for on a registered data
// source, on a fresh inline action of the request, and lets the caller read the results while
// the action is current.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "service/datasource/inline_action.h"

namespace quill_service {

enum class DBActionKind { Search, Add, Update, Delete, Show, Databases, Tables, Schemas, Statement, Send };

struct DBActionSpec {
  DBActionKind kind = DBActionKind::Search;
  std::string source;                  // the data source's name
  int32_t hostId = 0;                  // 0: the source's first host (none: an empty host record)
  std::optional<std::string> database;
  WebInputParams input;
  int32_t sendCode = 0;                // Send: the action code handed to the source's callback
};

// Runs the action, then `body` (when given) while the action is the request's innermost inline
// action. Returns the data source's code; failures of the host itself (unknown source or host)
// are thrown as osException. The action's connection stays open until the request ends.
QUILL_API osError RunDatabaseAction(Request& request, QPExecState* caller, const DBActionSpec& spec,
                                    const std::function<void(InlineAction&)>& body);
// The same for a DBActionSpec the action may take apart: its input moves to the action.
QUILL_API osError RunDatabaseAction(Request& request, QPExecState* caller, DBActionSpec&& spec,
                                    const std::function<void(InlineAction&)>& body);

}  // namespace quill_service
