// The QCAPI functions of script values: making, reading, changing, relating and freeing them.
//
// Values a module allocates are owned by the request and die with it; quill_typeFree ends one
// sooner. Containers copy what they are given, so a value handed to a container stays the
// caller's, and an element's handle names the copy inside the container for as long as it stays
// there. Every handle argument is resolved through the value table, so a stale or invented one
// is refused (QUILL_ERR_BAD_HANDLE) rather than followed.
#include <unicode/ucnv.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>

#include "host/qcapi.h"
#include "service/script/interpreter.h"
#include "service/values/qcapi_support.h"
#include "service/script/script.h"
#include "service/values/value_forms.h"

using namespace quill_service;


namespace {

using CustomPtr = std::unique_ptr<CustomValue>;

// A handle's value with references followed: what reading and changing calls work on.
Variant& TargetOf(quill_type handle) { return *ValueOf(handle).GetReferenceDeep(); }

template <class T>
T& KindOf(quill_type handle) {
  T* contents = Get<T>(TargetOf(handle));
  if (contents == nullptr) Fail(QUILL_ERR_WRONG_TYPE, "value of another kind");
  return *contents;
}

CustomValue& CustomOf(quill_type handle) { return *KindOf<CustomPtr>(handle); }

// A copy of the value a handle names; handle 0 stands for null.
VariantPtr CopyOf(quill_type handle) {
  if (handle == 0) return MakeVariant();
  return CopyVariant(ValueOf(handle));
}

// Hands a new value to the request and writes its handle.
osError Publish(TExecState& s, VariantPtr value, quill_type* handle) {
  Require(handle);
  const quill_type h = RequestOf(s).Own(std::move(value))->Handle();
  if (h == 0) Fail(QUILL_ERR_GENERIC, "the value table is full");
  *handle = h;
  return QUILL_OK;
}

osError Found(Variant* value, quill_type* handle) {
  Require(handle);
  if (value == nullptr) return QUILL_ERR_NOT_FOUND;
  const quill_type h = value->Handle();
  if (h == 0) Fail(QUILL_ERR_GENERIC, "the value table is full");
  *handle = h;
  return QUILL_OK;
}

template <class Make>
osError Alloc(quill_token t, quill_type* handle, Make&& make) {
  return WithState(t, [&](TExecState& s) -> osError {
    Require(handle);
    auto value = MakeVariant();
    make(*value);
    return Publish(s, std::move(value), handle);
  });
}

template <class Body>
osError Change(quill_token t, quill_type value, Body&& change) {
  return WithState(t, [&](TExecState&) -> osError {
    change(TargetOf(value));
    return QUILL_OK;
  });
}

ArrayValue MakeArray(int32_t count, const quill_type* elements) {
  if (count < 0 || (count > 0 && elements == nullptr)) Fail(QUILL_ERR_INVALID, "bad element list");
  ArrayValue array;
  array.items.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) array.items.push_back(CopyOf(elements[i]));
  return array;
}

// Sets key to value: an entry whose key has the same text is replaced, else one is appended.
void PutEntry(MapValue& map, VariantPtr key, VariantPtr value) {
  const std::u16string text = key->GetString(nullptr);
  for (auto& entry : map.entries) {
    if (entry.first->GetString(nullptr) == text) {
      entry.second = std::move(value);
      return;
    }
  }
  map.entries.emplace_back(std::move(key), std::move(value));
}

MapValue MakeMap(int32_t count, const quill_type* items) {
  if (count < 0 || count % 2 != 0 || (count > 0 && items == nullptr)) Fail(QUILL_ERR_INVALID, "bad key/value list");
  MapValue map;
  map.entries.reserve(static_cast<size_t>(count / 2));
  for (int32_t i = 0; i < count; i += 2) PutEntry(map, CopyOf(items[i]), CopyOf(items[i + 1]));
  return map;
}

size_t IndexIn(size_t size, int32_t index) {
  if (index < 0 || static_cast<size_t>(index) >= size) Fail(QUILL_ERR_OUT_OF_RANGE, "index out of range");
  return static_cast<size_t>(index);
}

bool IsBinary(const char* charset) { return std::strcmp(charset, "BINARY") == 0; }

