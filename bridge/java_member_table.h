// The lookup of Java member tags by (type name, member name), kept apart so that its cost can be
// measured on its own (bench/bridge_bench.cpp).
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "host/os.h"

// Both names lower-cased; keys compare as byte strings, the type name first. A lookup passes
// views of the names, so no key is built for it.
using JavaMemberKey = std::pair<std::string, std::string>;
using JavaMemberView = std::pair<std::string_view, std::string_view>;

struct JavaMemberOrder {
  using is_transparent = void;
  template <class A, class B>
  bool operator()(const A& a, const B& b) const {
    const int type = std::string_view(a.first).compare(std::string_view(b.first));
    return type != 0 ? type < 0 : std::string_view(a.second) < std::string_view(b.second);
  }
};

template <class Entry>
using JavaMemberTable = std::map<JavaMemberKey, Entry, JavaMemberOrder>;

// ASCII letters lower-cased in place: how both names are folded when stored and when looked up.
inline void FoldAscii(char* text, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (text[i] >= 'A' && text[i] <= 'Z') text[i] = static_cast<char>(text[i] + ('a' - 'A'));
  }
}

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
bool FindJavaMember(osCriticalSection& lock, const JavaMemberTable<Entry>& table, std::string_view type,
                    std::string_view member, Entry& out) {
  CriticalSectionScope locked(lock);
  auto it = table.find(JavaMemberView(type, member));
  if (it == table.end()) return false;
  out = it->second;
  return true;
}
