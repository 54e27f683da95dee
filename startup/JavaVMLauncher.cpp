#include "startup/JavaVMLauncher.h"

#include <limits.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "host/storage.h"
#include "platform/win32.h"
#include "startup/archive_check.h"
#include "startup/globals.h"
#include "startup/vm_watch.h"

JavaVMLauncher gLauncher;

CharBuffer ReadPreference(const char* sql) {
  CharBuffer value;
  StorageManager::Rows rows;
  if (StorageManager::Execute("quill_internal", sql, &rows, nullptr) == 0 && !rows.empty() &&
      !rows[0].empty() && rows[0][0] != nullptr) {
    value = *rows[0][0];
  }
  StorageManager::KillRows(&rows);
  return value;
}

CharBuffer ReadSwitchPreference(const std::string& key) {
  // The key is the module's own constant, never a script's text.
  for (const char* table : {"global_prefs", "temp.preference_defaults"}) {
    StorageManager::Rows rows;
    const std::string sql = std::string("SELECT data FROM ") + table + " WHERE store_key = '" + key + "'";
    const bool found = StorageManager::Execute("quill_internal", sql.c_str(), &rows, nullptr) == 0 && !rows.empty();
    CharBuffer value;
    if (found && !rows[0].empty() && rows[0][0] != nullptr) value = *rows[0][0];
    StorageManager::KillRows(&rows);
    if (found) return value;
  }
  return CharBuffer();
}

bool SwitchPreferenceOn(const std::string& key) {
  const CharBuffer value = ReadSwitchPreference(key);
  const char* text = value.c_str();
  return strcasecmp(text, "yes") == 0 || strcasecmp(text, "on") == 0 || strcasecmp(text, "true") == 0 ||
         std::strcmp(text, "1") == 0;
}

namespace {

constexpr const char* kRuntimeKey = "SOFTWARE\\JavaSoft\\Java Runtime Environment\\";
constexpr const char* kRegistryError = "Could not open the registry.";

// Reads a string value of an open key into a buffer of `capacity` bytes.
LONG QueryString(HKEY key, const char* name, char* buffer, DWORD capacity) {
  DWORD type = 0;
  DWORD size = capacity;
  LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size);
  if (rc == ERROR_SUCCESS && (size == 0 || buffer[size - 1] != '\0')) {
    // A value that fills the buffer without its terminator does not fit.
    if (size >= capacity) return ERROR_MORE_DATA;
    buffer[size] = '\0';
  }
  return rc;
}

// The class loader passes over an archive it cannot open without a word, and the tags it should
// have brought then fail as unknown: say so once, here. The archive stays on the class path.
void ReportUnusableArchive(const char* path) {
  const std::string why = ArchiveProblem(path);
  if (!why.empty()) quill_log(2, "[QJAPI] The archive %s cannot be used: %s", CutForLog(path).c_str(), why.c_str());
}

// Why the entry stat describes could be changed by someone other than the server's user or root,
// with subject naming it in the sentence; empty when it cannot. A folder with the sticky bit
// (/tmp) lets others add entries but not rename or remove ours, so as an ancestor it passes.
std::string WritableByOthers(const struct stat& info, const std::string& subject, bool ancestor) {
  if (info.st_uid != 0 && info.st_uid != geteuid()) {
    return subject + " belongs to another user than the server's or root";
  }
  if (ancestor && S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0) return "";
  if ((info.st_mode & S_IWOTH) != 0) return "every user may write to " + subject;
  if ((info.st_mode & S_IWGRP) != 0 && info.st_gid != 0 && info.st_gid != getegid()) {
    return "the users of another group may write to " + subject;
  }
  return "";
}

std::string ParentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

// The same for a folder and each one above it up to "/", after resolving links: whoever may
// rename one of them could put another folder or archive in the place that was checked.
std::string FoldersWritableByOthers(const std::string& folder) {
  char resolved[PATH_MAX];
  if (realpath(folder.c_str(), resolved) == nullptr) return "the folder \"" + folder + "\" above it cannot be read";
  for (std::string above = resolved;; above = ParentOf(above)) {
    struct stat info {};
    if (stat(above.c_str(), &info) != 0) return "the folder \"" + above + "\" above it cannot be read";
    const std::string why = WritableByOthers(info, "the folder \"" + above + "\" above it", true);
    if (!why.empty() || above == "/") return why;
  }
}

// Why path (a folder or an archive outside the root) is not to be used; empty when it may be, or
// when nothing is there. A symbolic link is judged by itself and the folders holding it, since
// whoever may replace it could point it elsewhere (also when it names nothing yet), and then by
// what it names.
std::string UntrustedOutsideRoot(const std::string& path) {
  std::string link = path;
  while (link.size() > 1 && link.back() == '/') link.pop_back();
  struct stat linkInfo {};
  if (lstat(link.c_str(), &linkInfo) == 0 && S_ISLNK(linkInfo.st_mode)) {
    // The sticky bit does not keep a link's own owner from replacing it.
    if (linkInfo.st_uid != 0 && linkInfo.st_uid != geteuid()) {
      return "the link to it belongs to another user than the server's or root";
    }
    if (std::string why = FoldersWritableByOthers(ParentOf(link)); !why.empty()) return why;
  }
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return "";
  if (std::string why = WritableByOthers(info, "it", false); !why.empty()) return why;
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return "its path cannot be resolved";
  return FoldersWritableByOthers(ParentOf(resolved));
}