// Bytes in charset decoded by ICU; an unknown charset or undecodable input is refused.
std::u16string Decode(const char* bytes, int32_t length, const char* charset) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UConverter, decltype(&ucnv_close)> conv(ucnv_open(charset, &status), &ucnv_close);
  if (U_FAILURE(status)) Fail(QUILL_ERR_INVALID, "unknown charset");
  std::u16string out(static_cast<size_t>(length) * 2 + 1, u'\0');
  const int32_t n = ucnv_toUChars(conv.get(), out.data(), static_cast<int32_t>(out.size()), bytes, length, &status);
  if (U_FAILURE(status)) Fail(QUILL_ERR_INVALID, "text cannot be decoded");
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string Encode(std::u16string_view text, const char* charset) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UConverter, decltype(&ucnv_close)> conv(ucnv_open(charset, &status), &ucnv_close);
  if (U_FAILURE(status)) Fail(QUILL_ERR_INVALID, "unknown charset");
  const int32_t need = ucnv_fromUChars(conv.get(), nullptr, 0, text.data(), static_cast<int32_t>(text.size()), &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) Fail(QUILL_ERR_INVALID, "text cannot be encoded");
  status = U_ZERO_ERROR;
  std::string out(static_cast<size_t>(need), '\0');
  ucnv_fromUChars(conv.get(), out.data(), need, text.data(), static_cast<int32_t>(text.size()), &status);
  if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING) Fail(QUILL_ERR_INVALID, "text cannot be encoded");
  return out;
}

// Byte form of text in a charset: "BINARY" takes bytes as they are; other text is decoded.
void SetFromBytes(Variant& v, const void* bytes, int32_t length, const char* charset) {
  Require(charset);
  if (length < 0 || (length > 0 && bytes == nullptr)) Fail(QUILL_ERR_INVALID, "bad byte buffer");
  const char* data = static_cast<const char*>(bytes);
  if (IsBinary(charset)) return v.SetBytes(std::string(data, static_cast<size_t>(length)));
  v.SetString(Decode(data, length, charset));
}

bool IsOfType(Variant& v, std::u16string_view name) {
  if (EqualsIgnoreCase(TypeName(v), name)) return true;
  auto* custom = Get<CustomPtr>(v);
  return custom && (*custom)->parent && IsOfType(*(*custom)->parent, name);
}

// Runs a call whose definition, parameters and result are set, whatever implements the tag.
osError RunTagCall(QPExecState& s, TagCall& call) {
  const TagRef& tag = call.definition;
  QPExecState callState(s.request, &s);
  callState.call = &call;
  if (tag->native != nullptr) {
    CallFrame frame{&callState};
    tag->native->Run(&frame, call.result, s.request);
  } else if (tag->function != nullptr) {
    TExecState cState(&callState);
    return tag->function(cState.Token());
  } else if (tag->script) {
    return quill_script::RunScriptTagFromHost(s, call);
  } else {
    return QUILL_ERR_WRONG_TYPE;
  }
  return QUILL_OK;
}

// name: what the call is named (a member's name); empty for the tag's own name.
osError RunTag(TExecState& s, const TagValue& tag, quill_type self, int32_t count, const quill_type* params,
               quill_type* handle, std::u16string_view name = {}) {
  Require(handle);
  if (count < 0 || (count > 0 && params == nullptr)) Fail(QUILL_ERR_INVALID, "bad parameter list");
  TagCall call;
  call.name = name.empty() ? tag->name : std::u16string(name);
  call.definition = tag;
  call.self = self;
  for (int32_t i = 0; i < count; ++i) call.params.push_back(TagParam{u"", CopyOf(params[i])});
  auto result = MakeVariant();
  call.result = result.get();
  if (const osError code = RunTagCall(s, call)) return code;
  return Publish(s, std::move(result), handle);
}

// Runs a custom value's callback member (onassign, onserialize, onunserialize) with one
// parameter; what it outputs is given back instead of reaching the request's output. No such
// member: false. A failing callback throws its code.
}  // namespace

bool quill_service::RunTypeCallback(QPExecState& s, Variant& self, std::u16string_view name, VariantPtr param, std::string* output) {
  auto* custom = Get<CustomPtr>(self);
  TagValue tag = custom ? FindMemberTag(**custom, name) : nullptr;
  if (!tag || s.request == nullptr) return false;
  TagCall call;
  call.name = std::u16string(name);
  call.definition = tag;
  call.self = self.Handle();
  if (param) call.params.push_back(TagParam{u"", std::move(param)});
  auto result = MakeVariant();
  call.result = result.get();
  std::string& sink = s.request->Contents().output;
  std::string saved = std::exchange(sink, std::string());
  osError code = QUILL_ERR_GENERIC;
  try {
    code = RunTagCall(s, call);
  } catch (...) {
    sink = std::move(saved);
    throw;
  }
  std::string written = std::exchange(sink, std::move(saved));
  if (code != 0) Fail(code, "the type's callback failed");
  if (output != nullptr) *output = std::move(written);
  return true;
}

