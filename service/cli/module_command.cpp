// `quill module new`: a module project a Java developer recognises (sources under src/main/java,
// the service file under src/main/resources, a build script, a first test, a README), built with
// the JDK alone so that it works offline.
#include "service/cli/module_command.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "service/cli/usage.h"

namespace quill_service {

namespace {

namespace fs = std::filesystem;

int ModuleUsage() {
  std::fputs(kModuleUsage, stderr);
  return 2;
}

// A module name is also its Java package and its tag or data-source prefix.
bool ValidModuleName(const std::string& name) {
  if (name.empty() || name.size() > 64 || !std::islower(static_cast<unsigned char>(name[0]))) return false;
  for (const char c : name) {
    if (!std::islower(static_cast<unsigned char>(c)) && !std::isdigit(static_cast<unsigned char>(c)) && c != '_') {
      return false;
    }
  }
  return true;
}

// shop_stock -> ShopStock
std::string ClassStem(const std::string& name) {
  std::string stem;
  bool upper = true;
  for (const char c : name) {
    if (c == '_') {
      upper = true;
      continue;
    }
    stem += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
    upper = false;
  }
  return stem;
}

// Every @KEY@ of text replaced by its value.
std::string Fill(std::string text, const std::vector<std::pair<std::string, std::string>>& values) {
  for (const auto& [key, value] : values) {
    const std::string mark = "@" + key + "@";
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + value.size())) {
      text.replace(at, mark.size(), value);
    }
  }
  return text;
}

// A single-quoted shell word.
std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

constexpr const char* kTagsSource = R"QT(package @NAME@;

import com.ferngate.quillpro.QuillCall;
import com.ferngate.quillpro.QuillTagModule;
import java.util.logging.Logger;

/** The script tags of @NAME@. */
public class @CLASS@ extends QuillTagModule {
    private static final Logger LOG = Logger.getLogger(@CLASS@.class.getName());

    /** The service loader makes the module with this constructor; every tag call gets a fresh instance. */
    public @CLASS@() {
    }

    @Override
    public void registerModule() {
        registerTag("@NAME@_hello", "hello", "@NAME@_hello([name]): greets its parameter");
    }

    /** {@code @NAME@_hello('you')} writes "Hello, you!"; without a parameter it greets the world. */
    public int hello(QuillCall call, int argument) {
        String name = call.param(0);
        LOG.info("greeting " + name);
        return call.print("Hello, " + (name == null ? "world" : name) + "!");
    }
}
)QT";

// The start of either kind's first test class; its test methods and the closing brace follow.
constexpr const char* kTestHead = R"QT(package @NAME@;

import static org.junit.jupiter.api.Assertions.assertEquals;

import com.ferngate.quillpro.testing.QuillTestRoot;
import java.nio.file.Path;
import java.util.List;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** Runs scripts against the module in a throwaway server root that loads target/@NAME@.jar. */
class @CLASS@Test {
    private static QuillTestRoot root;

    @BeforeAll
    static void makeRoot() {
        root = QuillTestRoot.withModules(Path.of("target/@NAME@.jar"));
    }

    @AfterAll
    static void deleteRoot() {
        root.close();
    }

)QT";

constexpr const char* kTagsTest = R"QT(    @Test
    void greetsItsParameterOrTheWorld() {
        QuillTestRoot.Result result = root.run("@NAME@_hello('Java') '\\n' @NAME@_hello() '\\n'");
        assertEquals(List.of("Hello, Java!", "Hello, world!"), result.lines(), result.log());
        assertEquals(0, result.status());
        assertEquals(List.of("[@NAME@.@CLASS@] greeting Java", "[@NAME@.@CLASS@] greeting null"),
                result.logLines(2).stream().filter(line -> line.contains("greeting")).toList());
    }
}
)QT";

constexpr const char* kDataSourceSource = R"QT(package @NAME@;

