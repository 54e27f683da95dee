#include "service/script/interpreter.h"

#include <deque>
#include <new>
#include <optional>

#include "service/core/stack.h"
#include "service/values/tag_table.h"
#include "service/values/text.h"
#include "service/values/value_forms.h"

namespace quill_script {

using namespace quill_service;

namespace {

// Tag calls nested deeper than this fail instead of exhausting the thread's stack.
constexpr int kMaxCallDepth = 200;
// Evaluations and blocks inside one another, over all running tag calls. Sized so that a thread
// with kScriptStackBytes holds the deepest run; the stack check in Nested stops runs on threads
// with less (at the same kind of error, only sooner).
constexpr int kMaxNesting = 4000;

// Restores a variable when the scope ends, also when an error leaves it.
template <class T>
class Restore {
 public:
  explicit Restore(T& slot) : slot_(slot), saved_(slot) {}
  ~Restore() { slot_ = saved_; }
  Restore(const Restore&) = delete;
  Restore& operator=(const Restore&) = delete;

 private:
  T& slot_;
  T saved_;
};

std::string Quoted(std::u16string_view name) { return "'" + Utf16ToUtf8(ShortenName(name)) + "'"; }

// Type names in declarations: empty and "any" take everything.
bool TypeMatches(const Variant& value, std::u16string_view type) {
  return type.empty() || EqualsIgnoreCase(type, u"any") || EqualsIgnoreCase(TypeName(value), type);
}

VariantPtr NewInteger(int64_t n) {
  auto v = MakeVariant();
  v->SetInteger(n);
  return v;
}

VariantPtr NewDecimal(double d) {
  auto v = MakeVariant();
  v->SetDecimal(d);
  return v;
}

VariantPtr NewBoolean(bool b) {
  auto v = MakeVariant();
  v->SetBoolean(b);
  return v;
}

bool AsNumber(const Variant& v, double& out) {
  if (auto* i = Get<int64_t>(v)) return out = static_cast<double>(*i), true;
  if (auto* d = Get<double>(v)) return out = *d, true;
  return false;
}

// Integer arithmetic wraps around instead of overflowing.
int64_t Wrap(uint64_t n) { return static_cast<int64_t>(n); }

// Parents of a script type further up than this are taken for a cycle.
constexpr int kMaxTypeDepth = 64;

thread_local Exec* tRunning = nullptr;

const ParamDecl& DeclOf(const ParamDecl& decl) { return decl; }
const ParamDecl& DeclOf(const ParamDecl* decl) { return *decl; }

}  // namespace

// ---- errors ----

ScriptError::ScriptError(osError code, const std::string& message, std::string file, Location loc)
    : osException(message.c_str(), code), file_(std::move(file)), loc_(loc) {}

std::string ScriptError::Describe() const {
  return file_ + ":" + std::to_string(loc_.line) + ":" + std::to_string(loc_.column) + ": error " +
         std::to_string(GetCode()) + ": " + what();
}

// ---- the run ----

Exec::Exec(Request& r, const Program& p)
    : request(r), data(r.Contents()), program(p), state(&root_), stackFloor(StackFloor()), root_(&r), outer_(tRunning) {
  // Code that runs for the request (database actions) finds the innermost state from here.
  if (data.database.execState == nullptr) data.database.execState = &root_;
  tRunning = this;
}

Exec::~Exec() {
  if (data.database.execState == &root_) data.database.execState = nullptr;
  tRunning = outer_;
}

Exec* Exec::Running(const Request& request) {
  for (Exec* ex = tRunning; ex != nullptr; ex = ex->outer_) {
    if (&ex->request == &request) return ex;
  }
  return nullptr;
}

osError RunScriptTagFromHost(QPExecState& caller, TagCall& call) {
  if (caller.request == nullptr) return QUILL_ERR_INVALID;
  std::optional<Program> scratch;
  std::optional<Exec> own;
  Exec* ex = Exec::Running(*caller.request);
  if (ex == nullptr) {
    scratch.emplace();
    scratch->fileName = "(tag)";
    ex = &own.emplace(*caller.request, *scratch);
  }
  Restore<QPExecState*> stateGuard(ex->state);
  ex->state = &caller;  // the tag's state nests in the caller's
  try {
    ex->Invoke(call, Location{});
    return QUILL_OK;
  } catch (const osException& e) {
    caller.request->GetResultMessage()->SetString(Utf8ToUtf16(e.what()));
    return e.GetCode() != 0 ? e.GetCode() : QUILL_ERR_GENERIC;
  }
}

Nested::Nested(Exec& ex, Location loc) : ex_(ex) {
  if (ex.nesting >= kMaxNesting) ex.Fail(QUILL_ERR_GENERIC, "script nested too deeply", loc);
  if (StackPosition() < ex.stackFloor) ex.Fail(QUILL_ERR_GENERIC, "script nested too deeply for this thread's stack", loc);
  ++ex.nesting;
}

void Exec::Fail(osError code, const std::string& message, Location loc) const {
  throw ScriptError(code, message, program.fileName, loc);
}

void Exec::TimeUp(Location loc) {
  timedOut = true;
  const std::string limit =
      timeLimitMs % 1000 == 0 ? std::to_string(timeLimitMs / 1000) + " s" : std::to_string(timeLimitMs) + " ms";
  Fail(QUILL_ERR_GENERIC, "the request's time limit of " + limit + " is reached", loc);
}

void Exec::Output(const Variant& value) {
  if (auto* text = Get<std::u16string>(value)) {
    AppendUtf8(data.output, *text);
  } else if (value.GetType() != QUILL_TYPE_NULL) {
    AppendUtf8(data.output, value.GetString(state));
  }
}

Flow Exec::RunBlock(const Block& block) {
  Step(block.loc);
  for (const auto& stmt : block.statements) {
    Step(stmt->loc);
    Nested nested(*this, stmt->loc);
    try {
      if (stmt->Run(*this) == Flow::Return) return Flow::Return;
    } catch (const ScriptError&) {
      throw;
    } catch (const osException& e) {
      Fail(e.GetCode() != 0 ? e.GetCode() : QUILL_ERR_GENERIC, e.what(), stmt->loc);
    } catch (const std::bad_alloc&) {
      Fail(QUILL_ERR_GENERIC, "out of memory", stmt->loc);
    }
  }
  return Flow::Next;
}

void Exec::EvalArgs(const std::vector<Arg>& args, TagCall& call) {
  call.params.reserve(args.size());
  for (const auto& arg : args) {
    TagParam param;
    param.name = arg.name;
    if (const Variant* literal = arg.value ? arg.value->Constant() : nullptr) {
      param.written = literal;  // read in place; copied only if the tag changes it or hands it out
    } else if (arg.value) {
      Val value = arg.value->Eval(*this);
      Variant* source = value.IsOwned() ? nullptr : &*value;
      param.value = value.Release();
      if (source != nullptr) Copied(*param.value, *source);
    } else {
      param.value = NewBoolean(true);
    }
    call.params.push_back(std::move(param));
  }
}

void Exec::Copied(Variant& copy, Variant& source) { AnnounceCopy(*state, copy, source); }

void Exec::Store(Val value, Variant& target) {
  Variant* source = value.IsOwned() ? nullptr : &*value;
  value.StoreInto(target);
  if (source != nullptr) Copied(target, *source);
}

void Exec::Invoke(TagCall& call, Location loc) {
  Step(loc);
  if (depth >= kMaxCallDepth) Fail(QUILL_ERR_GENERIC, "tag calls nested too deeply", loc);
  Restore<int> depthGuard(depth);
  ++depth;
  CallState callState(*this, call);
  Restore<QPExecState*> stateGuard(state);
  state = &callState;
  const TagDefinition& tag = *call.definition;
  try {
    if (tag.native != nullptr) {
      CallFrame frame{&callState};
      tag.native->Run(&frame, call.result, &request);
    } else if (tag.function != nullptr) {
      // A C tag reports failure by its code; the message is whatever it left in the request.
      TExecState cState(&callState);
      const osError code = tag.function(cState.Token());
      if (code != 0) {
        request.SetResultCode(code);
        throw osException(Utf16ToUtf8(data.resultMessage.GetString(&cState)).c_str(), code);
      }
    } else if (auto* type = dynamic_cast<const ScriptType*>(tag.script.get())) {
      Construct(*type, call, loc);
    } else if (tag.script) {
      RunScriptTag(static_cast<const ScriptTag&>(*tag.script), call, loc);
    } else {
      Fail(QUILL_ERR_NOT_FOUND, "tag " + Quoted(call.name) + " has no body", loc);
    }
  } catch (const ScriptError&) {
    throw;
  } catch (const osException& e) {
    Fail(e.GetCode() != 0 ? e.GetCode() : QUILL_ERR_GENERIC, e.what(), loc);
  } catch (const std::bad_alloc&) {
    Fail(QUILL_ERR_GENERIC, "out of memory", loc);
  } catch (const std::exception& e) {
    Fail(QUILL_ERR_GENERIC, e.what(), loc);
  } catch (...) {
    Fail(QUILL_ERR_GENERIC, "tag " + Quoted(call.name) + " failed", loc);
  }
}

// Named parameters bind by name, the others in order; defaults are evaluated in the tag's own
// scope (frame, the current locals), so they can use the parameters before them.
template <class Decls>
void Exec::BindParams(const Decls& decls, TagCall& call, VariableScope& frame, Location loc) {
  std::vector<bool> used(call.params.size(), false);
  size_t positional = 0;
  for (const auto& declared : decls) {
    const ParamDecl& decl = DeclOf(declared);
    const TagParam* given = nullptr;
    for (size_t i = 0; i < call.params.size() && given == nullptr; ++i) {
      if (!used[i] && !call.params[i].name.empty() && EqualsIgnoreCase(call.params[i].name, decl.name)) {
        given = &call.params[i];
        used[i] = true;
      }
    }
    while (given == nullptr && positional < call.params.size()) {
      const size_t i = positional++;
      if (!used[i] && call.params[i].name.empty()) {
        given = &call.params[i];
        used[i] = true;
      }
    }
    Variant& slot = frame.Define(decl.name);
    if (given != nullptr && given->value) {
      slot.Take(*given->value);  // the parameter is the call's own copy
    } else if (given != nullptr) {
      slot.Assign(*given->written);
    } else if (decl.defaultValue) {
      decl.defaultValue->Eval(*this).StoreInto(slot);
    } else {
      Fail(QUILL_ERR_NOT_FOUND, "tag " + Quoted(call.name) + " needs parameter -" + Utf16ToUtf8(decl.name), loc);
    }
    if (EqualsIgnoreCase(decl.type, u"decimal")) {
      if (auto* i = Get<int64_t>(slot)) slot.SetDecimal(static_cast<double>(*i));
    }
    if (!TypeMatches(slot, decl.type)) {
      Fail(QUILL_ERR_WRONG_TYPE,
           "parameter -" + Utf16ToUtf8(decl.name) + " of tag " + Quoted(call.name) + " must be " +
               Utf16ToUtf8(decl.type) + ", not " + Utf16ToUtf8(TypeName(slot)),
           loc);
    }
  }
  for (size_t i = 0; i < call.params.size(); ++i) {
    if (used[i]) continue;
    if (call.params[i].name.empty()) Fail(QUILL_ERR_INVALID, "too many parameters for tag " + Quoted(call.name), loc);
    Fail(QUILL_ERR_INVALID, "tag " + Quoted(call.name) + " has no parameter -" + Utf16ToUtf8(call.params[i].name), loc);
  }
}

void Exec::RunScriptTag(const ScriptTag& tag, TagCall& call, Location loc) {
  VariableScope frame;
  Restore<VariableScope*> localsGuard(data.locals);
  Restore<TagCall*> callGuard(scriptCall);
  data.locals = &frame;
  scriptCall = &call;
  if (tag.anyParams) {
    ArrayValue positional;
    for (auto& param : call.params) {
      if (param.name.empty()) positional.items.push_back(CopyVariant(param.Value()));
      else frame.Define(param.name).Assign(param.Value());
    }
    frame.Define(u"params").Contents().value = std::move(positional);
  } else {
    BindParams(tag.params, call, frame, loc);
  }

  VariantPtr value;
  if (RunBlock(*tag.block) == Flow::Return) value = std::move(returned);
  if (!value) value = MakeVariant();
  const std::u16string& declared = call.definition->returnType;
  if (EqualsIgnoreCase(declared, u"decimal")) {
    if (auto* i = Get<int64_t>(*value)) value->SetDecimal(static_cast<double>(*i));
  }
  if (!TypeMatches(*value, declared)) {
    Fail(QUILL_ERR_WRONG_TYPE,
         "tag " + Quoted(call.name) + " must return " + Utf16ToUtf8(declared) + ", not " + Utf16ToUtf8(TypeName(*value)),
         loc);
  }
  if (call.result != nullptr) call.result->Take(*value);
}

// A value of a script type: the members of the type and of each parent bind like one tag's
// parameters (the type's own first), then each level becomes a custom value whose parent is the
// level above.
void Exec::Construct(const ScriptType& type, TagCall& call, Location loc) {
  std::vector<const ScriptType*> chain{&type};
  while (!chain.back()->parent.empty()) {
    if (chain.size() >= kMaxTypeDepth) Fail(QUILL_ERR_INVALID, "the parents of type " + Quoted(type.name) + " form a cycle", loc);
    TagRef parent = FindFoldedTag(&request, chain.back()->parent, false);
    auto* parentType = parent ? dynamic_cast<const ScriptType*>(parent->script.get()) : nullptr;
    if (parentType == nullptr) Fail(QUILL_ERR_NOT_FOUND, "type " + Quoted(chain.back()->name) + " has no parent type " + Quoted(chain.back()->parent), loc);
    chain.push_back(parentType);
  }
  std::vector<const ParamDecl*> decls;
  for (const ScriptType* level : chain) {
    for (const ParamDecl& member : level->members) decls.push_back(&member);
  }
  VariableScope frame;
  {
    Restore<VariableScope*> localsGuard(data.locals);
    Restore<TagCall*> callGuard(scriptCall);
    data.locals = &frame;
    scriptCall = &call;
    BindParams(decls, call, frame, loc);
  }
  VariantPtr value;
  for (size_t i = chain.size(); i-- > 0;) {
    auto custom = std::make_unique<CustomValue>();
    custom->typeName = chain[i]->name;
    for (const ParamDecl& member : chain[i]->members) custom->members.emplace_back(member.name, CopyVariant(*frame.Find(member.name)));
    for (const auto& tag : chain[i]->tags) {
      auto tagValue = MakeVariant();
      tagValue->SetTag(tag);
      custom->members.emplace_back(tag->name, std::move(tagValue));
    }
    custom->parent = std::move(value);
    value = MakeVariant();
    value->Contents().value = std::move(custom);
  }
  if (call.result != nullptr) call.result->Take(*value);
}

void ScriptBody::Run(QPExecState* state, Variant* result) {
  Restore<VariableScope*> localsGuard(ex_.data.locals);
  Restore<TagCall*> callGuard(ex_.scriptCall);
  Restore<QPExecState*> stateGuard(ex_.state);
  ex_.data.locals = scope_;
  ex_.scriptCall = scriptCall_;
  if (state != nullptr) ex_.state = state;
  // `return` in a body ends the body and gives its value to the container tag.
  if (ex_.RunBlock(block_) == Flow::Return && ex_.returned) {
    if (result != nullptr) result->Take(*ex_.returned);
    ex_.returned.reset();
  }
}

// ---- expressions ----

Val LiteralExpr::Eval(Exec&) const { return Val::Owned(CopyVariant(*value)); }

Val VariableExpr::Eval(Exec& ex) const {
  Variant* v = ex.data.locals->Find(name);
  if (v == nullptr) v = ex.data.globals.Find(name);
  if (v == nullptr) ex.Fail(QUILL_ERR_NOT_FOUND, "variable $" + Utf16ToUtf8(name) + " is not defined", loc);
  return Val::Borrowed(v);
}

Variant* VariableExpr::Place(Exec& ex, bool) const { return &*Eval(ex); }

Val SelfExpr::Eval(Exec& ex) const { return Val::Borrowed(Place(ex, false)); }

Variant* SelfExpr::Place(Exec& ex, bool) const {
  Variant* self = ex.scriptCall != nullptr ? Variant::FromHandle(ex.scriptCall->self) : nullptr;
  if (self == nullptr) ex.Fail(QUILL_ERR_NOT_FOUND, "'self' outside a member tag", loc);
  return self;
}

Val MapExpr::Eval(Exec& ex) const {
  Nested nested(ex, loc);
  MapValue map;
  map.entries.reserve(entries.size());
  for (const auto& [keyExpr, valueExpr] : entries) {
    VariantPtr key = keyExpr->Eval(ex).Release();
    VariantPtr value = valueExpr->Eval(ex).Release();
    if (Variant* existing = FindMapEntry(map, key->GetString(ex.state))) existing->Take(*value);
    else map.entries.emplace_back(std::move(key), std::move(value));
  }
  auto v = MakeVariant();
  v->Contents().value = std::move(map);
  return Val::Owned(std::move(v));
}

Val PairExpr::Eval(Exec& ex) const {
  Nested nested(ex, loc);
  VariantPtr a = first->Eval(ex).Release();
  VariantPtr b = second->Eval(ex).Release();
  auto v = MakeVariant();
  v->Contents().value = PairValue{std::move(a), std::move(b)};
  return Val::Owned(std::move(v));
}

namespace {

// The element of container that key names: an array index, a pair's 0 or 1, a map key (by its
// text), a custom value's member (up its parents). A missing map key gives null, or with create
// a new null entry; a missing member fails, or with create is added to the value.
Variant* ElementOf(Exec& ex, Variant& container, const Variant& key, bool byName, bool create, Location loc) {
  const std::string typeName = Utf16ToUtf8(TypeName(container));
  auto index = [&](size_t size) -> size_t {
    auto* i = Get<int64_t>(key);
    if (i == nullptr) ex.Fail(QUILL_ERR_WRONG_TYPE, "index must be an integer, not " + Utf16ToUtf8(TypeName(key)), loc);
    if (*i < 0 || static_cast<uint64_t>(*i) >= size) {
      ex.Fail(QUILL_ERR_OUT_OF_RANGE, "index " + std::to_string(*i) + " out of range (size " + std::to_string(size) + ")", loc);
    }
    return static_cast<size_t>(*i);
  };
  if (auto* array = Get<ArrayValue>(container); array && !byName) {
    if (create && Get<int64_t>(key) && *Get<int64_t>(key) == static_cast<int64_t>(array->items.size())) {
      return array->items.emplace_back(MakeVariant()).get();  // one past the end appends
    }
    return array->items[index(array->items.size())].get();
  }
  if (auto* pair = Get<PairValue>(container); pair && !byName) return (index(2) == 0 ? pair->first : pair->second).get();
  const std::u16string text = key.GetString(ex.state);
  if (auto* map = Get<MapValue>(container)) {
    if (Variant* found = FindMapEntry(*map, text)) return found;
    if (!create) return nullptr;
    return map->entries.emplace_back(CopyVariant(key), MakeVariant()).second.get();
  }
  if (auto* custom = Get<std::unique_ptr<CustomValue>>(container)) {
    if (Variant* found = FindMember(**custom, text)) return found;
    if (!create) ex.Fail(QUILL_ERR_NOT_FOUND, "a value of type " + typeName + " has no member " + Quoted(text), loc);
    return (*custom)->members.emplace_back(text, MakeVariant()).second.get();
  }
  ex.Fail(QUILL_ERR_WRONG_TYPE, "a value of type " + typeName + (byName ? " has no members" : " cannot be indexed"), loc);
}

}  // namespace

// The index is evaluated before the target, as member call arguments are, so a target borrowed
// from a variable is still in place when the element is taken.
Val ElementExpr::Eval(Exec& ex) const {
  Nested nested(ex, loc);
  std::optional<Val> key;
  if (index) key.emplace(index->Eval(ex));
  Val owner = target->Eval(ex);
  VariantPtr nameKey;
  if (!index) {
    nameKey = MakeVariant();
    nameKey->SetString(name);
  }
  const Variant& keyValue = index ? *(*key)->GetReferenceDeep() : *nameKey;
  Variant* element = ElementOf(ex, *owner->GetReferenceDeep(), keyValue, !index, false, loc);
  if (element == nullptr) return Val::Owned(MakeVariant());
  if (owner.IsOwned()) return Val::Owned(CopyVariant(*element));
  return Val::Borrowed(element);
}

Variant* ElementExpr::Place(Exec& ex, bool create) const {
  Nested nested(ex, loc);
  std::optional<Val> key;
  if (index) key.emplace(index->Eval(ex));
  Variant* owner = target->Place(ex, create);
  if (owner == nullptr) ex.Fail(QUILL_ERR_INVALID, "only variables, self and their elements can be assigned to", loc);
  VariantPtr nameKey;
  if (!index) {
    nameKey = MakeVariant();
    nameKey->SetString(name);
  }
  const Variant& keyValue = index ? *(*key)->GetReferenceDeep() : *nameKey;
  return ElementOf(ex, *owner->GetReferenceDeep(), keyValue, !index, create, loc);
}

Val ArrayExpr::Eval(Exec& ex) const {
  Nested nested(ex, loc);
  ArrayValue array;
  array.items.reserve(items.size());
  for (const auto& item : items) array.items.push_back(item->Eval(ex).Release());
  auto v = MakeVariant();
  v->Contents().value = std::move(array);
  return Val::Owned(std::move(v));
}

// A tag call with its arguments evaluated, its body bound and its result made (unless it goes
// into a value given); the body and the result live as long as the call.
struct PreparedCall {
  TagCall call;
  std::optional<ScriptBody> children;
  VariantPtr result;

