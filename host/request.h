// Script values, requests, execution states and tags: the host objects a module works with.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "os.h"

class Request;
class QPExecState;
class Site;
class TagTable;
struct TagCall;
class DataSource;
class WebInputParams;
class WebOutputParams;
struct DataSourceRec;
struct HostRec;
struct DatabaseRec;
struct ModuleRecord;
struct InlineAction;

namespace quill_service {
struct TagDefinition;
}

// Objects a request owns and destroys, on the request's own thread, when it ends.
class QUILL_API PrivateVar {
 public:
  PrivateVar();
  virtual ~PrivateVar();
  PrivateVar(const PrivateVar&) = delete;
  PrivateVar& operator=(const PrivateVar&) = delete;
};

// A script value. Every value has a 32-bit handle in the host's value table while it lives:
// it is issued the first time it is asked for and never changes until the value is destroyed.
class QUILL_API Variant {
 public:
  struct Data;  // the value's contents (service/values/variant_data.h)

  Variant();
  virtual ~Variant();
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;

  // Makes the value null (and frees what it held).
  void Init();
  int32_t GetType() const;
  // The value as text (numbers formatted, null empty).
  std::u16string GetString(QPExecState* state) const;
  // The value as a flag: booleans as they are, numbers when not zero, text when it reads as a
  // true word or a non-zero number ("true", "yes", "on", "1"), null false, anything else true.
  bool GetBool() const;
  // Follows references to the value they name; a reference to a value that has died
  // gives the reference itself.
  Variant* GetReferenceDeep();
  // 0 only when the value table is full.
  quill_type Handle() const;
  // The live value a handle names, or null.
  static Variant* FromHandle(quill_type handle);

  // Host-side setters; each replaces the whole value.
  void SetString(std::u16string text);
  void SetInteger(int64_t number);
  void SetDecimal(double number);
  void SetBoolean(bool flag);
  void SetBytes(std::string bytes);
  void SetTag(std::shared_ptr<const quill_service::TagDefinition> tag);
  void SetReference(quill_type target);
  // The database parameters or results this value carries (Request::GetInputParams,
  // GetOutputParams), or null for any other value.
  WebInputParams* GetDBInput();
  WebOutputParams* GetDBOutput();
  // Deep copy of source (a value assigned to itself stays as it is).
  void Assign(const Variant& source);
  // Takes over source's contents; source becomes null.
  void Take(Variant& source);

  Data& Contents() { return *data_; }
  const Data& Contents() const { return *data_; }

 protected:
  Data* data_;
  mutable std::atomic<quill_type> handle_;
};

// The state of one call in progress on a request's thread. A state built on a parent
// takes over the parent's request and tag call.
class QUILL_API QPExecState {
 public:
  explicit QPExecState(Request* request = nullptr, QPExecState* parent = nullptr);
  virtual ~QPExecState();
  QPExecState(const QPExecState&) = delete;
  QPExecState& operator=(const QPExecState&) = delete;

  Request* request;
  QPExecState* parent;
  QPExecState* child = nullptr;  // the innermost state hangs off the request's state
  TagCall* call = nullptr;       // the tag being run (parameters, body, self, result), or null
  DataSource* currentDataSource = nullptr;  // the data source a database action runs on, or null
  std::vector<CharBuffer> resultList;       // names a data source lists (databases, tables, schemas)
};

// The state a module builds on its stack for one call into its own code. It takes over its
// parent's request and tag call (a null parent: the thread's current request, no call), and
// while it lives its token names it in the host's table.
class QUILL_API TExecState : public QPExecState {
 public:
  explicit TExecState(QPExecState* parent);
  ~TExecState() override;
  quill_token Token() const { return token_; }
  // The live state a token names, or null. A state is only reachable from the thread it runs
  // on: a token carried to another thread is refused like a stale one.
  static TExecState* FromToken(quill_token token);