import com.ferngate.quillpro.IntValue;
import com.ferngate.quillpro.QuillCall;
import com.ferngate.quillpro.QuillDSModule;
import com.ferngate.quillpro.QuillError;
import com.ferngate.quillpro.QuillValue;
import com.ferngate.quillpro.SearchOp;
import com.ferngate.quillpro.TypeCode;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.logging.Logger;

/**
 * The data source "@NAME@": one table, items (id, name), kept in memory until the server stops.
 * Searches take =, NOT and contains; adds append a row.
 */
public class @CLASS@ extends QuillDSModule {
    private static final Logger LOG = Logger.getLogger(@CLASS@.class.getName());
    private static final List<String> COLUMNS = List.of("id", "name");
    private static final int NOT_FOUND = -9003;

    // One instance serves every action, on many threads at once.
    private final List<String[]> rows = new CopyOnWriteArrayList<>();

    /** The server makes the instance that serves the actions with this constructor. */
    public @CLASS@() {
    }

    @Override
    public void registerModule() {
        registerDataSource("@NAME@", "action");
    }

    /** Every action of the data source; {@code action} is one of the {@code ACTION_} codes. */
    public int action(QuillCall call, int action, QuillValue value) {
        switch (action) {
            case ACTION_INIT: case ACTION_TERMINATE: case ACTION_CLOSE_CONNECTION:
                return 0;
            case ACTION_LIST_TABLES:
                return call.addDataSourceResult("items");
            case ACTION_DESCRIBE_TABLE:
                return describe(call);
            case ACTION_ADD:
                return add(call);
            case ACTION_SEARCH:
                return search(call);
            default:
                call.setResultMessage("@NAME@: action " + action + " is not served");
                return QuillError.UNSUPPORTED;
        }
    }

    private int describe(QuillCall call) {
        for (String column : COLUMNS) {
            int code = call.addColumnInfo(column, TypeCode.TEXT, 0, 1);
            if (code != 0) return code;
        }
        return 0;
    }

    private int add(QuillCall call) {
        String[] row = new String[COLUMNS.size()];
        IntValue count = new IntValue();
        int code = call.getInputColumnCount(count);
        for (int i = 0; code == 0 && i < count.value; i++) {
            QuillValue field = new QuillValue();
            code = call.getInputColumn(i, field);
            if (code == 0 && COLUMNS.indexOf(field.name) < 0) {
                call.setResultMessage("@NAME@: no column " + field.name);
                return NOT_FOUND;
            }
            if (code == 0) row[COLUMNS.indexOf(field.name)] = field.data;
        }
        if (code != 0) return code;
        rows.add(row);
        LOG.fine(() -> "added " + Arrays.toString(row));
        code = describe(call);
        return code != 0 ? code : call.addResultRow(row);
    }

    private int search(QuillCall call) {
        IntValue count = new IntValue();
        int code = call.getInputColumnCount(count);
        QuillValue[] criteria = new QuillValue[(int) Math.max(0, count.value)];
        for (int i = 0; code == 0 && i < criteria.length; i++) {
            criteria[i] = new QuillValue();
            code = call.getInputColumn(i, criteria[i]);
            if (code == 0 && COLUMNS.indexOf(criteria[i].name) < 0) {
                call.setResultMessage("@NAME@: no column " + criteria[i].name);
                return NOT_FOUND;
            }
        }
        if (code != 0 || (code = describe(call)) != 0) return code;
        int found = 0;
        for (String[] row : rows) {
            boolean matches = true;
            for (QuillValue criterion : criteria) {
                String cell = row[COLUMNS.indexOf(criterion.name)];
                String wanted = criterion.data == null ? "" : criterion.data;
                String have = cell == null ? "" : cell;
                switch (criterion.type) {
                    case SearchOp.EQUALS: matches &= have.equals(wanted); break;
                    case SearchOp.NOT_EQUALS: matches &= !have.equals(wanted); break;
                    case SearchOp.CONTAINS: matches &= have.contains(wanted); break;
                    default:
                        call.setResultMessage("@NAME@: operator " + TypeCode.toText(criterion.type) + " is not served");
                        return QuillError.UNSUPPORTED;
                }
            }
            if (matches) {
                found++;
                if ((code = call.addResultRow(row)) != 0) return code;
            }
        }
        return call.setNumRowsFound(found);
    }
}
)QT";