constexpr const char* kNativeLibraryExtension = ".so";

// The extensions an archive folder's files are taken by, as a list that the file's extension is
// found in.
bool TakenAsArchive(std::string_view extension) {
  return std::string_view(".zip .jar .war .ear").find(extension) != std::string_view::npos;
}

// A used module folder outside the root may still hold entries that someone else can replace.
// Archives are judged one by one (AppendArchives), but the VM takes loose classes and resources
// (everything below the folder but the archives and native libraries in it) and native libraries
// (the folder's own files) from the folder as a whole, so one such entry keeps the folder off that
// path. Says why, naming the entry; empty when none, or when the folder is missing.
std::string UntrustedEntryBelow(const char* folder, bool libraries) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
  if (ec == std::errc::no_such_file_or_directory) return "";
  for (const fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
    const fs::path& entry = it->path();
    const std::string extension = entry.extension().string();
    if (libraries) {
      it.disable_recursion_pending();
      if (extension != kNativeLibraryExtension) continue;
    } else if (std::error_code unknown; it.depth() == 0 && !it->is_directory(unknown) &&
               (TakenAsArchive(extension) || extension == kNativeLibraryExtension)) {
      continue;
    }
    if (std::string why = UntrustedOutsideRoot(entry.string()); !why.empty()) {
      return CutForLog(entry.string()) + ": " + why;
    }
  }
  return ec ? "its entries cannot be read (" + ec.message() + ")" : "";
}

// Whether the VM may take loose classes (libraries false) or native libraries (true) from a
// trusted module folder outside the root; logs why not.
bool EntriesTrustedOutsideRoot(const char* folder, bool libraries) {
  const std::string why = UntrustedEntryBelow(folder, libraries);
  if (why.empty()) return true;
  quill_log(2, "[QJAPI] The folder \"%s\" outside the server root is not used for %s: %s", folder,
            libraries ? "native libraries" : "classes", why.c_str());
  return false;
}

}  // namespace

bool TrustedOutsideRoot(const char* folder) {
  const std::string why = UntrustedOutsideRoot(folder);
  if (why.empty()) return true;
  quill_log(2, "[QJAPI] The folder \"%s\" outside the server root is not used: %s", folder, why.c_str());
  return false;
}

bool JavaVMLauncher::Start() {
  try {
    BuildOptions();
    LoadRuntime();
    CreateVM();
    return true;
  } catch (const std::exception& e) {  // osException with its text; anything else too
    quill_log(2, "%s", e.what());
    return false;
  }
}

void JavaVMLauncher::ModulesFolderPath(CharBuffer& out, bool upTwo) {
  char current[2048] = {0};
  char platform[1024] = {0};
  osGetCurrentDirectory(current, sizeof current);
  quill_getPlatformSpecificPath(current, platform, sizeof platform);
  out = platform;
  if (upTwo) out.Append("../../");
  out.Append("QuillModules");
  out.Append("/");
}

void JavaVMLauncher::AppendArchives(CharBuffer& classPath, const char* folder, bool outsideRoot) {
  if (folder == nullptr || *folder == '\0') return;
  osFile dir;
  if (dir.AttachTo(folder, 5, 3, true) != 0) {
    quill_log(2, "Unable to locate \"%s\" folder", folder);
    return;
  }
  osDirectoryIterator entries(dir.GetFullPath(), false, true, true);
  osFile entry;
  while (entries.GetNextFile(entry)) {
    if (entry.IsDirectory()) continue;
    if (!TakenAsArchive(entry.GetExtension())) continue;
    if (outsideRoot) {
      // A trusted folder may still hold an archive that someone else can replace.
      const std::string why = UntrustedOutsideRoot(entry.GetFullPath());
      if (!why.empty()) {
        quill_log(2, "[QJAPI] The archive %s outside the server root is not used: %s",
                  CutForLog(entry.GetFullPath()).c_str(), why.c_str());
        continue;
      }
    }
    ReportUnusableArchive(entry.GetFullPath());
    classPath.Append(dir.GetFullPath());
    classPath.Append(entry.GetFilename());
    classPath.Append(entry.GetExtension());
    classPath += kPathListSeparator;
  }
}

// Appends the module folders ("QuillModules/" here and, when trusted, two levels up), each closed
// by the path-list separator.
static void AppendModuleFolders(CharBuffer& pathList, bool upTwoTrusted) {
  CharBuffer folder;
  for (bool upTwo : {false, true}) {
    if (upTwo && !upTwoTrusted) continue;
    JavaVMLauncher::ModulesFolderPath(folder, upTwo);
    pathList.Append(folder);
    pathList += kPathListSeparator;
  }
}

