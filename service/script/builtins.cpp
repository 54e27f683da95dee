// Built-in tags (SubstitutionTags in the process-wide tag table, like module tags) and the
// built-in members of the value types.
#include <atomic>
#include <charconv>
#include <cmath>
#include <mutex>
#include <unordered_map>

#include "host/site.h"
#include "service/script/interpreter.h"
#include "service/values/constants.h"
#include "service/values/tag_table.h"
#include "service/values/text.h"
#include "service/values/value_forms.h"

namespace quill_script {

using namespace quill_service;

namespace {

[[noreturn]] void Fail(osError code, const std::string& message) { throw osException(message.c_str(), code); }

// Parameters of a built-in: a named parameter by its name, else the index-th positional one.
const Variant* FindArg(const TagCall& call, size_t index, std::u16string_view name) {
  if (const TagParam* named = call.FindParam(name)) return &named->Deep();
  size_t position = 0;
  for (const auto& param : call.params) {
    if (!param.name.empty()) continue;
    if (position++ == index) return &param.Deep();
  }
  return nullptr;
}

const Variant& NeedArg(const TagCall& call, size_t index, std::u16string_view name) {
  const Variant* v = FindArg(call, index, name);
  if (v == nullptr) Fail(QUILL_ERR_NOT_FOUND, "missing parameter -" + Utf16ToUtf8(name));
  return *v;
}

int64_t ToInteger(const Variant& v, std::u16string_view what) {
  if (auto* i = Get<int64_t>(v)) return *i;
  if (auto* d = Get<double>(v)) {
    if (!std::isfinite(*d) || std::fabs(*d) >= 9.2e18) Fail(QUILL_ERR_INVALID, "number out of integer range");
    return static_cast<int64_t>(*d);
  }
  if (auto* b = Get<bool>(v)) return *b ? 1 : 0;
  if (auto* s = Get<std::u16string>(v)) {
    std::string text = Utf16ToUtf8(*s);
    int64_t n = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec == std::errc() && end == text.data() + text.size() && !text.empty()) return n;
  }
  Fail(QUILL_ERR_WRONG_TYPE, Utf16ToUtf8(what) + " must be an integer, not " + Utf16ToUtf8(TypeName(v)));
}

int64_t IntArg(const TagCall& call, size_t index, std::u16string_view name) {
  return ToInteger(NeedArg(call, index, name), u"-" + std::u16string(name));
}

std::u16string TextArg(const TagCall& call, size_t index, std::u16string_view name) {
  return NeedArg(call, index, name).GetString(nullptr);
}

void SetText(Variant& v, std::u16string_view text) { v.SetString(std::u16string(text)); }

// ---- built-in tags ----

struct Context {
  TagCall& call;
  Variant& result;
  Request& request;
  QPExecState* state;
  Exec* exec;  // null when the tag is not run by the interpreter

  Exec& Interpreter() const {
    if (exec == nullptr) Fail(QUILL_ERR_NO_TAG, "this tag runs only in scripts");
    return *exec;
  }
};

using BuiltinFn = void (*)(Context&);

class BuiltinTag : public SubstitutionTag {
 public:
  explicit BuiltinTag(BuiltinFn fn) : fn_(fn) {}
  const char* GetModuleName() override { return "builtin"; }
  void Run(CallFrame* frame, Variant* result, Request* request) override {
    QPExecState* state = frame != nullptr ? frame->state : nullptr;
    if (state == nullptr || state->call == nullptr || result == nullptr || request == nullptr) {
      Fail(QUILL_ERR_NO_TAG, "built-in tag run without a tag call");
    }
    auto* callState = dynamic_cast<CallState*>(state);
    Context context{*state->call, *result, *request, state, callState != nullptr ? &callState->exec : nullptr};
    fn_(context);
  }

