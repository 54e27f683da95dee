// Start-up of the bridge, seen from outside: each case starts `quill` in a server root of its
// own (its own registry file, preferences and module folder) and reads its log and output.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "../process/quill_child.h"

namespace fs = std::filesystem;

namespace {

using quill_child::Has;
using quill_child::ReadFile;

void WriteFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

struct QuillRun : quill_child::Outcome {
  std::vector<std::string> options;  // the lines after "Starting Java VM", without the indent
  bool Logged(int level, const std::string& text) const {
    return err.find("[" + std::to_string(level) + "] " + text + "\n") != std::string::npos;
  }
};

// A server root in a folder of its own, two levels below the case folder so that the
// "../../" module folders land in the case folder too.
class Root : quill_child::Root {
 public:
  explicit Root(const std::string& name, const std::vector<const char*>& jars = {QJAPI_JAR})
      : quill_child::Root("qjapi-startup", name, {QJAPI_MODULE}, "server/root") {
    for (const char* jar : jars) fs::copy_file(jar, modules() / fs::path(jar).filename());
  }
  // Each case's copy of the module is gone when the case ends, not only at the program's end.
  ~Root() {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }
  const fs::path& path() const { return root(); }
  // For roots whose database cannot take the -Xcheck:jni preference.
  void SkipJniCheck() { jniCheckable_ = false; }
  fs::path modules() const { return root() / "QuillModules"; }

  // Under QJAPI_CHECK_JNI=1 every run that sets no VM options of its own runs with -Xcheck:jni,
  // and none of its warnings may appear.
  QuillRun Run(std::vector<std::string> args = {}) {
    const char* flag = std::getenv("QJAPI_CHECK_JNI");
    bool checkJni = flag != nullptr && std::string(flag) == "1" && jniCheckable_;
    for (const std::string& arg : args) checkJni = checkJni && arg.rfind("java_vm_options=", 0) != 0;
    if (checkJni) args.insert(args.begin(), {"--pref", "java_vm_options=-Xcheck:jni"});
    QuillRun run;
    static_cast<quill_child::Outcome&>(run) = quill_child::Root::Run(args, std::chrono::seconds(180));
    std::stringstream out(run.out);
    for (std::string line; std::getline(out, line);)
      if (line.rfind("   -", 0) == 0 && line != "   -Xcheck:jni") run.options.push_back(line.substr(3));
    if (checkJni) quill_child::ExpectNoJniWarnings(run.out, run.err);
    return run;
  }

 private:
  bool jniCheckable_ = true;
};

// Whether text holds the parts in this order, each after the one before.
::testing::AssertionResult InOrder(const std::string& text, const std::vector<std::string>& parts) {
  size_t at = 0;
  for (const std::string& part : parts) {
    if ((at = text.find(part, at)) == std::string::npos) return ::testing::AssertionFailure() << part << "\n" << text;
    at += part.size();
  }
  return ::testing::AssertionSuccess();
}

std::string Dir(const fs::path& path) { return path.string() + "/"; }

const std::string kNoLoader =
    "[0] [QJAPI] The native loader class (com.marrowbay.util.NativeLoader.class) could not be found.\n";

// A registry file whose runtime key points at the installed JDK, with parts left out on request.
std::string RegistryText(const std::string& version, const std::string* runtimeLib) {
  const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\JavaSoft\\Java Runtime Environment";
  return "Windows Registry Editor Version 5.00\n\n" + key + "]\n\"CurrentVersion\"=\"" + version + "\"\n\n" +
         key + "\\17]\n" + (runtimeLib != nullptr ? "\"RuntimeLib\"=\"" + *runtimeLib + "\"\n" : "");
}

// The first column of each row the statement gives, each followed by a space.
std::string Sql(const fs::path& database, const char* statement) {
  std::string rows;
  sqlite3* db = nullptr;
  sqlite3_open(database.c_str(), &db);
  const auto collect = [](void* out, int, char** values, char**) {
    *static_cast<std::string*>(out) += std::string(values[0] != nullptr ? values[0] : "NULL") + " ";
    return 0;
  };
  sqlite3_exec(db, statement, collect, &rows, nullptr);
  sqlite3_close(db);
  return rows;
}

}  // namespace

