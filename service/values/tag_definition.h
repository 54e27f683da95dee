// What a tag value names: a registered tag, a C function body or a script-defined tag, with the
// signature scripts and modules can inspect.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/request.h"

namespace quill_service {

struct ExpectedParam {
  std::u16string name;  // without the dash
  std::u16string type;  // empty: any type
  bool required = true;
};

// The body of a script-defined tag; the interpreter derives from it.
class ScriptTagBody {
 public:
  virtual ~ScriptTagBody() = default;
};

struct TagDefinition {
  std::u16string name;  // as registered or defined
  std::u16string moduleName;
  std::u16string description;
  int32_t flags = 0;
  std::u16string returnType;  // empty: any
  std::vector<ExpectedParam> params;

  // Exactly one of these implements the tag.
  SubstitutionTag* native = nullptr;  // owned by the tag table
  quill_tag_func function = nullptr;
  std::shared_ptr<const ScriptTagBody> script;
};

}  // namespace quill_service
