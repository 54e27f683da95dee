// One database action a request runs: what it works on, what the script asked, what came back.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/datasource.h"
#include "host/request.h"

struct InlineAction {
  std::string name;  // empty for actions a script runs; the swap name otherwise
  DataSourceRec source;
  HostRec host;
  DatabaseRec database;
  DBParamsValue params;  // the parameters (input) and the results (output)
  osError code = 0;      // the data source's answer
  std::string message;   // why it failed, when it did
  int64_t currentRow = -1;  // the row a script's row loop is on
};

namespace quill_service {

// A data-source connection of a request: one slot per data source and host, kept from the
// action that first stores an object in it until the request ends.
struct DSConnection {
  DataSource* source = nullptr;
  HostRec host;
  void* slot = nullptr;
};

// The request's inline actions (innermost last) and connections.
struct RequestDatabaseState {
  // The request's own records, read when no inline action runs; made the first time they are.
  std::unique_ptr<InlineAction> base;
  std::vector<std::unique_ptr<InlineAction>> inlines;
  std::vector<DSConnection> connections;
  ModuleRecord moduleRecord;
  QPExecState* execState = nullptr;
};

// A fresh inline action, unnamed, for the scope: the previous set of parameters comes back on
// every way out, an exception's too.
class FreshInlineAction {
 public:
  explicit FreshInlineAction(Request& request) : request_(request) { request_.SwapParams(""); }
  ~FreshInlineAction() { request_.UnSwapParams(""); }
  FreshInlineAction(const FreshInlineAction&) = delete;
  FreshInlineAction& operator=(const FreshInlineAction&) = delete;
  InlineAction& action() { return *request_.GetInline(nullptr); }

 private:
  Request& request_;
};

// The innermost inline action of the request a state runs for, or null.
QUILL_API InlineAction* CurrentInline(QPExecState& state);

// Sends the close action (13) for every connection of the request that holds an object, on the
// request's thread, and forgets the connections.
QUILL_API void CloseConnections(Request& request);

}  // namespace quill_service
