#include "service/values/value_forms.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include <nlohmann/json.hpp>

#include "service/values/text.h"

namespace quill_service {
namespace {

using CustomPtr = std::unique_ptr<CustomValue>;
constexpr int kMaxDepth = 256;  // nesting the readers accept: deeper input is refused, not recursed into

[[noreturn]] void Fail(osError code, const char* text) { throw osException(text, code); }

const Variant& Follow(const Variant& v) { return *const_cast<Variant&>(v).GetReferenceDeep(); }

bool IsTagMember(const VariantPtr& member) { return Get<TagValue>(Follow(*member)) != nullptr; }

// ---- serialized form: "QSV2", then one item; numbers in the machine's byte order ----

class Writer {
 public:
  explicit Writer(const FormHooks* hooks) : hooks_(hooks) {}
  std::string out = "QSV2";

  void Value(const Variant& start, int depth) {
    if (depth > kMaxDepth) Fail(QUILL_ERR_INVALID, "value nested too deeply");
    const Variant& v = Follow(start);
    std::visit([&](const auto& x) { Item(x, depth); }, v.Contents().value);
    if (Get<CustomPtr>(v) != nullptr) State(v);
  }

 private:
  template <class T>
  void Raw(T number) { out.append(reinterpret_cast<const char*>(&number), sizeof number); }
  void Text(std::string_view bytes) {
    Raw<uint32_t>(static_cast<uint32_t>(bytes.size()));
    out.append(bytes);
  }
  void Item(std::monostate, int) { out += 'N'; }
  void Item(const std::u16string& s, int) { out += 'S'; Text(Utf16ToUtf8(s)); }
  void Item(int64_t n, int) { out += 'I'; Raw(n); }
  void Item(double d, int) { out += 'D'; Raw(d); }
  void Item(bool b, int) { out += b ? 'T' : 'F'; }
  void Item(const Bytes& b, int) { out += 'Y'; Text(b.bytes); }
  void Item(const ArrayValue& a, int depth) {
    out += 'A';
    Raw<uint32_t>(static_cast<uint32_t>(a.items.size()));
    for (const auto& item : a.items) Value(*item, depth + 1);
  }
  void Item(const MapValue& m, int depth) {
    out += 'M';
    Raw<uint32_t>(static_cast<uint32_t>(m.entries.size()));
    for (const auto& [k, v] : m.entries) {
      Value(*k, depth + 1);
      Value(*v, depth + 1);
    }
  }
  void Item(const PairValue& p, int depth) {
    out += 'P';
    Optional(p.first, depth);
    Optional(p.second, depth);
  }
  void Optional(const VariantPtr& v, int depth) {
    if (v) Value(*v, depth + 1);
    else out += 'N';
  }
  void Item(const TagValue&, int) { Fail(QUILL_ERR_WRONG_TYPE, "tags have no serialized form"); }
  void Item(const CustomPtr& c, int depth) {
    out += 'C';
    Text(Utf16ToUtf8(c->typeName));
    Raw(c->flags);
    Raw<uint32_t>(static_cast<uint32_t>(std::count_if(c->members.begin(), c->members.end(),
                                                       [](const auto& m) { return !IsTagMember(m.second); })));
    for (const auto& [name, member] : c->members) {
      if (IsTagMember(member)) continue;
      Text(Utf16ToUtf8(name));
      Value(*member, depth + 1);
    }
    Optional(c->parent, depth);
  }
  // After a custom value: 'Y' and the state its type's hook gives, or 'N'.
  void State(const Variant& v) {
    std::string state;
    if (hooks_ != nullptr && hooks_->save && hooks_->save(v, state)) {
      out += 'Y';
      Text(state);
    } else {
      out += 'N';
    }
  }
  const FormHooks* hooks_;
  void Item(const ReferenceValue&, int) { out += 'N'; }  // a reference to a dead value
};

class Reader {
 public:
  Reader(std::string_view in, const FormHooks* hooks) : in_(in), hooks_(hooks) {
    if (in_.substr(0, 4) != "QSV2") Fail(QUILL_ERR_INVALID, "not a serialized value");
    in_.remove_prefix(4);
  }