constexpr const char* kDataSourceTest = R"QT(    @Test
    void findsTheRowsItAdded() {
        QuillTestRoot.Result result = root.run("""
                db_add(-source='@NAME@', -table='items', ['id', 1], ['name', 'apple']) => { }
                db_add(-source='@NAME@', -table='items', ['id', 2], ['name', 'pear']) => { }
                db_search(-source='@NAME@', -table='items', ['name', 'contains', 'p']) => {
                  found_count() ' found\\n'
                  rows => { field('id') ' ' field('name') '\\n' }
                }
                """);
        assertEquals(List.of("2 found", "1 apple", "2 pear"), result.lines(), result.log());
    }

    @Test
    void refusesAnUnknownColumn() {
        QuillTestRoot.Result result = root.run("db_search(-source='@NAME@', -table='items', ['colour', 'red'])"
                + " => { action_code() ' ' action_message() }");
        assertEquals("-9003 @NAME@: no column colour", result.output(), result.log());
    }
}
)QT";

constexpr const char* kBuildScript = R"QT(#!/bin/sh
# Builds @NAME@.jar against QJAPI.jar and the jars of the server's JavaLibraries/ (SLF4J's API
# among them) and drops it into the server's QuillModules/ folder, with nothing but the JDK:
# ./build.sh. "./build.sh test" also runs the JUnit 5 tests of src/test/java
# (from Debian's junit5 package), each in a throwaway server root. QUILL_ROOT and QUILL choose
# another server root and quill command; JUNIT another folder of the JUnit jars.
set -eu
cd "$(dirname "$0")"
root=${QUILL_ROOT:-@ROOT@}
quill=${QUILL:-@QUILL@}
junit=${JUNIT:-/usr/share/java}
rm -rf target
mkdir -p target/classes
libraries="$root/QuillModules/QJAPI.jar:$root/JavaLibraries/*"
javac --release 17 -encoding UTF-8 -Xlint:all -cp "$libraries" -d target/classes \
  $(find src/main/java -name '*.java')
cp -R src/main/resources/. target/classes/
jar --create --file target/@NAME@.jar -C target/classes .
# Renamed into place, so that a server reading the old jar never sees a half-written one.
cp target/@NAME@.jar "$root/QuillModules/.@NAME@.jar.new"
mv "$root/QuillModules/.@NAME@.jar.new" "$root/QuillModules/@NAME@.jar"
echo "built target/@NAME@.jar into $root/QuillModules/"
if [ "${1:-}" = test ]; then
  testing="$root/QuillModules/QJAPI-testing.jar"
  javac --release 17 -encoding UTF-8 -Xlint:all -d target/test-classes \
    -cp "target/classes:$libraries:$testing:$junit/junit-jupiter-api.jar:$junit/apiguardian-api.jar:$junit/opentest4j.jar" \
    $(find src/test/java -name '*.java')
  java -Dquill.root="$root" -Dquill.command="$quill" -jar "$junit/junit-platform-console-standalone.jar" \
    --disable-banner --disable-ansi-colors --details=tree --fail-if-no-tests \
    --class-path "target/test-classes:$testing" \
    --scan-class-path target/test-classes
fi
)QT";

constexpr const char* kReadme = R"QT(# @NAME@

A Java @KIND@ module of the server, made by `quill module new`.

| Path | What |
|---|---|
| `src/main/java/@NAME@/@CLASS@.java` | the module |
| `src/main/resources/META-INF/services/com.ferngate.quillpro.QuillJavaModule` | lists the module class, so the server finds it |
| `src/test/java/@NAME@/@CLASS@Test.java` | its JUnit 5 tests: each runs scripts against the module in a throwaway server root (`QuillTestRoot` of `QJAPI-testing.jar`) |
| `build.sh` | compiles against `QJAPI.jar`, builds `target/@NAME@.jar` and copies it into the server's `QuillModules/`; `./build.sh test` then runs the tests |