// Without preferences there are exactly the two path options; preferences head the paths, and
// the free options split at spaces (tabs do not separate). Every archive folder that is missing is
// named, exactly as it was given. The root's own path is not ASCII and stays as it is.
TEST(VmOptions, PreferencesHeadThePathsAndFreeOptionsSplitAtSpaces) {
  Root root("prefs-\u00e9");
  const std::string modules = Dir(root.path()) + "QuillModules/";
  const std::string paths = modules + ":" + Dir(root.path()) + "../../QuillModules/:";
  const std::string classPath = "-Djava.class.path=/opt/a.jar:/opt/b:.:" + paths + modules + "QJAPI.jar:";
  const std::pair<std::vector<std::string>, std::vector<std::string>> runs[] = {
      {{}, {"-Djava.class.path=.:" + paths + modules + "QJAPI.jar:", "-Djava.library.path=" + paths}},
      {{"--pref", "java_class_path=/opt/a.jar:/opt/b", "--pref", "java_lib_path=/opt/native", "--pref",
        "java_vm_options=-Xss2m  -Dqjapi.test=1 -Dtab=a\tb "},
       {classPath, "-Djava.library.path=/opt/native:" + paths, "-Xss2m", "-Dqjapi.test=1", "-Dtab=a\tb"}},
  };
  for (const auto& [prefs, options] : runs) {
    const QuillRun run = root.Run(prefs);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.options, options);
    for (const char* folder : {"JavaLibraries/", "JDBCDrivers/", "../../QuillModules/", "../../JavaLibraries/",
                               "../../JDBCDrivers/"}) {
      EXPECT_TRUE(run.Logged(2, std::string("Unable to locate \"") + folder + "\" folder")) << folder;
    }
    EXPECT_FALSE(run.Logged(2, "Unable to locate \"QuillModules/\" folder"));
  }
}