 private:
  BuiltinFn fn_;
};

// Calls the QCAPI the way a module does, through a token of its own.
template <class F>
void ThroughQcapi(Context& c, const char* failure, F&& call) {
  TExecState state(c.state);
  const osError code = call(state.Token());
  if (code != 0) Fail(code, failure);
}

constexpr const char* kBadHeader = "a header is \"Name: value\"";

void Output(Context& c) {
  for (const auto& param : c.call.params) c.request.Contents().output += Utf16ToUtf8(param.Value().GetString(c.state));
}

void Repeat(Context& c) {
  const int64_t count = IntArg(c.call, 0, u"count");
  if (c.call.body == nullptr) Fail(QUILL_ERR_NO_TAG, "repeat needs a body");
  Exec* ex = c.exec;
  if (ex != nullptr) ex->loops.push_back(0);
  struct Pop {
    Exec* ex;
    ~Pop() {
      if (ex != nullptr) ex->loops.pop_back();
    }
  } pop{ex};
  for (int64_t i = 0; i < count; ++i) {
    if (ex != nullptr) ex->loops.back() = i + 1;
    Variant ignored;
    c.call.body->Run(c.state, &ignored);
  }
}

void LoopCount(Context& c) {
  Exec& ex = c.Interpreter();
  c.result.SetInteger(ex.loops.empty() ? 0 : ex.loops.back());
}

void RunChildren(Context& c) {
  Exec& ex = c.Interpreter();
  if (ex.scriptCall == nullptr || ex.scriptCall->body == nullptr) {
    Fail(QUILL_ERR_NO_TAG, "run_children needs a tag called with a body");
  }
  ex.scriptCall->body->Run(c.state, &c.result);
}

void RequestValue(Context& c, const KeyValues& entries, bool ignoreCase) {
  const std::string* value = FindKey(entries, Utf16ToUtf8(TextArg(c.call, 0, u"name")), ignoreCase);
  if (value != nullptr) c.result.SetString(Utf8ToUtf16(*value));
}

void RequestParam(Context& c) { RequestValue(c, c.request.Contents().params, false); }
void Cookie(Context& c) { RequestValue(c, c.request.Contents().cookies, false); }
void RequestHeader(Context& c) { RequestValue(c, c.request.Contents().headers, true); }

// header_get(): all result headers as one text; header_get('Name'): the first value of that header.
void HeaderGet(Context& c) {
  const auto& headers = c.request.Contents().resultHeaders;
  const Variant* name = FindArg(c.call, 0, u"name");
  if (name == nullptr) {
    std::u16string all;
    for (const auto& line : headers) all += line + u"\r\n";
    c.result.SetString(std::move(all));
    return;
  }
  const std::u16string wanted = name->GetString(nullptr);
  for (const auto& line : headers) {
    auto colon = line.find(u':');
    std::u16string_view field = std::u16string_view(line).substr(0, colon);
    while (!field.empty() && field.back() == u' ') field.remove_suffix(1);
    if (colon != std::u16string::npos && EqualsIgnoreCase(field, wanted)) {
      std::u16string_view value = std::u16string_view(line).substr(colon + 1);
      while (!value.empty() && value.front() == u' ') value.remove_prefix(1);
      SetText(c.result, value);
      return;
    }
  }
}

// encode_html(text): the text with the characters HTML gives a meaning to written as references,
// fit for element content and quoted attribute values.
void EncodeHtml(Context& c) {
  std::u16string encoded;
  for (const char16_t unit : TextArg(c.call, 0, u"text")) {
    switch (unit) {
      case u'&': encoded += u"&amp;"; break;
      case u'<': encoded += u"&lt;"; break;
      case u'>': encoded += u"&gt;"; break;
      case u'"': encoded += u"&quot;"; break;
      case u'\'': encoded += u"&#39;"; break;
      default: encoded += unit;
    }
  }
  c.result.SetString(std::move(encoded));
}

void HeaderSet(Context& c) {
  const std::u16string line = TextArg(c.call, 0, u"header");
  ThroughQcapi(c, kBadHeader, [&](quill_token t) { return quill_setResultHeaderW(t, Units(line)); });
}

void HeaderAdd(Context& c) {
  const std::u16string line = TextArg(c.call, 0, u"header");
  ThroughQcapi(c, kBadHeader, [&](quill_token t) { return quill_addResultHeaderW(t, Units(line)); });
}

// result_code() gives the code; result_code(n) sets it and gives nothing.
void ResultCode(Context& c) {
  if (const Variant* code = FindArg(c.call, 0, u"code")) {
    const int64_t n = ToInteger(*code, u"-code");
    if (n < INT32_MIN || n > INT32_MAX) Fail(QUILL_ERR_INVALID, "a result code is a 32-bit number");
    return c.request.SetResultCode(static_cast<osError>(n));
  }
  c.result.SetInteger(c.request.GetResultCode());
}

void ResultMessage(Context& c) {
  if (const Variant* message = FindArg(c.call, 0, u"message")) {
    return c.request.GetResultMessage()->SetString(message->GetString(nullptr));
  }
  c.result.SetString(c.request.GetResultMessage()->GetString(c.state));
}

void ErrorCode(Context& c) {
  Exec& ex = c.Interpreter();
  c.result.SetInteger(ex.caught.empty() ? 0 : ex.caught.back()->GetCode());
}

void ErrorMessage(Context& c) {
  Exec& ex = c.Interpreter();
  c.result.SetString(ex.caught.empty() ? u"" : Utf8ToUtf16(ex.caught.back()->what()));
}

// fail(code, message): leaves both in the request's result, as a failing module tag does.
void FailTag(Context& c) {
  const int64_t code = IntArg(c.call, 0, u"code");
  const std::u16string message = FindArg(c.call, 1, u"message") ? TextArg(c.call, 1, u"message") : u"";
  if (code == 0 || code < INT32_MIN || code > INT32_MAX) Fail(QUILL_ERR_INVALID, "fail needs a non-zero 32-bit code");
  c.request.SetResultCode(static_cast<osError>(code));
  c.request.GetResultMessage()->SetString(message);
  Fail(static_cast<osError>(code), Utf16ToUtf8(message));
}

void MakeArray(Context& c) {
  ArrayValue array;
  for (const auto& param : c.call.params) array.items.push_back(CopyVariant(param.Value()));
  c.result.Contents().value = std::move(array);
}

// map('k', v, ...) or map(-k=v, ...)
void MakeMap(Context& c) {
  MapValue map;
  const TagParam* pendingKey = nullptr;
  for (const auto& param : c.call.params) {
    if (!param.name.empty()) {
      auto key = MakeVariant();
      key->SetString(param.name);
      map.entries.emplace_back(std::move(key), CopyVariant(param.Value()));
    } else if (pendingKey == nullptr) {
      pendingKey = &param;
    } else {
      map.entries.emplace_back(CopyVariant(pendingKey->Value()), CopyVariant(param.Value()));
      pendingKey = nullptr;
    }
  }
  if (pendingKey != nullptr) Fail(QUILL_ERR_INVALID, "map needs a value for every key");
  c.result.Contents().value = std::move(map);
}

void MakePair(Context& c) {
  PairValue pair{CopyVariant(NeedArg(c.call, 0, u"first")), CopyVariant(NeedArg(c.call, 1, u"second"))};
  c.result.Contents().value = std::move(pair);
}

void FindTagByName(Context& c) {
  if (auto tag = FindTag(&c.request, TextArg(c.call, 0, u"name"), false)) c.result.SetTag(tag.Shared());
}

void ToString(Context& c) { c.result.SetString(NeedArg(c.call, 0, u"value").GetString(c.state)); }
void ToIntegerTag(Context& c) { c.result.SetInteger(ToInteger(NeedArg(c.call, 0, u"value"), u"the value")); }

void ToDecimal(Context& c) {
  const Variant& v = NeedArg(c.call, 0, u"value");
  if (auto* d = Get<double>(v)) return c.result.SetDecimal(*d);
  if (auto* s = Get<std::u16string>(v)) {
    std::string text = Utf16ToUtf8(*s);
    double d = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
    if (ec == std::errc() && end == text.data() + text.size() && !text.empty()) return c.result.SetDecimal(d);
    Fail(QUILL_ERR_WRONG_TYPE, "'" + text + "' is not a number");
  }
  c.result.SetDecimal(static_cast<double>(ToInteger(v, u"the value")));
}

// unserialize(bytes): the value back; a custom value's "onunserialize" member receives its state.
void Unserialize(Context& c) {
  const Variant& v = NeedArg(c.call, 0, u"bytes");
  auto* bytes = Get<Bytes>(v);
  if (bytes == nullptr) Fail(QUILL_ERR_WRONG_TYPE, "-bytes must be bytes, not " + Utf16ToUtf8(TypeName(v)));
  const FormHooks hooks = TypeCallbackHooks(*c.state);
  VariantPtr value = FromExternalForm(bytes->bytes, "serialized", &hooks);
  c.result.Take(*value);
}

void ToBoolean(Context& c) { c.result.SetBoolean(IsTrue(NeedArg(c.call, 0, u"value"))); }

// constant('name') or constant('group::name'): a constant a module registered.
void Constant(Context& c) {
  const std::u16string name = TextArg(c.call, 0, u"name");
  const Variant* value = FindConstant(name);
  if (value == nullptr) Fail(QUILL_ERR_NOT_FOUND, "no constant " + Utf16ToUtf8(ShortenName(name)));
  c.result.Assign(*value);
}

void CurrentUser(Context& c) { c.result.SetString(Utf8ToUtf16(c.request.Contents().user)); }

void SiteId(Context& c) {
  const Site* site = c.request.GetSite();
  c.result.SetInteger(site != nullptr ? site->GetID() : 0);
}

void SiteName(Context& c) {
  const Site* site = c.request.GetSite();
  c.result.SetString(site != nullptr ? site->GetName() : u"");
}

struct BuiltinEntry {
  const char16_t* name;
  BuiltinFn fn;
  const char16_t* returnType;
  std::vector<ExpectedParam> params;
};

std::vector<BuiltinEntry> BuiltinEntries() {
  return {
      {u"output", Output, u"", {}},
      {u"repeat", Repeat, u"", {{u"count", u"integer", true}}},
      {u"loop_count", LoopCount, u"integer", {}},
      {u"run_children", RunChildren, u"", {}},
      {u"request_param", RequestParam, u"", {{u"name", u"string", true}}},
      {u"cookie", Cookie, u"", {{u"name", u"string", true}}},
      {u"request_header", RequestHeader, u"", {{u"name", u"string", true}}},
      {u"header_get", HeaderGet, u"", {{u"name", u"string", false}}},
      {u"header_set", HeaderSet, u"", {{u"header", u"string", true}}},
      {u"header_add", HeaderAdd, u"", {{u"header", u"string", true}}},
      {u"encode_html", EncodeHtml, u"string", {{u"text", u"string", true}}},
      {u"result_code", ResultCode, u"integer", {{u"code", u"integer", false}}},
      {u"result_message", ResultMessage, u"string", {{u"message", u"string", false}}},
      {u"error_code", ErrorCode, u"integer", {}},
      {u"error_message", ErrorMessage, u"string", {}},
      {u"fail", FailTag, u"", {{u"code", u"integer", true}, {u"message", u"string", false}}},
      {u"array", MakeArray, u"array", {}},
      {u"map", MakeMap, u"map", {}},
      {u"pair", MakePair, u"pair", {{u"first", u"", true}, {u"second", u"", true}}},
      {u"find_tag", FindTagByName, u"", {{u"name", u"string", true}}},
      {u"string", ToString, u"string", {{u"value", u"", true}}},
      {u"integer", ToIntegerTag, u"integer", {{u"value", u"", true}}},
      {u"decimal", ToDecimal, u"decimal", {{u"value", u"", true}}},
      {u"boolean", ToBoolean, u"boolean", {{u"value", u"", true}}},
      {u"unserialize", Unserialize, u"", {{u"bytes", u"bytes", true}}},
      {u"constant", Constant, u"", {{u"name", u"string", true}}},
      {u"current_user", CurrentUser, u"string", {}},
      {u"site_id", SiteId, u"integer", {}},
      {u"site_name", SiteName, u"string", {}},
  };
}

// ---- built-in members ----

struct Member {
  Exec& ex;
  TagCall& call;
  Variant& self;
  Variant& result;
};

using MemberFn = void (*)(Member&);

size_t IndexArg(Member& m, size_t size) {
  const int64_t index = IntArg(m.call, 0, u"index");
  if (index < 0 || static_cast<uint64_t>(index) >= size) {
    Fail(QUILL_ERR_OUT_OF_RANGE, "index " + std::to_string(index) + " out of range (size " + std::to_string(size) + ")");
  }
  return static_cast<size_t>(index);
}

void TypeMember(Member& m) { m.result.SetString(TypeName(m.self)); }
void StringMember(Member& m) { m.result.SetString(m.self.GetString(m.ex.state)); }

// $v->serialize(): the serialized form as bytes; a custom value's "onserialize" member gives its state.
void SerializeMember(Member& m) {
  const FormHooks hooks = TypeCallbackHooks(*m.ex.state);
  m.result.SetBytes(ToExternalForm(m.self, "serialized", &hooks));
}

void StringSize(Member& m) { m.result.SetInteger(static_cast<int64_t>(Get<std::u16string>(m.self)->size())); }
void StringUpper(Member& m) {
  std::u16string text = *Get<std::u16string>(m.self);
  for (auto& ch : text) ch = (ch >= u'a' && ch <= u'z') ? static_cast<char16_t>(ch - 32) : ch;
  m.result.SetString(std::move(text));
}
void StringLower(Member& m) { m.result.SetString(FoldCase(*Get<std::u16string>(m.self))); }
void StringContains(Member& m) {
  m.result.SetBoolean(Get<std::u16string>(m.self)->find(TextArg(m.call, 0, u"text")) != std::u16string::npos);
}

std::vector<VariantPtr>& Items(Member& m) { return Get<ArrayValue>(m.self)->items; }
void ArraySize(Member& m) { m.result.SetInteger(static_cast<int64_t>(Items(m).size())); }
void ArrayGet(Member& m) { m.result.Assign(*Items(m)[IndexArg(m, Items(m).size())]); }
void ArrayAppend(Member& m) {
  for (const auto& param : m.call.params) Items(m).push_back(CopyVariant(param.Value()));
}
void ArrayRemove(Member& m) {
  auto& items = Items(m);
  const size_t index = IndexArg(m, items.size());
  VariantPtr removed = std::move(items[index]);
  items.erase(items.begin() + static_cast<ptrdiff_t>(index));
  m.result.Take(*removed);
}
void ArrayJoin(Member& m) {
  const std::u16string separator = FindArg(m.call, 0, u"separator") ? TextArg(m.call, 0, u"separator") : u"";
  std::u16string out;
  for (size_t i = 0; i < Items(m).size(); ++i) {
    if (i > 0) out += separator;
    out += Items(m)[i]->GetString(m.ex.state);
  }
  m.result.SetString(std::move(out));
}
void ArrayContains(Member& m) {
  const Variant& wanted = NeedArg(m.call, 0, u"value");
  bool found = false;
  for (const auto& item : Items(m)) found = found || ValuesEqual(*item, wanted);
  m.result.SetBoolean(found);
}

MapValue& Map(Member& m) { return *Get<MapValue>(m.self); }
void MapSize(Member& m) { m.result.SetInteger(static_cast<int64_t>(Map(m).entries.size())); }
void MapGet(Member& m) {
  if (Variant* v = FindMapEntry(Map(m), TextArg(m.call, 0, u"key"))) m.result.Assign(*v);
}
void MapSet(Member& m) {
  const Variant& key = NeedArg(m.call, 0, u"key");
  const Variant& value = NeedArg(m.call, 1, u"value");
  if (Variant* existing = FindMapEntry(Map(m), key.GetString(nullptr))) return existing->Assign(value);
  Map(m).entries.emplace_back(CopyVariant(key), CopyVariant(value));
}
void MapContains(Member& m) { m.result.SetBoolean(FindMapEntry(Map(m), TextArg(m.call, 0, u"key")) != nullptr); }
void MapRemove(Member& m) {
  const std::u16string key = TextArg(m.call, 0, u"key");
  auto& entries = Map(m).entries;
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (it->first->GetString(nullptr) == key) {
      VariantPtr value = std::move(it->second);
      entries.erase(it);
      m.result.Take(*value);
      return;
    }
  }
}
void MapKeys(Member& m) {
  ArrayValue keys;
  for (const auto& entry : Map(m).entries) keys.items.push_back(CopyVariant(*entry.first));
  m.result.Contents().value = std::move(keys);
}

