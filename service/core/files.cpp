// Files, folders, the current directory and platform paths.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "host/os.h"
#include "service/core/paths.h"
#include "service/values/text.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFileTypeFolder = 5;

// Splits a file name into its name and its extension (with the dot). A leading dot starts a
// hidden name, not an extension, and folders have no extension.
void SplitName(const std::string& name, bool isDirectory, std::string& stem, std::string& extension) {
  size_t dot = name.rfind('.');
  if (isDirectory || dot == std::string::npos || dot == 0) {
    stem = name;
    extension.clear();
    return;
  }
  stem = name.substr(0, dot);
  extension = name.substr(dot);
}

std::string WithTrailingSlash(std::string path) {
  if (path.empty() || path.back() != '/') path += '/';
  return path;
}

}  // namespace

osFile::osFile() = default;
osFile::~osFile() = default;
osFile::osFile(const osFile&) = default;
osFile& osFile::operator=(const osFile&) = default;

osError osFile::AttachTo(const char* path, int fileType, int /*mode*/, bool mustExist) {
  if (path == nullptr || *path == '\0') return QUILL_ERR_INVALID;
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec);
  if (ec) return QUILL_ERR_INVALID;
  const fs::file_status status = fs::status(absolute, ec);
  const bool exists = !ec && fs::exists(status);
  if (!exists && mustExist) return QUILL_ERR_NOT_FOUND;
  const bool isDirectory = exists ? fs::is_directory(status) : fileType == kFileTypeFolder;
  if (exists && fileType == kFileTypeFolder && !isDirectory) return QUILL_ERR_WRONG_TYPE;

  fs::path resolved = exists ? fs::canonical(absolute, ec) : absolute.lexically_normal();
  if (ec) return QUILL_ERR_NOT_FOUND;
  std::string text = resolved.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  std::string name = fs::path(text).filename().string();

  fullPath_ = isDirectory ? WithTrailingSlash(text) : text;
  SplitName(name, isDirectory, filename_, extension_);
  isDirectory_ = isDirectory;
  return QUILL_OK;
}

const char* osFile::GetFullPath() const { return fullPath_.c_str(); }
const char* osFile::GetFilename() const { return filename_.c_str(); }
const char* osFile::GetExtension() const { return extension_.c_str(); }
bool osFile::IsDirectory() const { return isDirectory_; }

struct osDirectoryIterator::State {
  std::vector<osFile> entries;
  size_t next = 0;
};

namespace {

// Appends the entries of folder (absolute, ending with '/') sorted by name; folders are followed
// by their own entries when recursive.
void Collect(const std::string& folder, bool recursive, bool includeFiles, bool includeFolders,
             std::vector<osFile>& out, const std::function<osFile(const std::string&, const std::string&, bool)>& make) {
  std::error_code ec;
  std::vector<std::pair<std::string, bool>> children;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code typeError;
    const bool isDirectory = it->is_directory(typeError);
    children.emplace_back(it->path().filename().string(), isDirectory && !typeError);
  }
  std::sort(children.begin(), children.end());
  for (const auto& [name, isDirectory] : children) {
    if (isDirectory ? includeFolders : includeFiles) out.push_back(make(folder, name, isDirectory));
    if (isDirectory && recursive) {
      Collect(folder + name + "/", recursive, includeFiles, includeFolders, out, make);
    }
  }
}

}  // namespace

osDirectoryIterator::osDirectoryIterator(const char* folderPath, bool recursive, bool includeFiles,
                                         bool includeFolders)
    : state_(std::make_unique<State>()) {
  if (folderPath == nullptr || *folderPath == '\0') return;
  osFile folder;
  if (folder.AttachTo(folderPath, kFileTypeFolder, 3, true) != QUILL_OK) return;
  auto make = [](const std::string& parent, const std::string& name, bool isDirectory) {
    osFile entry;
    // Appended in place: gcc 12 misreads the move-assignment of a concatenated temporary as an
    // overlapping copy once profile data inlines it here (-Wrestrict).
    entry.fullPath_.reserve(parent.size() + name.size() + 1);
    entry.fullPath_.append(parent).append(name);
    if (isDirectory) entry.fullPath_ += '/';
    SplitName(name, isDirectory, entry.filename_, entry.extension_);
    entry.isDirectory_ = isDirectory;
    return entry;
  };
  Collect(folder.GetFullPath(), recursive, includeFiles, includeFolders, state_->entries, make);
}

osDirectoryIterator::~osDirectoryIterator() = default;

bool osDirectoryIterator::GetNextFile(osFile& file) {
  if (state_->next >= state_->entries.size()) return false;
  file = state_->entries[state_->next++];
  return true;
}

osError osGetCurrentDirectory(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return QUILL_ERR_INVALID;
  std::vector<char> cwd(4096);
  while (getcwd(cwd.data(), cwd.size()) == nullptr) {
    if (errno != ERANGE) return QUILL_ERR_GENERIC;
    cwd.resize(cwd.size() * 2);
  }
  // Host text is ISO-8859-1, as quill_getPlatformSpecificPath reads it; a folder whose name it
  // cannot hold is refused rather than handed on misread.
  std::string path;
  if (!quill_service::Utf8ToLatin1(WithTrailingSlash(cwd.data()), &path)) return QUILL_ERR_GENERIC;
  if (path.size() + 1 > size) return QUILL_ERR_OUT_OF_RANGE;
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  return QUILL_OK;
}

extern "C" osError quill_getPlatformSpecificPath(const char* path, char* out, int32_t outSize) {
  if (path == nullptr) return QUILL_ERR_INVALID;
  // Host paths already use this platform's form: the ISO-8859-1 text comes back as the UTF-8 the
  // module reads it as, if it fits.
  return quill_service::WritePath(quill_service::Latin1ToUtf8(path), out, outSize);
}