Build, deploy and test (the server root is `@ROOT@`; `QUILL_ROOT=... ./build.sh` picks another;
the tests need Debian's `junit5` package):

```sh
./build.sh test
```

A running `quill serve` loads the new jar when it is restarted, or at once when it was started
with `--reload`. Jars the module needs go into the root's `JavaLibraries/` folder, which `build.sh`
compiles against as well (SLF4J's API, `slf4j-api.jar`, is there already).

In the IDE, put `@ROOT@/QuillModules/QJAPI.jar` and the jars of `@ROOT@/JavaLibraries/` on the
class path (and `QJAPI-testing.jar` with the JUnit 5 jars of `/usr/share/java` on the test class
path), with `QJAPI-sources.jar` as their sources and `QJAPI-api/` as their API reference (all
beside `QJAPI.jar`). Logs written with `java.util.logging` or SLF4J reach the server's log; so do
`System.out` and `System.err` under `quill serve` and in the tests (`result.log()`).
)QT";

bool WriteFile(const fs::path& path, const std::string& text) {
  std::error_code error;
  fs::create_directories(path.parent_path(), error);
  std::ofstream out(path, std::ios::binary);
  out << text;
  out.close();
  if (!out) {
    std::fprintf(stderr, "quill module: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int ModuleCommand(const std::string& root, const std::string& quill, const std::vector<std::string>& args) {
  if (args.size() < 3 || args[0] != "new") return ModuleUsage();
  const std::string& name = args[1];
  std::string kind;
  fs::path folder = fs::current_path();
  for (size_t i = 2; i < args.size(); ++i) {
    if ((args[i] == "--tags" || args[i] == "--datasource") && kind.empty()) {
      kind = args[i];
    } else if (args[i] == "--dir" && i + 1 < args.size()) {
      folder = args[++i];
    } else {
      return ModuleUsage();
    }
  }
  if (kind.empty()) return ModuleUsage();
  if (!ValidModuleName(name)) {
    std::fprintf(stderr, "quill module: NAME must be a lower-case letter followed by lower-case letters, digits "
                         "or _ (at most 64): it names the Java package, the jar and the tags\n");
    return 2;
  }
  const fs::path project = folder / name;
  std::error_code error;
  if (fs::exists(project, error)) {
    std::fprintf(stderr, "quill module: %s exists; nothing was written\n", project.c_str());
    return 1;
  }
  const bool tags = kind == "--tags";
  const std::string className = ClassStem(name) + (tags ? "Tags" : "DataSource");
  const std::vector<std::pair<std::string, std::string>> values = {
      {"NAME", name}, {"CLASS", className}, {"KIND", tags ? "tag" : "data-source"},
      {"ROOT", fs::absolute(root).lexically_normal().string()}, {"QUILL", quill}};
  std::vector<std::pair<std::string, std::string>> shellValues = values;
  // The name and class are plain words already; the paths may hold anything.
  for (auto& [key, value] : shellValues) {
    if (key == "ROOT" || key == "QUILL") value = ShellQuoted(value);
  }
  const bool written =
      WriteFile(project / "src/main/java" / name / (className + ".java"), Fill(tags ? kTagsSource : kDataSourceSource, values)) &&
      WriteFile(project / "src/main/resources/META-INF/services/com.ferngate.quillpro.QuillJavaModule",
                name + "." + className + "\n") &&
      WriteFile(project / "src/test/java" / name / (className + "Test.java"),
                Fill(std::string(kTestHead) + (tags ? kTagsTest : kDataSourceTest), values)) &&
      WriteFile(project / "build.sh", Fill(kBuildScript, shellValues)) &&
      WriteFile(project / "README.md", Fill(kReadme, values));
  if (!written) return 1;
  fs::permissions(project / "build.sh", fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::add, error);
  std::printf("made %s; build, deploy and test it with %s/build.sh test\n", project.c_str(), project.c_str());
  return 0;
}

}  // namespace quill_service