void PairFirst(Member& m) { m.result.Assign(*Get<PairValue>(m.self)->first); }
void PairSecond(Member& m) { m.result.Assign(*Get<PairValue>(m.self)->second); }

void BytesSize(Member& m) { m.result.SetInteger(static_cast<int64_t>(Get<Bytes>(m.self)->bytes.size())); }

const TagDefinition& Tag(Member& m) { return **Get<TagValue>(m.self); }
void TagName(Member& m) { m.result.SetString(Tag(m).name); }
void TagReturnType(Member& m) { m.result.SetString(Tag(m).returnType); }
void TagParamCount(Member& m) { m.result.SetInteger(static_cast<int64_t>(Tag(m).params.size())); }
void TagParamName(Member& m) { m.result.SetString(Tag(m).params[IndexArg(m, Tag(m).params.size())].name); }
void TagParamType(Member& m) { m.result.SetString(Tag(m).params[IndexArg(m, Tag(m).params.size())].type); }

// $tag->invoke(params...) => { body }: runs the tag with this call's parameters and body.
void TagInvoke(Member& m, Location loc) {
  TagCall call;
  call.definition = *Get<TagValue>(m.self);
  call.name = call.definition->name;
  call.params = std::move(m.call.params);
  call.body = m.call.body;
  call.result = &m.result;
  m.ex.Invoke(call, loc);
}

