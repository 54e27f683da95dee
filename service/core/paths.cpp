#include "service/core/paths.h"

#include <cstring>
#include <filesystem>
#include <vector>

namespace quill_service {

namespace fs = std::filesystem;

std::optional<std::string> QualifyInternalPath(std::string_view path, std::string_view folder) {
  if (path.empty()) return std::nullopt;
  std::string joined;
  if (path.front() != '/') {
    joined.assign(folder);
    if (joined.empty() || joined.back() != '/') joined += '/';
  }
  joined.append(path);
  std::vector<std::string_view> names;
  std::string_view rest = joined;
  while (!rest.empty()) {
    const size_t slash = rest.find('/');
    const std::string_view name = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (names.empty()) return std::nullopt;
      names.pop_back();
      continue;
    }
    names.push_back(name);
  }
  std::string out = "/";
  for (size_t i = 0; i < names.size(); ++i) {
    out.append(names[i]);
    if (i + 1 < names.size()) out += '/';
  }
  const char last = joined.back();
  const bool isFolder = last == '/' || joined.ends_with("/.") || joined.ends_with("/..");
  if (isFolder && out.back() != '/') out += '/';
  return out;
}

std::string InternalToPlatformPath(const std::string& root, std::string_view internal) {
  if (!internal.empty() && internal.front() == '/') internal.remove_prefix(1);
  return root + std::string(internal);
}

std::optional<std::string> PlatformToInternalPath(const std::string& root, std::string_view platform) {
  if (platform.empty() || platform.front() != '/') return std::nullopt;
  const std::optional<std::string> normal = QualifyInternalPath(platform, "/");
  if (!normal) return std::nullopt;
  const std::string_view rootFolder = std::string_view(root).substr(0, root.size() - 1);  // no '/'
  if (*normal == root || *normal == rootFolder) return "/";
  if (!normal->starts_with(root)) return std::nullopt;
  return "/" + normal->substr(root.size());
}

std::optional<std::string> ResolveInternalLinks(const std::string& root, std::string_view internal) {
  std::error_code ec;
  const fs::path real = fs::weakly_canonical(InternalToPlatformPath(root, internal), ec);
  if (ec) return std::nullopt;
  std::string text = real.string();
  if (!internal.empty() && internal.back() == '/' && text.back() != '/') text += '/';
  return PlatformToInternalPath(root, text);
}

osError WritePath(std::string_view path, char* out, int32_t outSize) {
  if (out == nullptr || outSize <= 0) return QUILL_ERR_INVALID;
  if (path.size() + 1 > static_cast<size_t>(outSize)) return QUILL_ERR_OUT_OF_RANGE;
  std::memcpy(out, path.data(), path.size());
  out[path.size()] = '\0';
  return QUILL_OK;
}

}  // namespace quill_service