void JavaVMLauncher::BuildOptions() {
  CharBuffer classPath =
      ReadPreference("SELECT data FROM global_prefs WHERE store_key = 'java_class_path'");
  if (!classPath.IsEmpty()) classPath += kPathListSeparator;
  classPath += '.';
  classPath += kPathListSeparator;
  constexpr const char* kUpTwoModules = "../../QuillModules/";
  const bool upTwoModulesTrusted = TrustedOutsideRoot(kUpTwoModules);
  AppendModuleFolders(classPath, upTwoModulesTrusted && EntriesTrustedOutsideRoot(kUpTwoModules, false));
  for (const char* archiveFolder : {"QuillModules/", "JavaLibraries/", "JDBCDrivers/"}) {
    AppendArchives(classPath, archiveFolder);
  }
  for (const char* archiveFolder : {kUpTwoModules, "../../JavaLibraries/", "../../JDBCDrivers/"}) {
    const bool trusted =
        archiveFolder == kUpTwoModules ? upTwoModulesTrusted : TrustedOutsideRoot(archiveFolder);
    if (trusted) AppendArchives(classPath, archiveFolder, true);
  }
  // The option texts are sized to their content, so long paths cannot overflow.
  CharBuffer option("-Djava.class.path=");
  option.Append(classPath);
  options.push_back(std::move(option));

  CharBuffer libraryPath =
      ReadPreference("SELECT data FROM global_prefs WHERE store_key = 'java_lib_path'");
  if (!libraryPath.IsEmpty()) libraryPath += kPathListSeparator;
  AppendModuleFolders(libraryPath, upTwoModulesTrusted && EntriesTrustedOutsideRoot(kUpTwoModules, true));
  option = "-Djava.library.path=";
  option.Append(libraryPath);
  options.push_back(std::move(option));

  // Split at every space only: quotes do not group and tabs do not separate.
  const CharBuffer free =
      ReadPreference("SELECT data FROM global_prefs WHERE store_key = 'java_vm_options'");
  const std::string& text = free.str();
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) options.emplace_back(text.data() + start, end - start);
    start = end + 1;
  }

  // Preferences the Java side reads as system properties; a property the VM options set wins.
  const auto propertyUnlessSet = [&](const char* property, const char* value) {
    const std::string prefix = std::string("-D") + property + "=";
    if (text.find(prefix) != std::string::npos) return;
    options.emplace_back((prefix + value).c_str());
  };
  if (strcasecmp(ReadSwitchPreference("java_stdio").c_str(), "log") == 0) propertyUnlessSet("quill.stdio", "log");
  if (SwitchPreferenceOn("java_module_reload")) {
    propertyUnlessSet("quill.module.reload", "yes");
  }
}

void JavaVMLauncher::LoadRuntime() {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRuntimeKey, 0, KEY_QUERY_VALUE, &key);
  if (rc != ERROR_SUCCESS) throw osException(kRegistryError, rc);

  // A version that cannot be read, or does not fit, fails like a missing version key.
  char version[100] = {0};
  rc = QueryString(key, "CurrentVersion", version, sizeof version);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) throw osException(kRegistryError, rc);

  std::string versionKey = std::string(kRuntimeKey) + version;
  rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, versionKey.c_str(), 0, KEY_QUERY_VALUE, &key);
  if (rc != ERROR_SUCCESS) throw osException(kRegistryError, rc);

  char libraryPath[2000] = {0};
  rc = QueryString(key, "RuntimeLib", libraryPath, sizeof libraryPath);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) throw osException("Could not read JRE path from the registry.", rc);
  runtimeLibPath = libraryPath;

  runtimeLibrary = LoadLibraryA(runtimeLibPath.c_str());
  if (runtimeLibrary == nullptr) throw osException("Failed to load library", -1);
  createJavaVM = reinterpret_cast<CreateJavaVMFunc>(
      reinterpret_cast<void*>(GetProcAddress(runtimeLibrary, "JNI_CreateJavaVM")));
  if (createJavaVM == nullptr) throw osException("Failed to find JVM Create func", -1);
}

void JavaVMLauncher::CreateVM() {
  // The option array is sized to the list: no fixed limit to overflow.
  std::vector<JavaVMOption> vmOptions(options.size());
  for (size_t i = 0; i < options.size(); ++i) {
    vmOptions[i].optionString = const_cast<char*>(options[i].c_str());
    vmOptions[i].extraInfo = nullptr;
  }
  for (const JavaVMOption& hook : VmWatchOptions()) vmOptions.push_back(hook);
  JavaVMInitArgs args{};
  args.version = kCreateVersion;
  args.nOptions = static_cast<jint>(vmOptions.size());
  args.options = vmOptions.data();
  args.ignoreUnrecognized = JNI_FALSE;

  quill_log(3, "Starting Java VM with options: ");
  for (const CharBuffer& option : options) std::printf("   %s\n", option.c_str());
  std::fflush(stdout);

  jint rc = createJavaVM(&vm, reinterpret_cast<void**>(&env), &args);
  if (rc < 0) {
    std::printf("%s %d\n", "Could not create JVM", static_cast<int>(rc));
    std::fflush(stdout);
    vm = nullptr;
    env = nullptr;
    throw osException("Could not create JVM", -1);
  }
  options.clear();
}