struct MemberKey {
  int32_t type;
  std::u16string name;
  bool operator==(const MemberKey&) const = default;
};

struct MemberKeyHash {
  size_t operator()(const MemberKey& k) const { return std::hash<std::u16string>{}(k.name) ^ static_cast<size_t>(k.type); }
};

constexpr int32_t kAnyType = 0;

const std::unordered_map<MemberKey, MemberFn, MemberKeyHash>& Members() {
  static const std::unordered_map<MemberKey, MemberFn, MemberKeyHash> members = {
      {{kAnyType, u"type"}, TypeMember},
      {{kAnyType, u"string"}, StringMember},
      {{kAnyType, u"serialize"}, SerializeMember},
      {{QUILL_TYPE_STRING, u"size"}, StringSize},
      {{QUILL_TYPE_STRING, u"upper"}, StringUpper},
      {{QUILL_TYPE_STRING, u"lower"}, StringLower},
      {{QUILL_TYPE_STRING, u"contains"}, StringContains},
      {{QUILL_TYPE_ARRAY, u"size"}, ArraySize},
      {{QUILL_TYPE_ARRAY, u"get"}, ArrayGet},
      {{QUILL_TYPE_ARRAY, u"append"}, ArrayAppend},
      {{QUILL_TYPE_ARRAY, u"remove"}, ArrayRemove},
      {{QUILL_TYPE_ARRAY, u"join"}, ArrayJoin},
      {{QUILL_TYPE_ARRAY, u"contains"}, ArrayContains},
      {{QUILL_TYPE_MAP, u"size"}, MapSize},
      {{QUILL_TYPE_MAP, u"get"}, MapGet},
      {{QUILL_TYPE_MAP, u"set"}, MapSet},
      {{QUILL_TYPE_MAP, u"contains"}, MapContains},
      {{QUILL_TYPE_MAP, u"remove"}, MapRemove},
      {{QUILL_TYPE_MAP, u"keys"}, MapKeys},
      {{QUILL_TYPE_PAIR, u"first"}, PairFirst},
      {{QUILL_TYPE_PAIR, u"second"}, PairSecond},
      {{QUILL_TYPE_BYTES, u"size"}, BytesSize},
      {{QUILL_TYPE_TAG, u"name"}, TagName},
      {{QUILL_TYPE_TAG, u"return_type"}, TagReturnType},
      {{QUILL_TYPE_TAG, u"param_count"}, TagParamCount},
      {{QUILL_TYPE_TAG, u"param_name"}, TagParamName},
      {{QUILL_TYPE_TAG, u"param_type"}, TagParamType},
  };
  return members;
}

}  // namespace

