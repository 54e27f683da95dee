#include <charconv>
#include <cmath>
#include <map>
#include <mutex>
#include <shared_mutex>

#include "service/values/handles.h"
#include "service/values/text.h"
#include "service/values/variant_data.h"

using namespace quill_service;

namespace {

using Value = decltype(Variant::Data::value);

// How deep GetString and copies descend into nested containers before giving up; guards the
// stack against values that contain themselves through references.
constexpr int kMaxNesting = 256;
constexpr int kMaxReferenceHops = 64;

Value CopyValue(const Value& source, int depth);

VariantPtr CopyAt(const Variant& source, int depth) {
  auto copy = MakeVariant();
  copy->Contents().value = CopyValue(source.Contents().value, depth + 1);
  return copy;
}

Value CopyValue(const Value& source, int depth) {
  if (depth > kMaxNesting) throw osException("value nested too deeply to copy", QUILL_ERR_INVALID);
  return std::visit(
      [depth](const auto& v) -> Value {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, ArrayValue>) {
          ArrayValue out;
          out.items.reserve(v.items.size());
          for (const auto& item : v.items) out.items.push_back(CopyAt(*item, depth));
          return out;
        } else if constexpr (std::is_same_v<T, MapValue>) {
          MapValue out;
          out.entries.reserve(v.entries.size());
          for (const auto& [key, value] : v.entries) out.entries.emplace_back(CopyAt(*key, depth), CopyAt(*value, depth));
          return out;
        } else if constexpr (std::is_same_v<T, PairValue>) {
          PairValue out;
          out.first = v.first ? CopyAt(*v.first, depth) : MakeVariant();
          out.second = v.second ? CopyAt(*v.second, depth) : MakeVariant();
          return out;
        } else if constexpr (std::is_same_v<T, std::unique_ptr<CustomValue>>) {
          // Pointer members and the destructor belong to the original: a copy that shared them
          // would release what they point at twice.
          auto out = std::make_unique<CustomValue>();
          out->typeName = v->typeName;
          out->flags = v->flags;
          for (const auto& [name, member] : v->members) out->members.emplace_back(name, CopyAt(*member, depth));
          if (v->parent) {
            out->parent = CopyAt(*v->parent, depth);
            if (auto* parent = Get<std::unique_ptr<CustomValue>>(*out->parent)) (*parent)->child = 0;
          }
          return out;
        } else {
          return v;
        }
      },
      source);
}

std::u16string FormatDecimal(double number) {
  if (std::isnan(number)) return u"NaN";
  if (std::isinf(number)) return number > 0 ? u"Infinity" : u"-Infinity";
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, number);
  std::string text(buffer, end);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return std::u16string(text.begin(), text.end());
}

std::u16string FormatInteger(int64_t number) {
  char buffer[32];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, number);
  return std::u16string(buffer, end);
}

void AppendText(const Variant& v, std::u16string& out, int depth);

void AppendJoined(const std::vector<VariantPtr>& items, std::u16string& out, int depth) {
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += u", ";
    AppendText(*items[i], out, depth + 1);
  }
}

