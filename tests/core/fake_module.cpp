// A module entry driven by preferences: fake_result (the entry's result, default 1) and
// fake_throw (throws an osException when set).
#include <cstdlib>

#include "host/request.h"
#include "host/storage.h"

namespace {

bool ReadPreference(const char* key, CharBuffer& value) {
  const std::string sql = std::string("SELECT data FROM global_prefs WHERE store_key = '") + key + "'";
  StorageManager::Rows rows;
  const bool found = StorageManager::Execute("quill_internal", sql.c_str(), &rows, &value) == 0 && !rows.empty();
  StorageManager::KillRows(&rows);
  return found;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int RegisterQuillTags(TagRegistry* registry) {
  if (Quill::Instance()->Settings().suppressModules) return 0;
  quill_log(2, "fake module: registry %s, request %s", registry != nullptr ? "given" : "missing",
            Request::GetCurrent() != nullptr ? "current" : "missing");
  CharBuffer value;
  if (ReadPreference("fake_throw", value)) throw osException("fake module refused to start", -5);
  if (ReadPreference("fake_result", value)) return std::atoi(value.c_str());
  return 1;
}