bool RunBuiltinMember(Exec& ex, TagCall& call, Variant& self, Location loc) {
  const std::u16string name = FoldCase(call.name);
  Member member{ex, call, self, *call.result};
  try {
    if (self.GetType() == QUILL_TYPE_TAG && name == u"invoke") {
      TagInvoke(member, loc);
      return true;
    }
    const auto& members = Members();
    auto it = members.find({self.GetType(), name});
    if (it == members.end()) it = members.find({kAnyType, name});
    if (it == members.end()) return false;
    it->second(member);
  } catch (const ScriptError&) {
    throw;
  } catch (const osException& e) {
    ex.Fail(e.GetCode() != 0 ? e.GetCode() : QUILL_ERR_GENERIC, e.what(), loc);
  }
  return true;
}

void RegisterBuiltinTags() {
  static std::mutex mutex;
  static std::atomic<uint64_t> registeredEpoch{UINT64_MAX};
  TagTable& table = TagTable::Global();
  // Every run asks; all but the first after a reset of the table answer here, without the lock
  // every worker would take in turn.
  if (registeredEpoch.load(std::memory_order_acquire) == table.Epoch()) return;
  std::lock_guard lock(mutex);
  if (registeredEpoch.load(std::memory_order_relaxed) == table.Epoch()) return;
  for (auto& entry : BuiltinEntries()) {
    auto tag = std::make_unique<BuiltinTag>(entry.fn);
    auto definition = std::make_shared<TagDefinition>();
    definition->name = entry.name;
    definition->moduleName = u"builtin";
    definition->returnType = entry.returnType;
    definition->params = std::move(entry.params);
    definition->native = tag.get();
    // A module's tag of the same name wins.
    table.RegisterIfAbsent(std::move(definition), std::move(tag));
  }
  RegisterDatabaseTags(table);
  registeredEpoch.store(table.Epoch(), std::memory_order_release);
}

}  // namespace quill_script
