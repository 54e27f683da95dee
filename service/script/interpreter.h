// The tree-walking interpreter: evaluation state, script errors and tag invocation.
#pragma once

#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include "host/request.h"
#include "service/script/ast.h"
#include "service/values/request_data.h"
#include "service/values/tag_call.h"

namespace quill_script {

// A failure while a script runs: a code, a message and where in the script it happened.
class QUILL_API ScriptError : public osException {
 public:
  ScriptError(osError code, const std::string& message, std::string file, Location loc);
  const std::string& File() const { return file_; }
  Location Where() const { return loc_; }
  // "file:line:col: error <code>: <message>"
  std::string Describe() const;

 private:
  std::string file_;
  Location loc_;
};

// The value of an expression: owned by the evaluation, or borrowed from a variable (valid until
// the statement that evaluated it ends).
class Val {
 public:
  static Val Owned(quill_service::VariantPtr value) {
    Val v;
    v.ptr_ = value.get();
    v.owned_ = std::move(value);
    return v;
  }
  static Val Borrowed(Variant* value) {
    Val v;
    v.ptr_ = value;
    return v;
  }
  Variant& operator*() const { return *ptr_; }
  Variant* operator->() const { return ptr_; }
  bool IsOwned() const { return owned_ != nullptr; }
  // The value to keep: moved when owned, copied when borrowed.
  quill_service::VariantPtr Release() { return owned_ ? std::move(owned_) : quill_service::CopyVariant(*ptr_); }
  // Stores the value into target: moved when owned, copied when borrowed.
  void StoreInto(Variant& target) {
    if (owned_) target.Take(*owned_);
    else target.Assign(*ptr_);
  }

 private:
  Val() = default;
  Variant* ptr_ = nullptr;
  quill_service::VariantPtr owned_;
};

// The state of one script run in one request, on one thread.
struct Exec {
  Exec(Request& request, const Program& program);
  ~Exec();
  Exec(const Exec&) = delete;
  Exec& operator=(const Exec&) = delete;

  Request& request;
  Request::Data& data;
  const Program& program;
  QPExecState* state;                 // the innermost execution state
  TagCall* scriptCall = nullptr;      // the call of the script-defined tag running, if any
  quill_service::VariantPtr returned; // the value of the last `return`
  std::vector<const ScriptError*> caught;  // errors being handled by `catch` blocks, innermost last
  std::vector<int64_t> loops;              // iteration counts of the running `repeat`s, innermost last
  int depth = 0;                           // tag calls running
  int nesting = 0;                         // evaluations and blocks running inside one another
  uintptr_t stackFloor = 0;                // nesting stops before the stack reaches this
  uint64_t stepsLeft = UINT64_MAX;         // statements, loop turns and tag calls still allowed
  int64_t deadline = 0;                    // CoarseNanoseconds() past which the run stops; 0: none
  int64_t timeLimitMs = 0;                 // the limit behind deadline, for the message
  bool timedOut = false;                   // the time limit stopped the run: no `catch` holds it

  [[noreturn]] void Fail(osError code, const std::string& message, Location loc) const;
  // Counts one step of work; fails when the run's step limit is used up or its time is over.
  void Step(Location loc) {
    if (stepsLeft == 0) Fail(QUILL_ERR_GENERIC, "the run's step limit is reached", loc);
    --stepsLeft;
    if (deadline != 0 && CoarseNanoseconds() >= deadline) TimeUp(loc);
  }
  // A monotonic clock read cheaply enough for every step (a few milliseconds coarse).
  static int64_t CoarseNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
  }
  [[noreturn]] void TimeUp(Location loc);
  void Output(const Variant& value);
  Flow RunBlock(const Block& block);
  // Runs a tag call; failures come out as ScriptError located at loc.
  void Invoke(TagCall& call, Location loc);
  // The run on this thread that belongs to request, or null.
  static Exec* Running(const Request& request);
  // Evaluates call arguments into the call's parameters.
  void EvalArgs(const std::vector<Arg>& args, TagCall& call);
  // After a custom value was copied from source: its type's "onassign" member runs on the copy.
  void Copied(Variant& copy, Variant& source);
  // Stores value into target; a copy (of a borrowed value) is announced with Copied.
  void Store(Val value, Variant& target);

 private:
  void RunScriptTag(const ScriptTag& tag, TagCall& call, Location loc);
  void Construct(const ScriptType& type, TagCall& call, Location loc);
  template <class Decls>
  void BindParams(const Decls& decls, TagCall& call, quill_service::VariableScope& frame, Location loc);
  QPExecState root_;
  Exec* outer_;  // the run this one started inside, on this thread
};

// One level of nesting for the life of the scope: fails, located at loc, when the run is nested
// too deeply or the thread's stack is running out.
class Nested {
 public:
  Nested(Exec& ex, Location loc);
  ~Nested() { --ex_.nesting; }
  Nested(const Nested&) = delete;
  Nested& operator=(const Nested&) = delete;

 private:
  Exec& ex_;
};

// The execution state the interpreter builds for each tag call; built-in tags reach the
// interpreter through it.
class CallState : public QPExecState {
 public:
  CallState(Exec& ex, TagCall& call) : QPExecState(&ex.request, ex.state), exec(ex) { this->call = &call; }
  Exec& exec;
};

// A container call's body, run by the tag through childrenRun.
class ScriptBody : public TagBody {
 public:
  ScriptBody(Exec& ex, const Block& block)
      : ex_(ex), block_(block), scope_(ex.data.locals), scriptCall_(ex.scriptCall) {}
  void Run(QPExecState* state, Variant* result) override;

 private:
  Exec& ex_;
  const Block& block_;
  quill_service::VariableScope* scope_;  // the scope the body was written in
  TagCall* scriptCall_;
};

// Built-in tags and members.
void RegisterBuiltinTags();
// The inline database actions and the tags that read their results.
void RegisterDatabaseTags(TagTable& table);
// Runs a script-defined tag for host code (a module's quill_typeRunTag): inside the run of the
// caller's request when one is running on this thread, else in a run of its own. Gives the
// tag's failure code, 0 on success.
osError RunScriptTagFromHost(QPExecState& caller, TagCall& call);
// A built-in member of a value's type, or false when there is none.
bool RunBuiltinMember(Exec& ex, TagCall& call, Variant& self, Location loc);

}  // namespace quill_script
