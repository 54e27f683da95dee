// The registry calls over a .reg text file (or the installed JDK when there is none).
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>

#include "win32.h"

namespace {

struct RegValue {
  DWORD type = REG_SZ;
  std::string bytes;  // REG_SZ: the text with its terminator; REG_DWORD: 4 bytes, little-endian
};

using ValueMap = std::map<std::string, RegValue>;  // by lower-case value name ("" = default)

struct Registry {
  std::map<std::string, ValueMap> keys;  // by normalised key path

  bool HasKey(const std::string& path) const {
    if (path.empty()) return true;
    // A key exists when it has been declared or one of its subkeys has.
    if (keys.count(path) != 0) return true;
    const std::string prefix = path + "\\";
    auto it = keys.lower_bound(prefix);
    return it != keys.end() && it->first.compare(0, prefix.size(), prefix) == 0;
  }
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Lower case, single backslashes, none leading or trailing.
std::string NormaliseKeyPath(const std::string& path) {
  std::string out;
  std::string piece;
  std::istringstream in(path);
  while (std::getline(in, piece, '\\')) {
    if (piece.empty()) continue;
    if (!out.empty()) out += '\\';
    out += piece;
  }
  return Lower(out);
}

std::string JoinKeyPath(const std::string& base, const std::string& sub) {
  return NormaliseKeyPath(base + "\\" + sub);
}

RegValue StringValue(const std::string& text) { return {REG_SZ, text + '\0'}; }

// Reads a double-quoted text starting at line[pos] == '"'; pos ends after the closing quote.
std::optional<std::string> ParseQuoted(const std::string& line, size_t& pos) {
  std::string text;
  for (++pos; pos < line.size(); ++pos) {
    char c = line[pos];
    if (c == '"') {
      ++pos;
      return text;
    }
    if (c == '\\' && pos + 1 < line.size()) c = line[++pos];
    text += c;
  }
  return std::nullopt;
}

void SkipSpaces(const std::string& line, size_t& pos) {
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return {};
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

// One `"Name"=...` or `@=...` line of the key `values`; malformed lines are skipped.
void ParseValueLine(const std::string& line, ValueMap& values) {
  size_t pos = 0;
  std::string name;
  if (line[0] == '@') {
    pos = 1;
  } else {
    auto quoted = ParseQuoted(line, pos);
    if (!quoted) return;
    name = *quoted;
  }
  SkipSpaces(line, pos);
  if (pos >= line.size() || line[pos] != '=') return;
  ++pos;
  SkipSpaces(line, pos);
  if (pos >= line.size()) return;
  std::string key = Lower(name);
  if (line[pos] == '"') {
    if (auto text = ParseQuoted(line, pos)) values[key] = StringValue(*text);
  } else if (line.compare(pos, 6, "dword:") == 0) {
    char* end = nullptr;
    std::string digits = line.substr(pos + 6);
    unsigned long number = std::strtoul(digits.c_str(), &end, 16);
    if (end == digits.c_str() || number > 0xFFFFFFFFul) return;
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((number >> (8 * i)) & 0xFF);
    values[key] = {REG_DWORD, bytes};
  } else if (line[pos] == '-') {
    values.erase(key);
  }
}

Registry ParseRegFile(std::istream& in) {
  Registry registry;
  ValueMap* current = nullptr;
  std::string line;
  bool first = true;
  while (std::getline(in, line)) {
    if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    first = false;
    line = Trim(line);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      size_t close = line.rfind(']');
      // "[-KEY]" deletes a key in a real import; here it simply declares nothing.
      if (close == std::string::npos || line.compare(0, 2, "[-") == 0) {
        current = nullptr;
        continue;
      }
      current = &registry.keys[NormaliseKeyPath(line.substr(1, close - 1))];
    } else if ((line[0] == '"' || line[0] == '@') && current != nullptr) {
      ParseValueLine(line, *current);
    }
  }
  return registry;
}

std::optional<std::string> Canonical(const std::filesystem::path& path) {
  std::error_code ec;
  auto resolved = std::filesystem::canonical(path, ec);
  if (ec) return std::nullopt;
  return resolved.string();
}

std::optional<std::string> FindOnPath(const char* program) {
  const char* pathEnv = std::getenv("PATH");
  if (pathEnv == nullptr) return std::nullopt;
  std::istringstream dirs(pathEnv);
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    std::string candidate = dir + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

std::optional<std::string> InstalledJavaHome() {
  const char* javaHome = std::getenv("JAVA_HOME");
  if (javaHome != nullptr && *javaHome != '\0') {
    if (auto home = Canonical(javaHome)) return home;
  }
  if (auto home = Canonical("/usr/lib/jvm/default-java")) return home;
  for (const char* program : {"javac", "java"}) {
    auto onPath = FindOnPath(program);
    if (!onPath) continue;
    if (auto binary = Canonical(*onPath)) {
      return std::filesystem::path(*binary).parent_path().parent_path().string();
    }
  }
  return std::nullopt;
}

// "17" for JAVA_VERSION="17.0.15", "1.8" for JAVA_VERSION="1.8.0_392".
std::optional<std::string> MajorVersion(const std::string& javaHome) {
  std::ifstream release(javaHome + "/release");
  std::string line;
  const std::string prefix = "JAVA_VERSION=\"";
  while (std::getline(release, line)) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    std::string version = line.substr(prefix.size());
    version = version.substr(0, version.find('"'));
    size_t firstDot = version.find('.');
    if (version.compare(0, 2, "1.") == 0) firstDot = version.find('.', 2);
    version = version.substr(0, firstDot);
    if (version.empty()) return std::nullopt;
    return version;
  }
  return std::nullopt;
}

Registry InstalledJdkRegistry() {
  Registry registry;
  auto home = InstalledJavaHome();
  if (!home) return registry;
  auto version = MajorVersion(*home);
  if (!version) return registry;
  const std::string base = "HKEY_LOCAL_MACHINE\\SOFTWARE\\JavaSoft\\Java Runtime Environment";
  registry.keys[NormaliseKeyPath(base)][Lower("CurrentVersion")] = StringValue(*version);
  ValueMap& versionKey = registry.keys[JoinKeyPath(base, *version)];
  versionKey[Lower("JavaHome")] = StringValue(*home);
  versionKey[Lower("RuntimeLib")] = StringValue(*home + "/lib/server/libjvm.so");
  return registry;
}

std::shared_ptr<const Registry> LoadRegistry() {
  const char* fromEnv = std::getenv("QUILL_REGISTRY");
  if (fromEnv != nullptr) {
    std::ifstream file(fromEnv);
    return std::make_shared<Registry>(file ? ParseRegFile(file) : Registry{});
  }
  std::ifstream local("registry.reg");
  if (local) return std::make_shared<Registry>(ParseRegFile(local));
  return std::make_shared<Registry>(InstalledJdkRegistry());
}

}  // namespace

// An open key: the registry content it was opened on and its normalised path.
struct HKEY__ {
  std::shared_ptr<const Registry> registry;
  std::string path;
};

namespace {

// Handles this layer gave out and that are still open; anything else is refused.
std::mutex gHandlesLock;
std::set<HKEY> gOpenHandles;

bool IsOpenHandle(HKEY key) {
  std::lock_guard lock(gHandlesLock);
  return gOpenHandles.count(key) != 0;
}

}  // namespace

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD /*options*/, DWORD /*samDesired*/,
                   HKEY* result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<const Registry> registry;
  std::string base;
  if (key == HKEY_LOCAL_MACHINE) {
    registry = LoadRegistry();
    base = "hkey_local_machine";
  } else if (IsOpenHandle(key)) {
    registry = key->registry;
    base = key->path;
  } else {
    return ERROR_INVALID_HANDLE;
  }
  std::string path = JoinKeyPath(base, subKey != nullptr ? subKey : "");
  if (!registry->HasKey(path)) return ERROR_FILE_NOT_FOUND;
  auto opened = new HKEY__{std::move(registry), std::move(path)};
  {
    std::lock_guard lock(gHandlesLock);
    gOpenHandles.insert(opened);
  }
  *result = opened;
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, LPBYTE data,
                      DWORD* dataSize) {
  if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) return ERROR_INVALID_PARAMETER;
  if (!IsOpenHandle(key)) return ERROR_INVALID_HANDLE;
  auto keyIt = key->registry->keys.find(key->path);
  if (keyIt == key->registry->keys.end()) return ERROR_FILE_NOT_FOUND;
  auto valueIt = keyIt->second.find(Lower(valueName != nullptr ? valueName : ""));
  if (valueIt == keyIt->second.end()) return ERROR_FILE_NOT_FOUND;
  const RegValue& value = valueIt->second;
  if (type != nullptr) *type = value.type;
  const auto size = static_cast<DWORD>(value.bytes.size());
  if (dataSize == nullptr) return ERROR_SUCCESS;
  if (data != nullptr) {
    if (*dataSize < size) {
      *dataSize = size;
      return ERROR_MORE_DATA;
    }
    std::memcpy(data, value.bytes.data(), size);
  }
  *dataSize = size;
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  {
    std::lock_guard lock(gHandlesLock);
    if (gOpenHandles.erase(key) == 0) return ERROR_INVALID_HANDLE;
  }
  delete key;
  return ERROR_SUCCESS;
}