void AppendText(const Variant& v, std::u16string& out, int depth) {
  if (depth > kMaxNesting) {
    out += u"...";
    return;
  }
  std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::u16string>) {
          out += x;
        } else if constexpr (std::is_same_v<T, int64_t>) {
          out += FormatInteger(x);
        } else if constexpr (std::is_same_v<T, double>) {
          out += FormatDecimal(x);
        } else if constexpr (std::is_same_v<T, bool>) {
          out += x ? u"true" : u"false";
        } else if constexpr (std::is_same_v<T, Bytes>) {
          for (unsigned char c : x.bytes) out += static_cast<char16_t>(c);
        } else if constexpr (std::is_same_v<T, ArrayValue>) {
          out += u'[';
          AppendJoined(x.items, out, depth);
          out += u']';
        } else if constexpr (std::is_same_v<T, MapValue>) {
          out += u'{';
          for (size_t i = 0; i < x.entries.size(); ++i) {
            if (i > 0) out += u", ";
            AppendText(*x.entries[i].first, out, depth + 1);
            out += u": ";
            AppendText(*x.entries[i].second, out, depth + 1);
          }
          out += u'}';
        } else if constexpr (std::is_same_v<T, PairValue>) {
          out += u'(';
          if (x.first) AppendText(*x.first, out, depth + 1);
          out += u", ";
          if (x.second) AppendText(*x.second, out, depth + 1);
          out += u')';
        } else if constexpr (std::is_same_v<T, TagValue>) {
          out += x->name;
        } else if constexpr (std::is_same_v<T, std::unique_ptr<CustomValue>>) {
          out += u'<' + x->typeName + u'>';
        } else if constexpr (std::is_same_v<T, ReferenceValue>) {
          if (Variant* target = Variant::FromHandle(x.target)) AppendText(*target, out, depth + 1);
        }
      },
      v.Contents().value);
}

// Replaces a value's contents, running the custom destructor of what it held first (while the
// value and its handle are still intact, as the destructor reads them).
// Nothing held that holds other values or runs code when it dies (null, a number, a boolean,
// text, bytes, a reference): nothing to run or keep alive first.
bool Plain(const Value& held) {
  return !std::holds_alternative<ArrayValue>(held) && !std::holds_alternative<MapValue>(held) &&
         !std::holds_alternative<PairValue>(held) && !std::holds_alternative<TagValue>(held) &&
         !std::holds_alternative<std::unique_ptr<CustomValue>>(held);
}

void Replace(Variant& v, Value&& next) {
  Value& held = v.Contents().value;
  // Values are cleared and set several times in every tag call.
  if (Plain(held) && !std::holds_alternative<std::unique_ptr<CustomValue>>(next)) {
    held = std::move(next);
    return;
  }
  if (auto* custom = Get<std::unique_ptr<CustomValue>>(v); custom && *custom && (*custom)->destructor) {
    auto destructor = std::exchange((*custom)->destructor, nullptr);
    destructor(v.Handle());
  }
  Value old = std::move(v.Contents().value);
  if (auto* custom = std::get_if<std::unique_ptr<CustomValue>>(&next); custom && *custom && (*custom)->parent) {
    if (auto* parent = Get<std::unique_ptr<CustomValue>>(*(*custom)->parent)) (*parent)->child = v.Handle();
  }
  v.Contents().value = std::move(next);
  // old dies here, after v holds its new contents: a container may die holding v's source.
}

}  // namespace

Variant::Variant() : data_(new Data), handle_(0) {}

Variant::~Variant() {
  // Plain contents die with data_ below.
  if (!Plain(data_->value)) {
    try {
      Replace(*this, Value{});
    } catch (...) {
      // A destructor callback must not take the host down.
    }
  }
  if (quill_type handle = handle_.load(std::memory_order_acquire); handle != 0) ValueTable().Release(handle);
  delete data_;
}

void Variant::Init() { Replace(*this, Value{}); }

int32_t Variant::GetType() const {
  static constexpr int32_t kCodes[] = {QUILL_TYPE_NULL,   QUILL_TYPE_STRING, QUILL_TYPE_INTEGER, QUILL_TYPE_DECIMAL,
                                       QUILL_TYPE_BOOLEAN, QUILL_TYPE_BYTES,  QUILL_TYPE_ARRAY,   QUILL_TYPE_MAP,
                                       QUILL_TYPE_PAIR,   QUILL_TYPE_TAG,    QUILL_TYPE_CUSTOM,  QUILL_TYPE_REFERENCE};
  static_assert(std::size(kCodes) == std::variant_size_v<Value>);
  return kCodes[data_->value.index()];
}

std::u16string Variant::GetString(QPExecState*) const {
  if (auto* text = Get<std::u16string>(*this)) return *text;
  std::u16string out;
  AppendText(*this, out, 0);
  return out;
}