namespace {

osError RunTagNamed(quill_token t, const std::u16string* name, quill_type self, int32_t count,
                    const quill_type* params, quill_type* handle) {
  return WithState(t, [&](TExecState& s) -> osError {
    if (name == nullptr) {
      auto* tag = Get<TagValue>(TargetOf(self));
      if (tag == nullptr) return QUILL_ERR_WRONG_TYPE;
      return RunTag(s, *tag, self, count, params, handle);
    }
    CustomValue& custom = CustomOf(self);
    if (TagValue tag = FindMemberTag(custom, *name)) return RunTag(s, tag, self, count, params, handle, *name);
    if (FindMember(custom, *name) != nullptr) return QUILL_ERR_WRONG_TYPE;
    // A type's _unknowntag member answers for names it has no member of (the call keeps the name).
    if (TagValue tag = FindMemberTag(custom, u"_unknowntag")) return RunTag(s, tag, self, count, params, handle, *name);
    return QUILL_ERR_NOT_FOUND;
  });
}

// A request-made value ends now; values it does not own (parameters, elements, variables) are
// refused, as they belong to something else.
osError FreeValue(quill_token t, quill_type value) {
  return WithState(t, [&](TExecState& s) -> osError {
    Variant& v = ValueOf(value);
    auto& values = RequestOf(s).values;
    auto it = std::find_if(values.begin(), values.end(), [&](const VariantPtr& p) { return p.get() == &v; });
    if (it == values.end()) return QUILL_ERR_WRONG_TYPE;
    VariantPtr dying = std::move(*it);
    values.erase(it);
    return QUILL_OK;
  });
}

osError FlagCall(quill_token t, quill_type value, bool tagOnly, int32_t flag, int what) {
  return WithState(t, [&](TExecState&) -> osError {
    Variant& v = TargetOf(value);
    if (tagOnly && Get<TagValue>(v) == nullptr) return QUILL_ERR_WRONG_TYPE;
    int32_t& flags = v.Contents().flags;
    if (what == 0) flags |= flag;
    if (what == 1) return (flags & flag) == flag && flag != 0 ? 1 : 0;
    if (what == 2) flags &= ~flag;
    return QUILL_OK;
  });
}

}  // namespace

