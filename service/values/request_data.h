// The contents of a Request: inputs, result, output, variables and what it owns.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "host/request.h"
#include "service/datasource/inline_action.h"
#include "service/values/module_generation.h"
#include "service/values/tag_definition.h"
#include "service/values/variables.h"
#include "service/values/variant_data.h"

namespace quill_service {
using KeyValues = std::vector<std::pair<std::string, std::string>>;  // UTF-8, in order given
// The value of the first entry named key (names compared without case when ignoreCase), or null.
QUILL_API const std::string* FindKey(const KeyValues& entries, std::string_view key, bool ignoreCase = false);
}

struct Request::Data {
  std::thread::id thread = std::this_thread::get_id();

  // Inputs.
  quill_service::KeyValues params;
  quill_service::KeyValues cookies;
  quill_service::KeyValues headers;
  std::string method = "GET";
  std::string scriptPath;

  // Result.
  osError resultCode = 0;
  Variant resultMessage;
  std::vector<std::u16string> resultHeaders;  // "Name: value" lines
  std::string output;                          // UTF-8 text and raw bytes as written

  // Variables: the page's locals, the request-wide globals, and the local scope in effect now
  // (the page's, or that of the script-defined tag running).
  quill_service::VariableScope page;
  quill_service::VariableScope globals;
  quill_service::VariableScope* locals = &page;

  // The module generation whose tags and data sources the request sees from start to end, held
  // until the request is destroyed.
  uint64_t moduleGeneration = quill_service::PinModuleGeneration();

  // Tags the script defined while this request runs; keys are folded names.
  std::unordered_map<std::u16string, quill_service::TagValue> definedTags;

  // Values the request made for its callers (allocated values, found tags); they die with it.
  std::vector<quill_service::VariantPtr> values;
  std::vector<std::pair<std::string, std::unique_ptr<PrivateVar>>> privateVars;
  bool finished = false;

  // Who runs the request (empty: anonymous), for which site, and how paths are qualified.
  std::string user;
  Site* site = nullptr;
  bool autoResolveFullPaths = false;
  // Database actions and their connections.
  quill_service::RequestDatabaseState database;

  Variant* Own(quill_service::VariantPtr value) {
    values.push_back(std::move(value));
    return values.back().get();
  }
};