bool Variant::GetBool() const {
  if (auto* text = Get<std::u16string>(*this)) {
    std::string word;
    for (char16_t unit : *text) {
      if (unit > 0x7F) return false;
      word += static_cast<char>(unit >= u'A' && unit <= u'Z' ? unit - u'A' + u'a' : unit);
    }
    if (word == "true" || word == "yes" || word == "on") return true;
    double number = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), number);
    return error == std::errc() && end == word.data() + word.size() && number != 0;
  }
  return IsTrue(*this);
}

Variant* Variant::GetReferenceDeep() {
  Variant* v = this;
  for (int hops = 0; hops < kMaxReferenceHops; ++hops) {
    auto* ref = Get<ReferenceValue>(*v);
    if (ref == nullptr) return v;
    Variant* target = FromHandle(ref->target);
    if (target == nullptr) return v;
    v = target;
  }
  return v;
}

quill_type Variant::Handle() const {
  quill_type handle = handle_.load(std::memory_order_acquire);
  if (handle != 0) return handle;
  quill_type issued = ValueTable().Issue(const_cast<Variant*>(this));
  if (issued == 0) return 0;
  if (handle_.compare_exchange_strong(handle, issued, std::memory_order_acq_rel)) return issued;
  ValueTable().Release(issued);  // another thread issued one first
  return handle;
}

Variant* Variant::FromHandle(quill_type handle) { return ValueTable().Resolve(handle); }

void Variant::SetString(std::u16string text) { Replace(*this, std::move(text)); }
void Variant::SetInteger(int64_t number) { Replace(*this, number); }
void Variant::SetDecimal(double number) { Replace(*this, number); }
void Variant::SetBoolean(bool flag) { Replace(*this, flag); }
void Variant::SetBytes(std::string bytes) { Replace(*this, Bytes{std::move(bytes)}); }
void Variant::SetTag(std::shared_ptr<const TagDefinition> tag) {
  if (!tag) return Init();
  Replace(*this, TagValue(std::move(tag)));
}
void Variant::SetReference(quill_type target) { Replace(*this, ReferenceValue{target}); }

void Variant::Assign(const Variant& source) {
  if (&source == this) return;
  Replace(*this, CopyValue(source.Contents().value, 0));
}

void Variant::Take(Variant& source) {
  if (&source == this) return;
  Value moved = std::move(source.Contents().value);
  source.Contents().value.emplace<std::monostate>();
  Replace(*this, std::move(moved));
}

namespace quill_service {

SlotTable<Variant>& ValueTable() {
  // Never destroyed: values may outlive static destructors.
  static auto* table = new SlotTable<Variant>(SlotTable<Variant>::kThreadCached);
  return *table;
}

namespace {

// Reads a value's handle as it stands: a handle is issued the first time it is asked for.
struct HandleReader : Variant {
  static quill_type Of(const Variant& value) {
    return (value.*(&HandleReader::handle_)).load(std::memory_order_acquire);
  }
};

}  // namespace

bool HasHandle(const Variant& value) { return HandleReader::Of(value) != 0; }

VariantPtr MakeVariant() { return std::make_unique<Variant>(); }

VariantPtr CopyVariant(const Variant& source) {
  auto copy = MakeVariant();
  copy->Assign(source);
  return copy;
}

std::u16string TypeName(const Variant& v) {
  switch (v.GetType()) {
    case QUILL_TYPE_STRING: return u"string";
    case QUILL_TYPE_INTEGER: return u"integer";
    case QUILL_TYPE_DECIMAL: return u"decimal";
    case QUILL_TYPE_BOOLEAN: return u"boolean";
    case QUILL_TYPE_BYTES: return u"bytes";
    case QUILL_TYPE_ARRAY: return u"array";
    case QUILL_TYPE_MAP: return u"map";
    case QUILL_TYPE_PAIR: return u"pair";
    case QUILL_TYPE_TAG: return u"tag";
    case QUILL_TYPE_CUSTOM: return (*Get<std::unique_ptr<CustomValue>>(v))->typeName;
    case QUILL_TYPE_REFERENCE: return u"reference";
    default: return u"null";
  }
}

bool IsTrue(const Variant& v) {
  return std::visit(
      [](const auto& x) -> bool {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) return false;
        else if constexpr (std::is_same_v<T, bool>) return x;
        else if constexpr (std::is_same_v<T, int64_t> || std::is_same_v<T, double>) return x != 0;
        else if constexpr (std::is_same_v<T, std::u16string>) return !x.empty();
        else return true;
      },
      v.Contents().value);
}