// Module folders two levels above the root may lie where anyone can create them (/tmp): only
// folders of the server's user or root that no other user or group can write to are used. Whoever
// may rename a folder above the module folder, or replace the link naming it (even one that names
// nothing yet), could swap in modules of their own; a folder with the sticky bit (/tmp) lets nobody
// rename another's entries, but as the module folder itself it is open to all. In a folder that is
// used, an archive others may write to is left out on its own; a class or native library others
// may write to keeps the folder off the class or library path.
TEST(VmOptions, ModuleFoldersOutsideTheRootAreUsedOnlyWhenTheyTheFoldersAboveAndTheirLinkAreTrusted) {
  enum Kind {
    kForeignOwner, kForeignGroup, kOwn, kOpenAbove, kStickyAbove, kLinkInOpenFolder, kWritableArchive, kStickyFolder,
    kForeignLink, kForeignDanglingLink, kWritableClass, kWritableLibrary
  };
  for (int kind = kForeignOwner; kind <= kWritableLibrary; ++kind) {
    SCOPED_TRACE(kind);
    Root root("above-" + std::to_string(kind));
    const fs::path above = root.path().parent_path().parent_path();
    fs::path modules = above / "QuillModules";
    const bool linked = kind == kLinkInOpenFolder || kind == kForeignLink || kind == kForeignDanglingLink;
    if (linked) {
      modules = above.parent_path() / ("modules-" + std::to_string(kind));
      fs::create_directory_symlink(modules, above / "QuillModules");
      if (kind != kLinkInOpenFolder) {
        ASSERT_EQ(lchown((above / "QuillModules").c_str(), 65534, getgid()), 0);
      }
    }
    if (kind != kForeignDanglingLink) {
      fs::create_directories(modules);
      fs::copy_file(FIXTURE_TAGS_JAR, modules / "planted.jar");
    }
    if (kind == kForeignOwner) { ASSERT_EQ(chown(modules.c_str(), 65534, getgid()), 0); }
    if (kind == kForeignGroup) { ASSERT_EQ(chown(modules.c_str(), getuid(), 65534), 0); }
    if (kind <= kOwn) fs::permissions(modules, static_cast<fs::perms>(kind == kForeignOwner ? 0755 : 0770));
    if (kind == kWritableArchive) fs::permissions(modules / "planted.jar", fs::perms::all);
    if (kind >= kWritableClass) {
      const fs::path planted = modules / (kind == kWritableClass ? "fx/Planted.class" : "libplanted.so");
      WriteFile(planted, "");
      fs::permissions(planted, fs::perms::all);
    }
    if (kind == kStickyFolder) fs::permissions(modules, fs::perms::all | fs::perms::sticky_bit);
    if (kind == kOpenAbove || kind == kLinkInOpenFolder) fs::permissions(above, fs::perms::all);
    if (kind == kStickyAbove) fs::permissions(above, fs::perms::all | fs::perms::sticky_bit);
    const QuillRun run = root.Run();
    fs::permissions(above, fs::perms::owner_all);
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.options.size(), 2u) << run.out;
    const bool plantedUsed = kind == kOwn || kind == kStickyAbove || kind >= kWritableClass;
    const bool folderUsed = plantedUsed || kind == kWritableArchive;
    for (const int path : {0, 1}) {
      EXPECT_EQ(Has(run.options[path], Dir(root.path()) + "../../QuillModules/"),
                folderUsed && kind != (path == 0 ? kWritableClass : kWritableLibrary))
          << run.options[path];
    }
    EXPECT_EQ(Has(run.options[0], plantedUsed ? Dir(above) + "QuillModules/planted.jar" : "planted.jar"), plantedUsed)
        << run.options[0];
    const std::string folder = "[QJAPI] The folder \"../../QuillModules/\" outside the server root is not used";
    const std::string open = ": every user may write to it";
    const std::string openAbove = folder + ": every user may write to the folder \"" + above.string() + "\" above it";
    const std::string foreignLink = folder + ": the link to it belongs to another user than the server's or root";
    const std::string expected[] = {
        folder + ": it belongs to another user than the server's or root",
        folder + ": the users of another group may write to it", "", openAbove, "", openAbove,
        "[QJAPI] The archive " + Dir(above) + "QuillModules/planted.jar outside the server root is not used" + open,
        folder + open, foreignLink, foreignLink, folder + " for classes: ../../QuillModules/fx/Planted.class" + open,
        folder + " for native libraries: ../../QuillModules/libplanted.so" + open};
    if (!expected[kind].empty()) {
      EXPECT_TRUE(run.Logged(2, expected[kind])) << run.err;
    }
  }
}

// Archives the class loader would pass over in silence are named once each, long names cut;
// they stay on the class path, and a sound empty archive is not reported. The walk of an archive
// folder takes the listed extensions, case-sensitively, and skips folders.
TEST(VmOptions, ArchivesAreTakenByTheirExtensionAndThoseThatCannotBeUsedAreReportedOnce) {
  Root root("archives");
  for (const char* name : {"a.zip", "b.jar", "c.war", "d.ear", "e.ja", "f.ea", "g", "x.JAR", "h.txt", "i.jarx"}) {
    WriteFile(root.path() / "JavaLibraries" / name, "");
  }
  WriteFile(root.path() / "JavaLibraries" / "sub.jar" / "inner.jar", "");
  const fs::path modules = root.modules();
  WriteFile(modules / "text.jar", "this is not a zip archive\n");
  WriteFile(modules / "empty.jar", "");
  const std::string jar = ReadFile(QJAPI_JAR);
  WriteFile(modules / "truncated.jar", jar.substr(0, jar.size() / 2));
  WriteFile(modules / "nothing.zip", std::string("PK\x05\x06", 4) + std::string(18, '\0'));
  fs::create_symlink(modules / "no-such-file", modules / "gone.jar");
  const std::string longName(200, 'n');
  WriteFile(modules / (longName + ".jar"), "");
  const QuillRun run = root.Run();
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string dir = Dir(modules);
  const std::pair<std::string, std::string> expected[] = {
      {dir + "text.jar", "it is not a zip archive"},
      {dir + "empty.jar", "it is empty"},
      {dir + "truncated.jar", "it is damaged: its zip directory is missing (a truncated copy?)"},
      {dir + "gone.jar", "it cannot be read (No such file or directory)"},
  };
  for (const auto& [path, why] : expected) {
    const std::string line = "[2] [QJAPI] The archive " + path + " cannot be used: " + why + "\n";
    const size_t at = run.err.find(line);
    EXPECT_NE(at, std::string::npos) << line << run.err;
    EXPECT_EQ(run.err.find(line, at + 1), std::string::npos) << "twice: " << line;
  }
  EXPECT_EQ(run.err.find("nothing.zip"), std::string::npos) << run.err;
  // The cut name, and after it the rest of its line.
  EXPECT_NE(run.err.find("n.jar cannot be used: it is empty\n", run.err.find("nnnnn...nnnnn")), std::string::npos)
      << run.err;
  EXPECT_EQ(run.err.find(longName), std::string::npos) << "the long name is cut";
  std::string taken = dir + "truncated.jar:";
  for (const char* name : {"a.zip", "b.jar", "c.war", "d.ear", "e.ja", "f.ea", "g"}) {
    taken += Dir(root.path()) + "JavaLibraries/" + name + ":";
  }
  EXPECT_TRUE(Has(run.options[0], taken)) << run.options[0];
  for (const char* absent : {"x.JAR", "h.txt", "i.jarx", "sub.jar", "inner.jar"}) {
    EXPECT_FALSE(Has(run.options[0], absent)) << absent;
  }
}

