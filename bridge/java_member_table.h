// The lookup of Java member tags by (type name, member name), kept apart so that its cost can be
// measured on its own (bench/bridge_bench.cpp).
#pragma once

#include <map>
#include <string>
#include <utility>

#include "host/os.h"

// Both names lower-cased; keys compare as byte strings, the type name first.
using JavaMemberKey = std::pair<std::string, std::string>;

// A host critical section held for a scope, entered without a time limit.
class CriticalSectionScope {
 public:
  explicit CriticalSectionScope(osCriticalSection& lock) : lock_(lock) { lock_.Enter(-1, false); }
  ~CriticalSectionScope() { lock_.Leave(); }
  CriticalSectionScope(const CriticalSectionScope&) = delete;
  CriticalSectionScope& operator=(const CriticalSectionScope&) = delete;

 private:
  osCriticalSection& lock_;
};

// Copies the entry of (type, member) out of table under lock; false when there is none.
template <class Entry>
bool FindJavaMember(osCriticalSection& lock, const std::map<JavaMemberKey, Entry>& table, const std::string& type,
                    const std::string& member, Entry& out) {
  const JavaMemberKey key(type, member);
  CriticalSectionScope locked(lock);
  auto it = table.find(key);
  if (it == table.end()) return false;
  out = it->second;
  return true;
}