  VariantPtr Value(int depth) {
    if (depth > kMaxDepth) Fail(QUILL_ERR_INVALID, "serialized value nested too deeply");
    auto v = MakeVariant();
    auto& value = v->Contents().value;
    switch (Take(1)[0]) {
      case 'N': break;
      case 'S': value = Utf8ToUtf16(Text()); break;
      case 'I': value = Raw<int64_t>(); break;
      case 'D': value = Raw<double>(); break;
      case 'T': value = true; break;
      case 'F': value = false; break;
      case 'Y': value = Bytes{std::string(Text())}; break;
      case 'A': {
        ArrayValue a;
        for (uint32_t n = Count(); n > 0; --n) a.items.push_back(Value(depth + 1));
        value = std::move(a);
        break;
      }
      case 'M': {
        MapValue m;
        for (uint32_t n = Count(); n > 0; --n) {
          auto key = Value(depth + 1);
          m.entries.emplace_back(std::move(key), Value(depth + 1));
        }
        value = std::move(m);
        break;
      }
      case 'P': {
        auto first = Value(depth + 1);
        value = PairValue{std::move(first), Value(depth + 1)};
        break;
      }
      case 'C': {
        auto c = std::make_unique<CustomValue>();
        c->typeName = Utf8ToUtf16(Text());
        c->flags = Raw<int32_t>();
        for (uint32_t n = Count(); n > 0; --n) {
          auto name = Utf8ToUtf16(Text());
          c->members.emplace_back(std::move(name), Value(depth + 1));
        }
        auto parent = Value(depth + 1);
        if (Get<CustomPtr>(*parent) != nullptr) c->parent = std::move(parent);
        v->Contents().value = std::move(c);
        const char marker = Take(1)[0];
        if (marker == 'Y') {
          const std::string_view state = Text();
          if (hooks_ != nullptr && hooks_->restore) hooks_->restore(*v, state);
        } else if (marker != 'N') {
          Fail(QUILL_ERR_INVALID, "malformed custom value state");
        }
        break;
      }
      default: Fail(QUILL_ERR_INVALID, "unknown item in serialized value");
    }
    return v;
  }

  bool AtEnd() const { return in_.empty(); }

 private:
  std::string_view Take(size_t n) {
    if (in_.size() < n) Fail(QUILL_ERR_INVALID, "serialized value cut short");
    auto head = in_.substr(0, n);
    in_.remove_prefix(n);
    return head;
  }
  template <class T>
  T Raw() {
    T number;
    std::memcpy(&number, Take(sizeof number).data(), sizeof number);
    return number;
  }
  // Every item takes at least one byte, so a count beyond what is left is malformed.
  uint32_t Count() {
    const auto n = Raw<uint32_t>();
    if (n > in_.size()) Fail(QUILL_ERR_INVALID, "serialized count beyond the input");
    return n;
  }
  std::string_view Text() { return Take(Raw<uint32_t>()); }

  std::string_view in_;
  const FormHooks* hooks_;
};

// ---- JSON ----

nlohmann::json ToJson(const Variant& start, int depth) {
  if (depth > kMaxDepth) Fail(QUILL_ERR_INVALID, "value nested too deeply");
  const Variant& v = Follow(start);
  return std::visit(
      [&](const auto& x) -> nlohmann::json {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate> || std::is_same_v<T, ReferenceValue>) {
          return nullptr;
        } else if constexpr (std::is_same_v<T, std::u16string>) {
          return Utf16ToUtf8(x);
        } else if constexpr (std::is_same_v<T, int64_t> || std::is_same_v<T, bool>) {
          return x;
        } else if constexpr (std::is_same_v<T, double>) {
          if (!std::isfinite(x)) return nullptr;
          return x;
        } else if constexpr (std::is_same_v<T, Bytes>) {
          return Utf16ToUtf8(v.GetString(nullptr));
        } else if constexpr (std::is_same_v<T, ArrayValue>) {
          auto out = nlohmann::json::array();
          for (const auto& item : x.items) out.push_back(ToJson(*item, depth + 1));
          return out;
        } else if constexpr (std::is_same_v<T, MapValue>) {
          auto out = nlohmann::json::object();
          for (const auto& [k, item] : x.entries) out[Utf16ToUtf8(k->GetString(nullptr))] = ToJson(*item, depth + 1);
          return out;
        } else if constexpr (std::is_same_v<T, PairValue>) {
          auto out = nlohmann::json::array();
          out.push_back(x.first ? ToJson(*x.first, depth + 1) : nlohmann::json());
          out.push_back(x.second ? ToJson(*x.second, depth + 1) : nlohmann::json());
          return out;
        } else if constexpr (std::is_same_v<T, TagValue>) {
          return Utf16ToUtf8(x->name);
        } else {
          auto out = nlohmann::json::object();
          out["_type"] = Utf16ToUtf8(x->typeName);
          for (const auto& [name, member] : x->members) {
            if (!IsTagMember(member)) out[Utf16ToUtf8(name)] = ToJson(*member, depth + 1);
          }
          return out;
        }
      },
      v.Contents().value);
}

VariantPtr FromJson(const nlohmann::json& j, int depth) {
  if (depth > kMaxDepth) Fail(QUILL_ERR_INVALID, "JSON nested too deeply");
  auto v = MakeVariant();
  auto& value = v->Contents().value;
  switch (j.type()) {
    case nlohmann::json::value_t::string: value = Utf8ToUtf16(j.get_ref<const std::string&>()); break;
    case nlohmann::json::value_t::boolean: value = j.get<bool>(); break;
    case nlohmann::json::value_t::number_integer: value = j.get<int64_t>(); break;
    case nlohmann::json::value_t::number_unsigned:
      if (j.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) value = j.get<double>();
      else value = static_cast<int64_t>(j.get<uint64_t>());
      break;
    case nlohmann::json::value_t::number_float: value = j.get<double>(); break;
    case nlohmann::json::value_t::array: {
      ArrayValue a;
      for (const auto& item : j) a.items.push_back(FromJson(item, depth + 1));
      value = std::move(a);
      break;
    }
    case nlohmann::json::value_t::object: {
      MapValue m;
      for (const auto& [key, item] : j.items()) {
        auto k = MakeVariant();
        k->SetString(Utf8ToUtf16(key));
        m.entries.emplace_back(std::move(k), FromJson(item, depth + 1));
      }
      value = std::move(m);
      break;
    }
    default: break;
  }
  return v;
}

}  // namespace