  PreparedCall(Exec& ex, const std::u16string& name, const std::vector<Arg>& args, const BlockPtr& body,
               Variant* into = nullptr, std::string* output = nullptr) {
    call.name = name;
    call.output = output;
    ex.EvalArgs(args, call);
    if (body) call.body = &children.emplace(ex, *body);
    if (into == nullptr) {
      result = MakeVariant();
      into = result.get();
    }
    call.result = into;
  }
};

VariantPtr CallExpr::Run(Exec& ex, Variant* into, std::string* output) const {
  TagRef definition = FindFoldedTag(&ex.request, folded, false, &entry);
  if (!definition) ex.Fail(QUILL_ERR_NOT_FOUND, "unknown tag " + Quoted(name), loc);
  PreparedCall prepared(ex, name, args, body, into, output);
  prepared.call.definition = std::move(definition);
  ex.Invoke(prepared.call, loc);
  return std::move(prepared.result);
}

Val CallExpr::Eval(Exec& ex) const {
  Nested nested(ex, loc);
  return Val::Owned(Run(ex, nullptr));
}

// A call whose value only goes to the output needs no value of its own for the result.
void CallExpr::Emit(Exec& ex) const {
  Nested nested(ex, loc);
  Variant result;
  Run(ex, &result, &ex.data.output);
  ex.Output(result);
}

namespace {

// A member tag of the script type a custom value (or a parent) is named after, for values that
// carry no tags of their own: read back from the serialized form, or made by a module.
TagValue ScriptTypeTag(Exec& ex, CustomValue& custom, std::u16string_view name) {
  for (CustomValue* c = &custom; c != nullptr;) {
    TagRef constructor = FindFoldedTag(&ex.request, FoldCase(c->typeName), false);
    if (auto* type = constructor ? dynamic_cast<const ScriptType*>(constructor->script.get()) : nullptr) {
      for (const auto& tag : type->tags) {
        if (EqualsIgnoreCase(tag->name, name)) return tag;
      }
    }
    auto* parent = c->parent ? Get<std::unique_ptr<CustomValue>>(*c->parent) : nullptr;
    c = parent ? parent->get() : nullptr;
  }
  return nullptr;
}

}  // namespace

// The arguments are evaluated before the target, so a target borrowed from a variable is
// still in place when the member runs. In a chain `t->a(x)->b(y)` that order is y, x, t, then a
// and b: the calls are prepared outermost first, then run innermost first, without recursing.
Val MemberExpr::Eval(Exec& ex) const {
  Nested nested(ex, loc);
  if (target->AsMember() == nullptr) {
    PreparedCall prepared(ex, name, args, body);
    return Call(ex, prepared, target->Eval(ex));
  }
  std::vector<const MemberExpr*> chain;
  const Expr* innermost = this;
  for (const MemberExpr* member = this; member != nullptr; member = innermost->AsMember()) {
    chain.push_back(member);
    innermost = member->target.get();
  }
  std::deque<PreparedCall> prepared;
  for (const MemberExpr* member : chain) prepared.emplace_back(ex, member->name, member->args, member->body);
  Val owner = innermost->Eval(ex);
  for (size_t i = chain.size(); i-- > 0;) owner = chain[i]->Call(ex, prepared[i], std::move(owner));
  return owner;
}

Val MemberExpr::Call(Exec& ex, PreparedCall& prepared, Val owner) const {
  TagCall& call = prepared.call;
  VariantPtr& result = prepared.result;
  Variant& self = *owner->GetReferenceDeep();
  if (auto* custom = Get<std::unique_ptr<CustomValue>>(self)) {
    TagValue tag = FindMemberTag(**custom, name);
    if (!tag) tag = ScriptTypeTag(ex, **custom, name);
    if (tag) {
      call.definition = std::move(tag);
      call.self = self.Handle();
      ex.Invoke(call, loc);
      return Val::Owned(std::move(result));
    }
  }
  if (RunBuiltinMember(ex, call, self, loc)) return Val::Owned(std::move(result));
  // A type's _unknowntag member answers for names it has no member of (the call keeps the name).
  auto* custom = Get<std::unique_ptr<CustomValue>>(self);
  TagValue unknown = custom ? FindMemberTag(**custom, u"_unknowntag") : nullptr;
  if (!unknown) {
    ex.Fail(QUILL_ERR_NOT_FOUND, "a value of type " + Utf16ToUtf8(TypeName(self)) + " has no member " + Quoted(name), loc);
  }
  call.definition = std::move(unknown);
  call.self = self.Handle();
  ex.Invoke(call, loc);
  return Val::Owned(std::move(result));
}

Val UnaryExpr::Eval(Exec& ex) const {
  Nested nested(ex, loc);
  Val operandValue = operand->Eval(ex);
  const Variant& v = *operandValue->GetReferenceDeep();
  if (op == Op::Not) return Val::Owned(NewBoolean(!IsTrue(v)));
  if (auto* i = Get<int64_t>(v)) return Val::Owned(NewInteger(Wrap(0 - static_cast<uint64_t>(*i))));
  if (auto* d = Get<double>(v)) return Val::Owned(NewDecimal(-*d));
  ex.Fail(QUILL_ERR_WRONG_TYPE, "cannot negate a value of type " + Utf16ToUtf8(TypeName(v)), loc);
}

// A chain `a + b + c ...` is a tree nested to the left: its left spine is walked down and the
// operations applied from the innermost out, so the chain's length takes no stack.
Val BinaryExpr::Eval(Exec& ex) const {
  Nested nested(ex, loc);
  if (left->AsBinary() == nullptr) return Apply(ex, left->Eval(ex));
  std::vector<const BinaryExpr*> chain;
  const Expr* innermost = this;
  for (const BinaryExpr* binary = this; binary != nullptr; binary = innermost->AsBinary()) {
    chain.push_back(binary);
    innermost = binary->left.get();
  }
  Val value = innermost->Eval(ex);
  for (size_t i = chain.size(); i-- > 0;) value = chain[i]->Apply(ex, std::move(value));
  return value;
}

Val BinaryExpr::Apply(Exec& ex, Val leftValue) const {
  if (op == Op::And || op == Op::Or) {
    const bool leftTrue = IsTrue(*leftValue->GetReferenceDeep());
    if (op == Op::And && !leftTrue) return Val::Owned(NewBoolean(false));
    if (op == Op::Or && leftTrue) return Val::Owned(NewBoolean(true));
    return Val::Owned(NewBoolean(IsTrue(*right->Eval(ex)->GetReferenceDeep())));
  }
  Val rightValue = right->Eval(ex);
  const Variant& a = *leftValue->GetReferenceDeep();
  const Variant& b = *rightValue->GetReferenceDeep();

  if (op == Op::Eq) return Val::Owned(NewBoolean(ValuesEqual(a, b)));
  if (op == Op::Ne) return Val::Owned(NewBoolean(!ValuesEqual(a, b)));

  auto* ia = Get<int64_t>(a);
  auto* ib = Get<int64_t>(b);
  double da = 0, db = 0;
  const bool numeric = AsNumber(a, da) && AsNumber(b, db);
  auto* sa = Get<std::u16string>(a);
  auto* sb = Get<std::u16string>(b);
  auto mismatch = [&](const char* verb) -> Val {
    ex.Fail(QUILL_ERR_WRONG_TYPE,
            std::string("cannot ") + verb + " " + Utf16ToUtf8(TypeName(a)) + " and " + Utf16ToUtf8(TypeName(b)), loc);
  };

  switch (op) {
    case Op::Add:
      if (ia && ib) return Val::Owned(NewInteger(Wrap(static_cast<uint64_t>(*ia) + static_cast<uint64_t>(*ib))));
      if (numeric) return Val::Owned(NewDecimal(da + db));
      if (sa || sb) {
        auto v = MakeVariant();
        v->SetString(a.GetString(ex.state) + b.GetString(ex.state));
        return Val::Owned(std::move(v));
      }
      return mismatch("add");
    case Op::Sub:
      if (ia && ib) return Val::Owned(NewInteger(Wrap(static_cast<uint64_t>(*ia) - static_cast<uint64_t>(*ib))));
      if (numeric) return Val::Owned(NewDecimal(da - db));
      return mismatch("subtract");
    case Op::Mul:
      if (ia && ib) return Val::Owned(NewInteger(Wrap(static_cast<uint64_t>(*ia) * static_cast<uint64_t>(*ib))));
      if (numeric) return Val::Owned(NewDecimal(da * db));
      return mismatch("multiply");
    case Op::Div:
    case Op::Mod:
      if (!numeric) return mismatch(op == Op::Div ? "divide" : "take the remainder of");
      if (db == 0) ex.Fail(QUILL_ERR_INVALID, "division by zero", loc);
      if (ia && ib) {
        if (*ib == -1) return Val::Owned(NewInteger(op == Op::Div ? Wrap(0 - static_cast<uint64_t>(*ia)) : 0));
        return Val::Owned(NewInteger(op == Op::Div ? *ia / *ib : *ia % *ib));
      }
      if (op == Op::Mod) return mismatch("take the remainder of");
      return Val::Owned(NewDecimal(da / db));
    case Op::Lt:
    case Op::Le:
    case Op::Gt:
    case Op::Ge: {
      int order;
      if (ia && ib) order = (*ia > *ib) - (*ia < *ib);
      else if (numeric) order = (da > db) - (da < db);
      else if (sa && sb) order = sa->compare(*sb) < 0 ? -1 : (*sa == *sb ? 0 : 1);
      else return mismatch("compare");
      const bool result = op == Op::Lt ? order < 0 : op == Op::Le ? order <= 0 : op == Op::Gt ? order > 0 : order >= 0;
      return Val::Owned(NewBoolean(result));
    }
    default: break;
  }
  ex.Fail(QUILL_ERR_GENERIC, "unknown operator", loc);
}

// ---- statements ----

void Expr::Emit(Exec& ex) const {
  Val value = Eval(ex);
  ex.Output(*value);
}

Flow ExprStmt::Run(Exec& ex) const {
  if (const Variant* constant = expr->Constant()) ex.Output(*constant);
  else expr->Emit(ex);
  return Flow::Next;
}

Flow VarStmt::Run(Exec& ex) const {
  std::optional<Val> v;
  if (value) v.emplace(value->Eval(ex));
  Variant& target = (global ? ex.data.globals : *ex.data.locals).Define(name);
  if (v) ex.Store(std::move(*v), target);
  else target.Init();
  return Flow::Next;
}

Flow AssignStmt::Run(Exec& ex) const {
  Val v = value->Eval(ex);
  Variant* target = ex.data.locals->Find(name);
  if (target == nullptr) target = ex.data.globals.Find(name);
  if (target == nullptr) target = &ex.data.locals->Define(name);
  ex.Store(std::move(v), *target);
  return Flow::Next;
}

Flow PlaceAssignStmt::Run(Exec& ex) const {
  Val val = value->Eval(ex);
  Variant* source = val.IsOwned() ? nullptr : &*val;
  VariantPtr v = val.Release();  // a copy: the place may lie inside the value read
  Variant* place = target->Place(ex, true);
  place->Take(*v);
  if (source != nullptr) ex.Copied(*place, *source);
  return Flow::Next;
}

Flow IfStmt::Run(Exec& ex) const {
  for (const auto& [condition, block] : branches) {
    if (IsTrue(*condition->Eval(ex)->GetReferenceDeep())) return ex.RunBlock(*block);
  }
  return otherwise ? ex.RunBlock(*otherwise) : Flow::Next;
}

Flow WhileStmt::Run(Exec& ex) const {
  while (IsTrue(*condition->Eval(ex)->GetReferenceDeep())) {
    ex.Step(loc);
    if (ex.RunBlock(*body) == Flow::Return) return Flow::Return;
  }
  return Flow::Next;
}

Flow ReturnStmt::Run(Exec& ex) const {
  auto out = MakeVariant();
  if (value) ex.Store(value->Eval(ex), *out);
  ex.returned = std::move(out);
  return Flow::Return;
}

Flow TryStmt::Run(Exec& ex) const {
  try {
    return ex.RunBlock(*body);
  } catch (const ScriptError& error) {
    if (ex.timedOut) throw;  // a run out of time ends, whatever catches it
    if (!handler) return Flow::Next;
    ex.caught.push_back(&error);
    struct Pop {
      std::vector<const ScriptError*>& caught;
      ~Pop() { caught.pop_back(); }
    } pop{ex.caught};
    return ex.RunBlock(*handler);
  }
}

Flow DefineStmt::Run(Exec& ex) const {
  ex.data.definedTags[folded] = tag;
  return Flow::Next;
}

}  // namespace quill_script