extern "C" {

osError quill_typeAllocW(quill_token t, const quill_char* typeName, int32_t count, const quill_type* params,
                         quill_type* handle) {
  return WithState(t, [&](TExecState& s) -> osError {
    const std::u16string name = FoldCase(NameArg(typeName));
    auto value = MakeVariant();
    auto param = [&](int32_t i) { return i < count && params != nullptr ? CopyOf(params[i]) : MakeVariant(); };
    if (name == u"null") {
    } else if (name == u"array") {
      value->Contents().value = MakeArray(count, params);
    } else if (name == u"map") {
      value->Contents().value = MakeMap(count, params);
    } else if (name == u"pair") {
      value->Contents().value = PairValue{param(0), param(1)};
    } else if (name == u"string" || name == u"integer" || name == u"decimal" || name == u"boolean" ||
               name == u"bytes") {
      auto first = param(0);
      const std::u16string text = first->GetString(&s);
      if (name == u"string") value->SetString(text);
      else if (name == u"bytes") value->SetBytes(Utf16ToUtf8(text));
      else if (name == u"boolean") value->SetBoolean(IsTrue(*first));
      else if (name == u"integer") value->SetInteger(ToInteger(*first));
      else value->SetDecimal(ToDecimal(*first));
    } else {
      auto custom = std::make_unique<CustomValue>();
      custom->typeName = View(typeName);
      value->Contents().value = std::move(custom);
    }
    return Publish(s, std::move(value), handle);
  });
}

osError quill_typeAllocNull(quill_token t, quill_type* handle) {
  return Alloc(t, handle, [](Variant&) {});
}

osError quill_typeAllocStringW(quill_token t, quill_type* handle, const quill_char* text, int32_t length) {
  return Alloc(t, handle, [&](Variant& v) { v.SetString(std::u16string(TextArg(text, length))); });
}

osError quill_typeAllocStringConv(quill_token t, quill_type* handle, const void* bytes, int32_t length,
                                  const char* charset) {
  return Alloc(t, handle, [&](Variant& v) { SetFromBytes(v, bytes, length, charset); });
}

osError quill_typeAllocInteger(quill_token t, quill_type* handle, int64_t value) {
  return Alloc(t, handle, [&](Variant& v) { v.SetInteger(value); });
}

osError quill_typeAllocDecimal(quill_token t, quill_type* handle, double value) {
  return Alloc(t, handle, [&](Variant& v) { v.SetDecimal(value); });
}

// extra: digits after the point the value keeps (rounded half away from zero); negative: all.
osError quill_typeAllocDecimal2(quill_token t, quill_type* handle, double value, int32_t extra) {
  return Alloc(t, handle, [&](Variant& v) { v.SetDecimal(RoundDecimal(value, extra)); });
}

osError quill_typeAllocBoolean(quill_token t, quill_type* handle, bool value) {
  return Alloc(t, handle, [&](Variant& v) { v.SetBoolean(value); });
}

osError quill_typeAllocPair(quill_token t, quill_type* handle, quill_type first, quill_type second) {
  return Alloc(t, handle, [&](Variant& v) { v.Contents().value = PairValue{CopyOf(first), CopyOf(second)}; });
}

osError quill_typeAllocReference(quill_token t, quill_type* handle, quill_type target) {
  return Alloc(t, handle, [&](Variant& v) {
    ValueOf(target);  // a reference starts out naming a live value
    v.SetReference(target);
  });
}

osError quill_typeAllocArray(quill_token t, quill_type* handle, int32_t count, const quill_type* elements) {
  return Alloc(t, handle, [&](Variant& v) { v.Contents().value = MakeArray(count, elements); });
}

osError quill_typeAllocMap(quill_token t, quill_type* handle, int32_t count, const quill_type* items) {
  return Alloc(t, handle, [&](Variant& v) { v.Contents().value = MakeMap(count, items); });
}

osError quill_typeAllocTagFromSource(quill_token t, quill_type* handle, const char* source, int32_t length) {
  return WithState(t, [&](TExecState& s) -> osError {
    Require(handle);
    if (source == nullptr || length < 0) return QUILL_ERR_INVALID;
    // The module hands the source over as the VM's modified UTF-8; the compiler reads UTF-8.
    const std::string_view text(source, static_cast<size_t>(length));
    auto tag = CompileTagSource(Utf16ToUtf8(ModifiedUtf8ToUtf16(text)));
    if (!tag) return QUILL_ERR_INVALID;
    auto value = MakeVariant();
    value->SetTag(std::move(tag));
    return Publish(s, std::move(value), handle);
  });
}

osError quill_typeAllocCustomW(quill_token t, quill_type* handle, const quill_char* typeName) {
  return Alloc(t, handle, [&](Variant& v) {
    auto custom = std::make_unique<CustomValue>();
    custom->typeName = NameArg(typeName);
    if (custom->typeName.empty()) Fail(QUILL_ERR_INVALID, "empty type name");
    v.Contents().value = std::move(custom);
  });
}

osError quill_typeAllocFromProto(quill_token t, quill_type proto, quill_type* handle) {
  return Alloc(t, handle, [&](Variant& v) { v.Assign(ValueOf(proto)); });
}

// A one-off type: a custom value of type first whose member "value" holds the text second.
osError quill_typeAllocOneOffW(quill_token t, const quill_char* first, const quill_char* second,
                               quill_type* handle) {
  return Alloc(t, handle, [&](Variant& v) {
    auto custom = std::make_unique<CustomValue>();
    custom->typeName = NameArg(first);
    auto member = MakeVariant();
    member->SetString(std::u16string(NameArg(second)));
    custom->members.emplace_back(u"value", std::move(member));
    v.Contents().value = std::move(custom);
  });
}

osError quill_typeFree(quill_token t, quill_type value) { return FreeValue(t, value); }
osError quill_typeCollect(quill_token t, quill_type value) { return FreeValue(t, value); }

// A reference becomes a copy of what it names, so it no longer follows the target.
osError quill_typeDetach(quill_token t, quill_type value) {
  return WithState(t, [&](TExecState&) -> osError {
    Variant& v = ValueOf(value);
    if (Get<ReferenceValue>(v) != nullptr) {
      Variant* target = v.GetReferenceDeep();
      if (target == &v) return QUILL_ERR_NOT_FOUND;  // the target has died
      v.Assign(*target);
    }
    return QUILL_OK;
  });
}

osError quill_typeAssign(quill_token t, quill_type target, quill_type source) {
  return WithState(t, [&](TExecState&) -> osError {
    Variant& from = ValueOf(source);
    ValueOf(target).Assign(from);
    return QUILL_OK;
  });
}

osError quill_typeStealValue(quill_token t, quill_type target, quill_type source) {
  return WithState(t, [&](TExecState&) -> osError {
    Variant& from = ValueOf(source);
    ValueOf(target).Take(from);
    return QUILL_OK;
  });
}

osError quill_typeInheritFrom(quill_token t, quill_type value, quill_type parent) {
  return WithState(t, [&](TExecState&) -> osError {
    CustomValue& custom = CustomOf(value);
    auto copy = CopyVariant(ValueOf(parent));
    auto* parentCustom = Get<CustomPtr>(*copy);
    if (parentCustom == nullptr) return QUILL_ERR_WRONG_TYPE;
    (*parentCustom)->child = TargetOf(value).Handle();
    custom.parent = std::move(copy);
    return QUILL_OK;
  });
}

osError quill_typeGetParent(quill_token t, quill_type value, quill_type* handle) {
  return WithState(t, [&](TExecState&) -> osError { return Found(CustomOf(value).parent.get(), handle); });
}

osError quill_typeGetChild(quill_token t, quill_type value, quill_type* handle) {
  return WithState(t, [&](TExecState&) -> osError { return Found(Variant::FromHandle(CustomOf(value).child), handle); });
}

// A new map of the value's own and inherited members, nearest first.
osError quill_typeGetProperties(quill_token t, quill_type value, quill_type* handle) {
  return WithState(t, [&](TExecState& s) -> osError {
    MapValue map;
    for (Variant* v = &TargetOf(value); v != nullptr;) {
      auto* custom = Get<CustomPtr>(*v);
      if (custom == nullptr) break;
      for (const auto& [name, member] : (*custom)->members) {
        auto key = MakeVariant();
        key->SetString(name);
        if (FindMapEntry(map, name) == nullptr) map.entries.emplace_back(std::move(key), CopyVariant(*member));
      }
      v = (*custom)->parent.get();
    }
    if (Get<CustomPtr>(TargetOf(value)) == nullptr) return QUILL_ERR_WRONG_TYPE;
    auto out = MakeVariant();
    out->Contents().value = std::move(map);
    return Publish(s, std::move(out), handle);
  });
}

osError quill_typeGetMemberW(quill_token t, quill_type value, const quill_char* name, quill_type* handle) {
  return WithState(t, [&](TExecState&) -> osError {
    auto wanted = NameArg(name);
    return Found(FindMember(CustomOf(value), wanted), handle);
  });
}

osError quill_typeIsA2W(quill_token t, quill_type value, const quill_char* typeName) {
  return WithState(t, [&](TExecState&) -> osError {
    auto wanted = NameArg(typeName);
    return IsOfType(TargetOf(value), wanted) ? 0 : 1;
  });
}

osError quill_typeIsA3(quill_token t, quill_type value, quill_type other) {
  return WithState(t, [&](TExecState&) -> osError {
    const std::u16string wanted = TypeName(TargetOf(other));
    return IsOfType(TargetOf(value), wanted) ? 0 : 1;
  });
}

// extra names a value the tag may use as it likes; the stand-in's tags take none.
osError quill_typeRunTagW(quill_token t, const quill_char* tagName, quill_type self, int32_t count,
                          const quill_type* params, quill_type* handle, quill_type /*extra*/) {
  if (tagName == nullptr) return RunTagNamed(t, nullptr, self, count, params, handle);
  const std::u16string name(View(tagName));
  return RunTagNamed(t, &name, self, count, params, handle);
}

osError quill_typeRunTag(quill_token t, const char* tagName, quill_type self, int32_t count,
                         const quill_type* params, quill_type* handle, quill_type /*extra*/) {
  if (tagName == nullptr) return RunTagNamed(t, nullptr, self, count, params, handle);
  const std::u16string name = Latin1ToUtf16(tagName);  // the module's 8-bit form
  return RunTagNamed(t, &name, self, count, params, handle);
}

osError quill_typeGetStringW(quill_token t, quill_type value, quill_wvalue_t* record) {
  return WithState(t, [&](TExecState& s) -> osError {
    Require(record);
    Variant& v = TargetOf(value);
    FillValueW(s, record, TypeName(v), v);
    return QUILL_OK;
  });
}

osError quill_typeGetNameW(quill_token t, quill_type value, quill_wvalue_t* record) {
  return WithState(t, [&](TExecState& s) -> osError {
    Require(record);
    Variant& v = TargetOf(value);
    std::u16string name = TypeName(v);
    FillW(s, record, name, name, v.GetType());
    return QUILL_OK;
  });
}

// "BINARY": a byte value's bytes as they are, any other value's text as UTF-8.
osError quill_typeGetStringConv(quill_token t, quill_type value, quill_value_t* record, const char* charset) {
  return WithState(t, [&](TExecState& s) -> osError {
    Require(record);
    Require(charset);
    Variant& v = TargetOf(value);
    std::string bytes;
    if (auto* raw = Get<Bytes>(v); raw && IsBinary(charset)) bytes = raw->bytes;
    else if (IsBinary(charset)) bytes = Utf16ToUtf8(v.GetString(&s));
    else bytes = Encode(v.GetString(&s), charset);
    const auto size = static_cast<uint32_t>(bytes.size());
    *record = {s.Keep(bytes), size, nullptr, 0, v.GetType()};
    return QUILL_OK;
  });
}

osError quill_typeGetInteger(quill_token t, quill_type value, int64_t* number) {
  return WithState(t, [&](TExecState&) -> osError {
    Require(number);
    *number = ToInteger(TargetOf(value));
    return QUILL_OK;
  });
}

osError quill_typeGetDecimal(quill_token t, quill_type value, double* number) {
  return WithState(t, [&](TExecState&) -> osError {
    Require(number);
    *number = ToDecimal(TargetOf(value));
    return QUILL_OK;
  });
}

osError quill_getPtrMemberW(quill_token, quill_type value, const quill_char* name, void** pointer) {
  try {
    auto wanted = NameArg(name);
    Require(pointer);
    void* found = nullptr;  // a pointer member never set reads as null
    for (const auto& [memberName, member] : CustomOf(value).pointerMembers) {
      if (memberName == wanted) {
        found = reinterpret_cast<void*>(member);
        break;
      }
    }
    *pointer = found;
    return QUILL_OK;
  } catch (const osException& e) {
    return e.GetCode();
  } catch (...) {
    return QUILL_ERR_GENERIC;
  }
}

osError quill_setPtrMemberW(quill_token, quill_type value, const quill_char* name, void* pointer) {
  try {
    auto wanted = NameArg(name);
    auto& members = CustomOf(value).pointerMembers;
    for (auto& [memberName, member] : members) {
      if (memberName == wanted) {
        member = reinterpret_cast<intptr_t>(pointer);
        return QUILL_OK;
      }
    }
    members.emplace_back(std::u16string(wanted), reinterpret_cast<intptr_t>(pointer));
    return QUILL_OK;
  } catch (const osException& e) {
    return e.GetCode();
  } catch (...) {
    return QUILL_ERR_GENERIC;
  }
}

osError quill_typeSetStringW(quill_token t, quill_type value, const quill_char* text, int32_t length) {
  return Change(t, value, [&](Variant& v) { v.SetString(std::u16string(TextArg(text, length))); });
}

osError quill_typeAppendStringW(quill_token t, quill_type value, const quill_char* text, int32_t length) {
  return Change(t, value, [&](Variant& v) {
    auto tail = TextArg(text, length);
    if (auto* own = Get<std::u16string>(v)) own->append(tail);
    else v.SetString(v.GetString(nullptr).append(tail));
  });
}

osError quill_typeSetStringConv(quill_token t, quill_type value, const void* bytes, int32_t length,
                                const char* charset) {
  return Change(t, value, [&](Variant& v) { SetFromBytes(v, bytes, length, charset); });
}

osError quill_typeSetInteger(quill_token t, quill_type value, int64_t number) {
  return Change(t, value, [&](Variant& v) { v.SetInteger(number); });
}

osError quill_typeSetDecimal(quill_token t, quill_type value, double number) {
  return Change(t, value, [&](Variant& v) { v.SetDecimal(number); });
}

osError quill_typeSetDecimal2(quill_token t, quill_type value, double number, int32_t extra) {
  return Change(t, value, [&](Variant& v) { v.SetDecimal(RoundDecimal(number, extra)); });
}

osError quill_typeSetBoolean(quill_token t, quill_type value, bool flag) {
  return Change(t, value, [&](Variant& v) { v.SetBoolean(flag); });
}

osError quill_typeSetFlag(quill_token t, quill_type value, int32_t flag) { return FlagCall(t, value, false, flag, 0); }
osError quill_typeHasFlag(quill_token t, quill_type value, int32_t flag) { return FlagCall(t, value, false, flag, 1); }
osError quill_typeClearFlag(quill_token t, quill_type value, int32_t flag) { return FlagCall(t, value, false, flag, 2); }
osError quill_tagSetFlag(quill_token t, quill_type tag, int32_t flag) { return FlagCall(t, tag, true, flag, 0); }
osError quill_tagHasFlag(quill_token t, quill_type tag, int32_t flag) { return FlagCall(t, tag, true, flag, 1); }
osError quill_tagClearFlag(quill_token t, quill_type tag, int32_t flag) { return FlagCall(t, tag, true, flag, 2); }

osError quill_arrayGetSize(quill_token t, quill_type array, int32_t* size) {
  return WithState(t, [&](TExecState&) -> osError {
    Require(size);
    *size = static_cast<int32_t>(KindOf<ArrayValue>(array).items.size());
    return QUILL_OK;
  });
}

osError quill_arrayGetElement(quill_token t, quill_type array, int32_t index, quill_type* handle) {
  return WithState(t, [&](TExecState&) -> osError {
    auto& items = KindOf<ArrayValue>(array).items;
    return Found(items[IndexIn(items.size(), index)].get(), handle);
  });
}

// index == size appends.
osError quill_arraySetElement(quill_token t, quill_type array, int32_t index, quill_type element) {
  return WithState(t, [&](TExecState&) -> osError {
    auto& items = KindOf<ArrayValue>(array).items;
    auto copy = CopyOf(element);
    if (index >= 0 && static_cast<size_t>(index) == items.size()) items.push_back(std::move(copy));
    else items[IndexIn(items.size(), index)] = std::move(copy);
    return QUILL_OK;
  });
}

osError quill_arrayRemoveElement(quill_token t, quill_type array, int32_t index) {
  return WithState(t, [&](TExecState&) -> osError {
    auto& items = KindOf<ArrayValue>(array).items;
    VariantPtr removed = std::move(items[IndexIn(items.size(), index)]);
    items.erase(items.begin() + index);
    return QUILL_OK;
  });
}

osError quill_mapGetSize(quill_token t, quill_type map, int32_t* size) {
  return WithState(t, [&](TExecState&) -> osError {
    Require(size);
    *size = static_cast<int32_t>(KindOf<MapValue>(map).entries.size());
    return QUILL_OK;
  });
}

osError quill_mapFindElement(quill_token t, quill_type map, quill_type key, quill_type* handle) {
  return WithState(t, [&](TExecState& s) -> osError {
    MapValue& entries = KindOf<MapValue>(map);
    const std::u16string text = key == 0 ? std::u16string() : ValueOf(key).GetString(&s);
    return Found(FindMapEntry(entries, text), handle);
  });
}

// The entry at index, in insertion order, as a new pair of key and value.
osError quill_mapGetNthElement(quill_token t, quill_type map, int32_t index, quill_type* handle) {
  return WithState(t, [&](TExecState& s) -> osError {
    auto& entries = KindOf<MapValue>(map).entries;
    auto& [key, value] = entries[IndexIn(entries.size(), index)];
    auto pair = MakeVariant();
    pair->Contents().value = PairValue{CopyVariant(*key), CopyVariant(*value)};
    return Publish(s, std::move(pair), handle);
  });
}

osError quill_mapSetElement(quill_token t, quill_type map, quill_type key, quill_type value) {
  return WithState(t, [&](TExecState&) -> osError {
    MapValue& entries = KindOf<MapValue>(map);
    PutEntry(entries, CopyOf(key), CopyOf(value));
    return QUILL_OK;
  });
}

osError quill_mapRemoveElement(quill_token t, quill_type map, quill_type key) {
  return WithState(t, [&](TExecState& s) -> osError {
    auto& entries = KindOf<MapValue>(map).entries;
    const std::u16string text = key == 0 ? std::u16string() : ValueOf(key).GetString(&s);
    auto it = std::find_if(entries.begin(), entries.end(),
                           [&](const auto& entry) { return entry.first->GetString(nullptr) == text; });
    if (it == entries.end()) return QUILL_ERR_NOT_FOUND;
    auto removed = std::move(*it);
    entries.erase(it);
    return QUILL_OK;
  });
}

osError quill_pairGetFirst(quill_token t, quill_type pair, quill_type* handle) {
  return WithState(t, [&](TExecState&) -> osError { return Found(KindOf<PairValue>(pair).first.get(), handle); });
}

osError quill_pairGetSecond(quill_token t, quill_type pair, quill_type* handle) {
  return WithState(t, [&](TExecState&) -> osError { return Found(KindOf<PairValue>(pair).second.get(), handle); });
}

osError quill_pairSetFirst(quill_token t, quill_type pair, quill_type value) {
  return WithState(t, [&](TExecState&) -> osError {
    PairValue& p = KindOf<PairValue>(pair);
    p.first = CopyOf(value);
    return QUILL_OK;
  });
}

osError quill_pairSetSecond(quill_token t, quill_type pair, quill_type value) {
  return WithState(t, [&](TExecState&) -> osError {
    PairValue& p = KindOf<PairValue>(pair);
    p.second = CopyOf(value);
    return QUILL_OK;
  });
}

osError quill_handleExternalConversion(quill_token t, quill_type value, const char* name, quill_value_t* record) {
  return WithState(t, [&](TExecState& s) -> osError {
    Require(name);
    Require(record);
    const FormHooks hooks = TypeCallbackHooks(s);
    std::string bytes = ToExternalForm(TargetOf(value), name, &hooks);
    const auto size = static_cast<uint32_t>(bytes.size());
    *record = {s.Keep(bytes), size, nullptr, 0, TargetOf(value).GetType()};
    return QUILL_OK;
  });
}

// extra is not used by the stand-in's forms.
osError quill_handleInternalConversion(quill_token t, const void* bytes, int32_t length, const char* name,
                                       int32_t /*extra*/, quill_type* handle) {
  return WithState(t, [&](TExecState& s) -> osError {
    Require(name);
    Require(handle);
    if (length < 0 || (length > 0 && bytes == nullptr)) return QUILL_ERR_INVALID;
    const FormHooks hooks = TypeCallbackHooks(s);
    auto value = FromExternalForm(std::string_view(static_cast<const char*>(bytes), static_cast<size_t>(length)), name, &hooks);
    return Publish(s, std::move(value), handle);
  });
}

osError quill_typeAllocTag(quill_token t, quill_type* handle, quill_tag_func func) {
  return Alloc(t, handle, [&](Variant& v) {
    if (func == nullptr) Fail(QUILL_ERR_INVALID, "no tag function");
    auto tag = std::make_shared<TagDefinition>();
    tag->name = u"(member)";
    tag->function = func;
    v.SetTag(std::move(tag));
  });
}

osError quill_typeAddMember(quill_token t, quill_type type, const char* name, quill_type member) {
  return WithState(t, [&](TExecState&) -> osError {
    Require(name);
    CustomValue& custom = CustomOf(type);
    const std::u16string memberName = Latin1ToUtf16(name);  // the module's 8-bit form
    if (memberName.empty()) return QUILL_ERR_INVALID;
    VariantPtr copy = CopyOf(member);
    if (auto* tag = Get<TagValue>(*copy->GetReferenceDeep())) AddTypeMemberTag(custom.typeName, memberName, *tag);
    for (auto& [existing, value] : custom.members) {
      if (EqualsIgnoreCase(existing, memberName)) {
        value = std::move(copy);
        return QUILL_OK;
      }
    }
    custom.members.emplace_back(memberName, std::move(copy));
    return QUILL_OK;
  });
}

osError quill_typeSetCustomDtor(quill_type value, quill_type_dtor dtor) {
  try {
    CustomOf(value).destructor = dtor;
    return QUILL_OK;
  } catch (const osException& e) {
    return e.GetCode();
  } catch (...) {
    return QUILL_ERR_GENERIC;
  }
}

osError quill_typeGetName(quill_token t, quill_type value, quill_value_t* record) {
  return WithState(t, [&](TExecState& s) -> osError {
    Require(record);
    Variant& v = TargetOf(value);
    std::string name = Utf16ToUtf8(TypeName(v));
    const auto size = static_cast<uint32_t>(name.size());
    *record = {s.Keep(name), size, nullptr, 0, v.GetType()};
    return QUILL_OK;
  });
}

osError quill_typeIsA2(quill_token t, quill_type value, const char* typeName) {
  return WithState(t, [&](TExecState&) -> osError {
    Require(typeName);
    return IsOfType(TargetOf(value), Utf8ToUtf16(typeName)) ? 0 : 1;
  });
}

}  // extern "C"

namespace quill_service {

void AnnounceCopy(QPExecState& s, Variant& copy, Variant& source) {
  if (&copy == &source || Get<CustomPtr>(copy) == nullptr) return;
  auto from = MakeVariant();
  from->SetReference(source.Handle());
  RunTypeCallback(s, copy, u"onassign", std::move(from), nullptr);
}

FormHooks TypeCallbackHooks(QPExecState& s) {
  FormHooks hooks;
  hooks.save = [&s](const Variant& value, std::string& state) {
    return RunTypeCallback(s, const_cast<Variant&>(value), u"onserialize", nullptr, &state);
  };
  hooks.restore = [&s](Variant& value, std::string_view state) {
    auto bytes = MakeVariant();
    bytes->SetBytes(std::string(state));
    RunTypeCallback(s, value, u"onunserialize", std::move(bytes), nullptr);
  };
  return hooks;
}

}  // namespace quill_service
