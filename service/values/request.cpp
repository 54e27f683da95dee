#include <pthread.h>

#include <cstddef>
#include <memory_resource>
#include <string_view>

#include "service/core/current_request.h"
#include "service/values/handles.h"
#include "service/values/request_data.h"
#include "service/values/tag_call.h"
#include "service/values/tag_table.h"
#include "service/values/text.h"

using namespace quill_service;

namespace {
thread_local Request* tCurrentRequest = nullptr;

// Tags the tokens a thread's states hold: the thread's id, unique among the threads alive, and a
// thread's states never outlive it.
uintptr_t TokenOwnerOfThisThread() { return static_cast<uintptr_t>(pthread_self()); }
}

namespace quill_service {

void SetCurrentRequest(Request* r) { tCurrentRequest = r; }

const std::string* FindKey(const KeyValues& entries, std::string_view key, bool ignoreCase) {
  for (const auto& [k, v] : entries) {
    if (k == key || (ignoreCase && EqualsIgnoreCase(Utf8ToUtf16(k), Utf8ToUtf16(key)))) return &v;
  }
  return nullptr;
}

SlotTable<TExecState>& TokenTable() {
  // Never destroyed, like the value table; states come and go on every call, on every thread.
  static auto* table = new SlotTable<TExecState>(SlotTable<TExecState>::kThreadCached);
  return *table;
}

}  // namespace quill_service

// ---- PrivateVar, QuillModule, SubstitutionTag ----

PrivateVar::PrivateVar() = default;
PrivateVar::~PrivateVar() = default;

QuillModule::~QuillModule() = default;
const char* QuillModule::GetModuleName() { return ""; }
const char* QuillModule::GetCommandModuleName() { return ""; }
bool QuillModule::IsModuleName(const char* name) { return name != nullptr && *name == '\0'; }

SubstitutionTag::~SubstitutionTag() = default;

// ---- execution states ----

QPExecState::QPExecState(Request* r, QPExecState* p)
    : request(r != nullptr ? r : (p != nullptr ? p->request : nullptr)), parent(p) {
  if (p != nullptr) {
    call = p->call;
    p->child = this;
  }
}

QPExecState::~QPExecState() {
  if (parent != nullptr && parent->child == this) parent->child = nullptr;
}

// Texts handed out in records live until their state ends: one block on the state, then larger
// ones from the heap, all freed together.
struct TExecState::Arena {
  alignas(std::max_align_t) char first[512];
  std::pmr::monotonic_buffer_resource blocks{first, sizeof(first)};
};

namespace {

template <class Char>
const Char* KeepIn(std::pmr::memory_resource& blocks, std::basic_string_view<Char> text) {
  auto* out = static_cast<Char*>(blocks.allocate((text.size() + 1) * sizeof(Char), alignof(Char)));
  std::char_traits<Char>::copy(out, text.data(), text.size());
  out[text.size()] = Char();
  return out;
}

}  // namespace

TExecState::TExecState(QPExecState* parent) : QPExecState(parent != nullptr ? parent->request : nullptr, parent) {
  if (request == nullptr) request = Request::GetCurrent();
  token_ = TokenTable().Issue(this, TokenOwnerOfThisThread());
}

TExecState::~TExecState() {
  if (token_ != 0) TokenTable().Release(token_);
}

TExecState* TExecState::FromToken(quill_token token) {
  // The owner is checked in the table, before the state is touched: a state of another thread
  // may be ending while this runs.
  return TokenTable().ResolveOwned(token, TokenOwnerOfThisThread());
}

const quill_char* TExecState::Keep(std::u16string_view text) {
  if (!arena_) arena_ = std::make_unique<Arena>();
  return reinterpret_cast<const quill_char*>(KeepIn(arena_->blocks, text));
}

const char* TExecState::Keep(std::string_view text) {
  if (!arena_) arena_ = std::make_unique<Arena>();
  return KeepIn(arena_->blocks, text);
}

// ---- Request ----

Request::Request() : data_(new Data) {}

Request::~Request() {
  Finish();
  const uint64_t generation = data_->moduleGeneration;
  delete data_;
  quill_service::UnpinModuleGeneration(generation);
}

Request* Request::GetCurrent() { return tCurrentRequest; }

void Request::SetResultCode(osError code) { data_->resultCode = code; }
osError Request::GetResultCode() const { return data_->resultCode; }
Variant* Request::GetResultMessage() { return &data_->resultMessage; }

void Request::AddPrivateVar(const char* name, PrivateVar* var) {
  if (var == nullptr) return;
  std::unique_ptr<PrivateVar> owned(var);
  if (data_->finished) return;  // too late to keep it: it dies now, on this thread
  data_->privateVars.emplace_back(name != nullptr ? name : "", std::move(owned));
}

TagTable* Request::GetTagTable() { return &TagTable::Global(); }
void Request::SetSite(Site* site) { data_->site = site; }
Site* Request::GetSite() const { return data_->site; }

void Request::Finish() {
  if (data_->finished) return;
  data_->finished = true;
  // Connections close first, while everything a data source may still read is there.
  CloseConnections(*this);
  // Values first: their destructors may still need what private variables provide (an
  // attached thread, for instance).
  data_->values.clear();
  data_->page.Clear();
  data_->globals.Clear();
  if (!data_->definedTags.empty()) data_->definedTags.clear();
  data_->resultMessage.Init();
  while (!data_->privateVars.empty()) {
    auto var = std::move(data_->privateVars.back().second);
    data_->privateVars.pop_back();
    var.reset();
  }
}

// ---- TagCall ----

const TagParam* TagCall::FindParam(std::u16string_view name) const {
  if (!name.empty() && name.front() == u'-') name.remove_prefix(1);
  if (name.empty()) return nullptr;
  for (const auto& param : params) {
    if (!param.name.empty() && EqualsIgnoreCase(param.name, name)) return &param;
  }
  return nullptr;
}

Variant& TagParam::Own() const {
  if (!value) value = CopyVariant(*written);
  return *value;
}

quill_type TagCall::DefinitionHandle() {
  if (!definition) return 0;
  if (definitionValue == nullptr) {
    auto value = MakeVariant();
    value->SetTag(definition.Shared());
    definitionValue = Own(std::move(value));
  }
  return definitionValue->Handle();
}

Variant* TagCall::Own(VariantPtr value) {
  owned.push_back(std::move(value));
  return owned.back().get();
}

// ---- VariableScope ----

namespace quill_service {

Variant* VariableScope::Find(std::u16string_view name) const {
  auto it = vars_.find(name);
  return it == vars_.end() ? nullptr : it->second.get();
}

Variant& VariableScope::Define(std::u16string_view name) {
  auto it = vars_.find(name);
  if (it == vars_.end()) it = vars_.emplace(std::u16string(name), MakeVariant()).first;
  return *it->second;
}

bool VariableScope::Remove(std::u16string_view name) { auto it = vars_.find(name);
  if (it == vars_.end()) return false;
  VariantPtr value = std::move(it->second);  // dies after the map is consistent again
  vars_.erase(it);
  return true; }

}  // namespace quill_service