int64_t ToInteger(const Variant& start) {
  const Variant& v = Follow(start);
  if (auto* n = Get<int64_t>(v)) return *n;
  if (auto* b = Get<bool>(v)) return *b ? 1 : 0;
  if (auto* d = Get<double>(v)) {
    if (!(std::fabs(*d) < 9.2233720368547758e18)) Fail(QUILL_ERR_OUT_OF_RANGE, "decimal out of integer range");
    return static_cast<int64_t>(*d);
  }
  if (auto* s = Get<std::u16string>(v)) {
    const std::string text = Utf16ToUtf8(*s);
    int64_t n = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec == std::errc() && end == text.data() + text.size() && !text.empty()) return n;
  }
  Fail(QUILL_ERR_WRONG_TYPE, "not an integer");
}

double ToDecimal(const Variant& start) {
  const Variant& v = Follow(start);
  if (auto* d = Get<double>(v)) return *d;
  if (auto* n = Get<int64_t>(v)) return static_cast<double>(*n);
  if (auto* b = Get<bool>(v)) return *b ? 1.0 : 0.0;
  if (auto* s = Get<std::u16string>(v)) {
    const std::string text = Utf16ToUtf8(*s);
    double d = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
    if (ec == std::errc() && end == text.data() + text.size() && !text.empty()) return d;
  }
  Fail(QUILL_ERR_WRONG_TYPE, "not a decimal");
}

double RoundDecimal(double value, int32_t digits) {
  if (digits < 0 || !std::isfinite(value)) return value;
  if (digits > 15) digits = 15;
  const double scale = std::pow(10.0, digits);
  const double scaled = value * scale;
  if (!std::isfinite(scaled)) return value;
  return std::round(scaled) / scale;
}

std::string ToExternalForm(const Variant& v, std::string_view name, const FormHooks* hooks) {
  if (name == "serialized") {
    Writer writer(hooks);
    writer.Value(v, 0);
    return std::move(writer.out);
  }
  if (name == "json") return ToJson(v, 0).dump();
  Fail(QUILL_ERR_NOT_FOUND, "no such external form");
}

VariantPtr FromExternalForm(std::string_view bytes, std::string_view name, const FormHooks* hooks) {
  if (name == "serialized") {
    Reader reader(bytes, hooks);
    auto v = reader.Value(0);
    if (!reader.AtEnd()) Fail(QUILL_ERR_INVALID, "bytes after the serialized value");
    return v;
  }
  if (name == "json") {
    auto j = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (j.is_discarded()) Fail(QUILL_ERR_INVALID, "malformed JSON");
    return FromJson(j, 0);
  }
  Fail(QUILL_ERR_NOT_FOUND, "no such external form");
}

}  // namespace quill_service
