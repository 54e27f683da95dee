// One tag call in progress: what the QCAPI reads through an execution state's `call`.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "service/values/tag_definition.h"
#include "service/values/variant_data.h"

// The body (children) of a container tag call.
class QUILL_API TagBody {
 public:
  virtual ~TagBody() = default;
  // Runs the body once: its output goes to the request's output and its value into result.
  // Failures are thrown as osException.
  virtual void Run(QPExecState* state, Variant* result) = 0;
};

struct TagParam {
  std::u16string name;  // without the dash; empty for a positional parameter
  // The call's own value; null while the parameter reads `written`.
  mutable quill_service::VariantPtr value;
  // A value written out in the script (a literal), which every call of that site shares: read
  // in place, copied into `value` before anything can change it or hand it out.
  const Variant* written = nullptr;

  // The value as passed (a reference stays a reference).
  const Variant& Value() const { return value ? *value : *written; }
  // The value read through references.
  const Variant& Deep() const { return value ? *value->GetReferenceDeep() : *written; }
  // The call's own value, to change or to hand out by handle.
  Variant& Own() const;
};

struct QUILL_API TagCall {
  std::u16string name;  // as the script wrote it
  quill_service::TagRef definition;
  std::vector<TagParam> params;  // in the order written
  TagBody* body = nullptr;       // null when the call has no body
  quill_type self = 0;           // the value a member tag runs on, 0 for a plain call
  Variant* result = nullptr;     // receives the tag's value
  // Set when the value only goes to this output (UTF-8): a tag may append its text there instead
  // of giving it as its value.
  std::string* output = nullptr;
  int32_t encoding = QUILL_ENCODE_NONE;
  // Values made for this call (childrenRun results, the definition's tag value); they die with it.
  std::vector<quill_service::VariantPtr> owned;
  Variant* definitionValue = nullptr;

  // A named parameter, matched case-insensitively; a leading dash in name is ignored.
  const TagParam* FindParam(std::u16string_view name) const;
  // The handle of a tag value naming this call's definition (made on first use).
  quill_type DefinitionHandle();
  Variant* Own(quill_service::VariantPtr value);
};