bool ValuesEqual(const Variant& a, const Variant& b) {
  const auto& x = a.Contents().value;
  const auto& y = b.Contents().value;
  auto number = [](const Value& v, double& out) {
    if (auto* i = std::get_if<int64_t>(&v)) return out = static_cast<double>(*i), true;
    if (auto* d = std::get_if<double>(&v)) return out = *d, true;
    return false;
  };
  if (std::holds_alternative<int64_t>(x) && std::holds_alternative<int64_t>(y)) {
    return std::get<int64_t>(x) == std::get<int64_t>(y);
  }
  double dx, dy;
  if (number(x, dx) && number(y, dy)) return dx == dy;
  if (x.index() != y.index()) return false;
  if (auto* s = std::get_if<std::u16string>(&x)) return *s == std::get<std::u16string>(y);
  if (auto* f = std::get_if<bool>(&x)) return *f == std::get<bool>(y);
  if (std::holds_alternative<std::monostate>(x)) return true;
  if (auto* t = std::get_if<TagValue>(&x)) return t->get() == std::get<TagValue>(y).get();
  return a.GetString(nullptr) == b.GetString(nullptr);
}

Variant* FindMember(CustomValue& custom, std::u16string_view name) {
  for (CustomValue* c = &custom; c != nullptr;) {
    for (auto& [memberName, member] : c->members) {
      if (EqualsIgnoreCase(memberName, name)) return member.get();
    }
    auto* parent = c->parent ? Get<std::unique_ptr<CustomValue>>(*c->parent) : nullptr;
    c = parent ? parent->get() : nullptr;
  }
  return nullptr;
}

namespace {

struct TypeMemberTags {
  std::shared_mutex lock;
  std::map<std::pair<std::u16string, std::u16string>, TagValue, std::less<>> tags;  // folded names
};

TypeMemberTags& TypeTags() {
  static auto* tags = new TypeMemberTags();  // never destroyed: values may outlive static destructors
  return *tags;
}

}  // namespace

void AddTypeMemberTag(std::u16string_view typeName, std::u16string_view name, TagValue tag) {
  auto& table = TypeTags();
  std::unique_lock guard(table.lock);
  table.tags[{FoldCase(typeName), FoldCase(name)}] = std::move(tag);
}

TagValue FindMemberTag(CustomValue& custom, std::u16string_view name) {
  if (Variant* member = FindMember(custom, name)) {
    if (auto* tag = Get<TagValue>(*member->GetReferenceDeep())) return *tag;
  }
  auto& table = TypeTags();
  std::shared_lock guard(table.lock);
  if (table.tags.empty()) return nullptr;
  const std::u16string folded = FoldCase(name);
  for (CustomValue* c = &custom; c != nullptr;) {
    auto it = table.tags.find(std::make_pair(FoldCase(c->typeName), folded));
    if (it != table.tags.end()) return it->second;
    auto* parent = c->parent ? Get<std::unique_ptr<CustomValue>>(*c->parent) : nullptr;
    c = parent ? parent->get() : nullptr;
  }
  return nullptr;
}

Variant* FindMapEntry(MapValue& map, std::u16string_view key) {
  for (auto& [k, v] : map.entries) {
    if (k->GetString(nullptr) == key) return v.get();
  }
  return nullptr;
}

}  // namespace quill_service