// Each row: a root (its jars, and a registry file when given), the exit status, the log's lines
// in the order they must come, and what must not be logged (parts that must not come in that
// order). Only an upper-case Y turns a stored switch value on; no row, or an internal database that
// cannot be read, leaves the bridge on. --quiet keeps the log off standard error and the option
// lines off standard output; with --suppress-modules the module returns at once, saying nothing.
// A missing piece of the registry keeps the VM from starting; without the bridge jar the
// classes are reported missing; a module that throws is printed and loading goes on to the
// connector's absence; a VM option the VM rejects stops the launch. Without the native loader
// nothing loads, but the entry succeeds: loading reports the missing class as the entry did and
// describes its failed lookup once, after its line (the entry's own failed lookup is cleared by
// loading before anything could print it).
TEST(StartUp, TheSwitchAndEachMissingPieceAreLoggedInOrder) {
  const std::string jvm = JVM_LIBRARY, missingLib = "/nonexistent/libjvm.so";
  const std::string notAJvm = NOT_A_JVM_LIBRARY;  // loads, but has no JNI_CreateJavaVM
  const std::string started = "[3] Starting Java VM with options: \n", off = "[2] QJAPI is OFF.\n";
  const std::string trace = "java.lang.NoClassDefFoundError: com/marrowbay/util/NativeLoader";
  struct Case {
    std::string name;
    std::vector<const char*> jars;
    std::optional<std::string> registry;
    int status;
    std::vector<std::string> inOrder;
    std::vector<std::vector<std::string>> absent;
    std::vector<std::string> args{};
    bool vmRefused = false;     // the launcher prints the VM's refusal itself
    bool junkDatabase = false;  // the internal database cannot be read
    bool silent = false;        // nothing printed at all
  };
  const Case cases[] = {
      {"switch-Ynot", {QJAPI_JAR}, std::nullopt, 0, {started}, {{off}},
       {"--pref", "java_qjapi_enabled=Ynot really"}},
      {"switch-y", {QJAPI_JAR}, std::nullopt, 1, {off}, {{started}}, {"--pref", "java_qjapi_enabled=y"}},
      {"switch-empty", {QJAPI_JAR}, std::nullopt, 1, {off}, {{started}}, {"--pref", "java_qjapi_enabled="}},
      {"switch-null", {QJAPI_JAR}, std::nullopt, 1, {off}, {{started}}, {"--pref", "java_qjapi_enabled"}},
      {"switch-none", {QJAPI_JAR}, std::nullopt, 0, {started}, {{off}}},
      {"switch-junk", {QJAPI_JAR}, std::nullopt, 0, {started}, {{off}}, {}, false, true},
      {"switch-quiet", {QJAPI_JAR}, std::nullopt, 0, {}, {}, {"--quiet"}, false, false, true},
      {"switch-suppressed", {QJAPI_JAR}, std::nullopt, 1, {}, {},
       {"--suppress-modules", "--pref", "java_qjapi_enabled=N"}, false, false, true},
      {"empty", {QJAPI_JAR}, "", 1, {"[2] Could not open the registry.\n"}, {{started}}},
      {"noversionkey", {QJAPI_JAR}, RegistryText("11", &jvm), 1, {"[2] Could not open the registry.\n"}, {{started}}},
      {"longversion", {QJAPI_JAR}, RegistryText(std::string(120, '7'), &jvm), 1, {"[2] Could not open the registry.\n"},
       {{started}}},
      {"noruntimelib", {QJAPI_JAR}, RegistryText("17", nullptr), 1,
       {"[2] Could not read JRE path from the registry.\n"}, {{started}}},
      {"missinglib", {QJAPI_JAR}, RegistryText("17", &missingLib), 1, {"[2] Failed to load library\n"}, {{started}}},
      {"notajvm", {QJAPI_JAR}, RegistryText("17", &notAJvm), 1, {"[2] Failed to find JVM Create func\n"}, {{started}}},
      {"nojar", {}, std::nullopt, 0,
       {kNoLoader, "[2] Unable to load Quill Java classes. Make sure the QJAPI.jar file is installed properly.\n"},
       {{"Loading JDBC connector..."}}},
      {"throwing", {QJAPI_JAR, THROWING_JAR}, std::nullopt, 0,
       {started, "[2]     Loaded \"fx_after_throw\" tag.\n", "fixture module failed on purpose",
        "[2] Could not find JDBCLoader.class. Make sure the JDBCConnector.jar is located in QuillModules folder.\n"},
       {{"native loader class"}}},
      {"badoption", {QJAPI_JAR}, std::nullopt, 1, {started, "[2] Could not create JVM\n"}, {},
       {"--pref", "java_vm_options=-XX:+NoSuchOptionAnywhere"}, true},
      {"noloader", {NOLOADER_JAR}, std::nullopt, 0, {kNoLoader, kNoLoader, trace},
       {{trace, kNoLoader}, {trace, trace}, {"Unable to load Quill Java classes"}, {"JDBCLoader"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Root root("start-" + c.name, c.jars);
    if (c.junkDatabase) {
      WriteFile(root.path() / "quill_internal.db", "this is not a database, not even close\n");
      root.SkipJniCheck();
    }
    if (c.registry) WriteFile(root.path() / ".." / "registry.reg", *c.registry);
    if (c.registry) setenv("QUILL_REGISTRY", (root.path() / ".." / "registry.reg").c_str(), 1);
    const QuillRun run = root.Run(c.args);
    unsetenv("QUILL_REGISTRY");
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_TRUE(InOrder(run.err, c.inOrder));
    EXPECT_EQ(Has(run.out, "\nCould not create JVM -"), c.vmRefused) << run.out;
    for (const auto& parts : c.absent) EXPECT_FALSE(InOrder(run.err, parts)) << parts.front() << "\n" << run.err;
    EXPECT_EQ(Has(run.err, "quill_internal.db cannot be used: file is not a database"), c.junkDatabase) << run.err;
    if (c.silent) { EXPECT_EQ(run.out + run.err, ""); }
  }
}


// (A fresh root gets the table with the columns the connector fills: its driver rows are checked
// where the connector runs.)
TEST(ModuleLoading, ADriverTableThatExistsIsLeftAlone) {
  Root existing("drivers-existing");
  ASSERT_EQ(existing.Run({"--no-module"}).status, 0);  // creates the database
  Sql(existing.path() / "quill_internal.db", "CREATE TABLE jdbc_drivers (mine text)");
  ASSERT_EQ(existing.Run().status, 0);
  EXPECT_EQ(Sql(existing.path() / "quill_internal.db", "SELECT name FROM pragma_table_info('jdbc_drivers')"), "mine ");
}