  // Keeps text alive until this state ends, for the records the QCAPI fills.
  const quill_char* Keep(std::u16string_view text);
  const char* Keep(std::string_view text);

 private:
  struct Arena;
  quill_token token_;
  std::unique_ptr<Arena> arena_;
};

class QUILL_API Request {
 public:
  struct Data;  // service/values/request_data.h

  Request();
  virtual ~Request();
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  // The request running on this thread, or null.
  static Request* GetCurrent();
  void SetResultCode(osError code);
  osError GetResultCode() const;
  Variant* GetResultMessage();
  // The request takes ownership; private variables are destroyed in reverse order of adding,
  // when the request ends, on the thread that ends it (one added after that dies at once).
  void AddPrivateVar(const char* name, PrivateVar* var);
  TagTable* GetTagTable();
  // The site the request is served for (null when none was given).
  void SetSite(Site* site);
  Site* GetSite() const;

  // ---- database actions ----
  // The registration record of the module being loaded (its id and the data-source registry);
  // never null.
  ModuleRecord* GetModuleRecord();
  // The records of the innermost inline action (an empty one is made when none runs).
  DataSourceRec& GetDataSourceRec();
  HostRec& GetHostRec();
  DatabaseRec& GetDatabaseRec();
  // Runs the request's actions on a fresh set of inline parameters named inlineName until
  // UnSwapParams with the same name brings the previous set back.
  void SwapParams(const char* inlineName);
  void UnSwapParams(const char* inlineName);
  // The inline action of that name (null: the innermost), or null.
  InlineAction* GetInline(const char* inlineName);
  // Drops what the inline action collected, without handing it to anyone.
  void DisposeInlineNoSave(InlineAction* action);
  // Values carrying the inline action's parameters (GetDBInput) and results (GetDBOutput).
  Variant* GetInputParams(const char* inlineName);
  Variant* GetOutputParams(const char* inlineName);
  // The request's outermost execution state while a script runs it, or null; the innermost
  // state hangs off its child links.
  QPExecState* GetExecState();

  // Ends the request: closes its data-source connections, destroys its values, then its private
  // variables (newest first).
  // Idempotent; the destructor calls it. Must run on the request's own thread.
  void Finish();
  Data& Contents() { return *data_; }

 protected:
  Data* data_;
};

class QUILL_API QuillModule {
 public:
  virtual ~QuillModule();
  virtual const char* GetModuleName();
  virtual const char* GetCommandModuleName();
  virtual bool IsModuleName(const char* name);
};

// What the host hands a tag when it runs it.
struct CallFrame {
  QPExecState* state;  // the caller's state; its `call` describes this tag call
};

class QUILL_API SubstitutionTag : public QuillModule {
 public:
  ~SubstitutionTag() override;
  // Runs the tag; result receives its value. Failures are thrown as osException.
  virtual void Run(CallFrame* frame, Variant* result, Request* request) = 0;
};

// While one lives, what this thread registers (tags, data sources) forms a new generation of
// modules, published when it ends: a request that starts after that sees all of it, and a request
// already running keeps the tags and data sources it started with until it ends. Scopes on other
// threads wait for this one; scopes do not nest. A reloaded module registers again inside one.
class QUILL_API ModuleGenerationScope {
 public:
  ModuleGenerationScope();
  ~ModuleGenerationScope();
  ModuleGenerationScope(const ModuleGenerationScope&) = delete;
  ModuleGenerationScope& operator=(const ModuleGenerationScope&) = delete;
};

// Registers tags in a tag table on behalf of a request.
class QUILL_API TagRegistry {
 public:
  TagRegistry(Request* request, TagTable* table);
  ~TagRegistry();
  // The table takes ownership of tag. Texts are zero-terminated UTF-16.
  void RegTag(const quill_char* moduleName, const quill_char* tagName, SubstitutionTag* tag,
              const quill_char* description, int32_t flags);

 private:
  Request* request_;
  TagTable* table_;
};
