// The bridge inside one process: the host loads the module, which starts the VM and registers the
// fixture tags; scripts call them on the start-up thread and on threads of their own. The module's
// objects are linked into this program a second time, so the cases can also call the marshalling
// routines and the attachment scopes directly; that copy has its own globals, set up in main().
//
// Every native of that copy is bound, in place of the module's, through the JNI balance harness
// (jni_balance.h; the rows are in balanced_natives.cpp, which says how to add a native): each call
// a case makes through Java is checked for what it leaves unreleased, and each case's fixture (BridgeCase)
// reports it under the case that made the call.
#include <gtest/gtest.h>

#include <cstring>
#include <jni.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bridge/marshal.h"
#include "com_ferngate_quillpro_QuillTagModule.h"
#include "com_marrowbay_jdbc_JDBCDataSource.h"
#include "com_marrowbay_quillpro_QuillTagModule.h"
#include "com_marrowbay_util_ModuleReloader.h"
#include "host/request.h"
#include "host/site.h"
#include "service/core/current_request.h"
#include "service/core/host.h"
#include "tests/core/test_support.h"
#include "tests/datasource/scripts.h"
#include "service/core/log.h"
#include "service/core/users.h"
#include "service/core/worker_pool.h"
#include "service/script/script.h"
#include "service/values/handles.h"
#include "service/values/request_data.h"
#include "service/values/tag_table.h"
#include "startup/attach.h"
#include "startup/class_cache.h"
#include "startup/globals.h"
#include "tags/JavaTag.h"
#include "bridge/java_types.h"
#include "service/values/text.h"
#include "com_ferngate_quillpro_QuillDSModule.h"
#include "tests/bridge/jni_balance.h"

namespace fs = std::filesystem;
using quill_service::ScriptRun;

namespace {

std::vector<quill_service::LogLine> gStartupLog;  // what the host logged while loading the module
JNIEnv* gStartupEnv = nullptr;                     // the start-up thread's (this program's main thread)
bool gLoadingDetachedStartupThread = false;        // the thread was not attached once loading ended
std::vector<std::string> gBindingProblems;         // natives the balance harness could not hold

// The start-up thread never returns to Java, so the local references a case makes on it are
// freed by a frame rather than piling up for the life of the process.
using qjapi_test::LocalFrame;
using qjapi_test::Logged;
using qjapi_test::Output;
using qjapi_test::OutputAs;

ScriptRun RunScript(const std::string& source, const quill_service::RunInputs& inputs = {}) {
  return quill_service::RunScriptText(source, "case.q", inputs);
}

// Fails the running case for each imbalance a native or routine left since the last check.
void ExpectBalanced() {
  for (const std::string& violation : jni_balance::TakeViolations()) ADD_FAILURE() << "JNI imbalance: " << violation;
}

// Every case's fixture: whatever the natives it ran left unbalanced fails it at its end.
class BridgeCase : public ::testing::Test {
 protected:
  void TearDown() override { ExpectBalanced(); }
};

bool ThreadAttached() {
  void* env = nullptr;
  return gJavaVM->GetEnv(&env, JNI_VERSION_1_2) == JNI_OK && env != nullptr;
}

const quill_char* Units(const char16_t* text) { return reinterpret_cast<const quill_char*>(text); }

// The UTF-16 units of a Java string.
std::u16string JavaText(JNIEnv* env, jstring text) {
  std::u16string units(static_cast<size_t>(env->GetStringLength(text)), u'\0');
  env->GetStringRegion(text, 0, static_cast<jsize>(units.size()), reinterpret_cast<jchar*>(units.data()));
  return units;
}

// Java's own count of its live threads; an attached host thread counts as one.
int LiveJavaThreads() { return std::stoi(Output("fx_java_threads()")); }

// How many detach markers a request holds.
size_t DetachMarkers(Request* request) {
  const auto& vars = request->Contents().privateVars;
  return std::count_if(vars.begin(), vars.end(), [](const auto& var) {
    return var.first == kDetachThreadVarName && dynamic_cast<DetachThread*>(var.second.get()) != nullptr;
  });
}

// A script tag: how many detach markers the running request holds, and whether the thread is attached.
class DetachMarkersTag : public SubstitutionTag {
  void Run(CallFrame*, Variant* result, Request* request) override {
    result->SetString(u" markers " + quill_service::Utf8ToUtf16(std::to_string(DetachMarkers(request))) +
                      (ThreadAttached() ? u" attached" : u" detached"));
  }
};

// Gives this program's copy of the module the VM the loaded module started. The start-up
// thread must still be attached; if loading detached it, that is recorded for its case and the
// thread is attached again so that the other cases can run.
bool AdoptRunningVm(const std::optional<qjapi_test::StartedServer>& server) {
  gStartupEnv = qjapi_test::StartedEnv(server, &gLoadingDetachedStartupThread);
  if (gStartupEnv == nullptr) return false;
  gStartupEnv->GetJavaVM(&gJavaVM);
  LocalFrame frame(gStartupEnv);
  CacheJavaClasses(gStartupEnv);
  return gClassCache.quillValue != nullptr && gClassCache.intValue != nullptr;
}

}  // namespace

// ---- start-up (first: the cases after it rely on the thread) ----

TEST_F(BridgeCase, LoadingLeavesTheStartUpThreadAttachedAndASecondEntryCallLeavesTheBridgeServing) {
  EXPECT_FALSE(gLoadingDetachedStartupThread) << "module loading detached the start-up thread, which it did not attach";
  const fs::path module = fs::path(quill_service::Host::Instance()->Root()) / "QuillModules" / fs::path(QJAPI_MODULE).filename();
  int again = 0;
  ASSERT_TRUE(quill_service::Host::Instance()->LoadModule(module.string(), &again));
  EXPECT_EQ(again, 1);
  EXPECT_EQ(Output("fx_echo('still', 'fine')"), "still|fine");
}

// ---- registration ----

TEST_F(BridgeCase, EachRegistrationFormRegistersTheSignaturesItAccepts) {
  const struct {
    const char* tag;
    const char* output;  // null: refused, and scripts find no such tag
    const char16_t* module;
    const char* missing;  // refused: the method the log says the class lacks (null: nothing logged)
  } rows[] = {
      {"fx_marrowbay_6", "marrowbay6", u"fixtures", nullptr},
      {"fx_marrowbay_inherited", "marrowbay6", u"", nullptr},
      {"fx_twice_a", "ferngate", u"", nullptr},
      {"fx_twice_b", "ferngate", u"", nullptr},
      // The tag method's access is not checked; the constructor must be public.
      {"fx_private", "private ran", u"", nullptr},
      // A method declared with both signatures: the five-parameter form tries the ferngate
      // QuillCall first, the six-parameter form binds only the marrowbay one.
      {"fx_both_5", "ferngate", u"", nullptr},
      {"fx_both_6", "marrowbay", u"fixtures", nullptr},
      {"fx_ferngate_6", nullptr, nullptr, "ferngateSig method in class fixtures.MarrowbayTags"},
      {"fx_missing", nullptr, nullptr, "noSuchMethod method in class fixtures.Tags"},
      {"fx_wrong_signature", nullptr, nullptr, "wrongSignature method in class fixtures.Tags"},
      {"fx_no_ctor", nullptr, nullptr, "run method in class fixtures.NoDefaultConstructor"},
      {"fx_static", nullptr, nullptr, "shared method in class fixtures.PrivateParts"},
      {"fx_private_ctor", nullptr, nullptr, "run method in class fixtures.PrivateParts$Hidden"},
      {"fx_null_method", nullptr, nullptr, nullptr},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.tag);
    EXPECT_EQ(Logged(2, std::string("    Loaded \"") + r.tag + "\" tag.", gStartupLog), r.output != nullptr);
    if (r.missing != nullptr) { EXPECT_TRUE(Logged(2, std::string("Couldn't not find ") + r.missing + ".", gStartupLog)); }
    const ScriptRun run = RunScript(std::string(r.tag) + "()");
    if (r.output == nullptr) {
      EXPECT_NE(run.error.find("unknown tag"), std::string::npos) << run.error << run.output;
      continue;
    }
    EXPECT_EQ(run.output, r.output) << run.error;
    const quill_service::TagRef found = TagTable::Global().Find(quill_service::Utf8ToUtf16(r.tag));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->moduleName, r.module);
  }
  const quill_service::TagRef six = TagTable::Global().Find(u"fx_marrowbay_6");  // flags and description as given
  ASSERT_TRUE(six);
  EXPECT_EQ(six->flags, 41);
  EXPECT_EQ(six->description, u"six-parameter registration");
}

// One call of a registration native. These have no result to tell their paths apart, so each call
// is checked on its own, named by the tag it registers: a refused registration may keep nothing,
// one that registers keeps what the native's row allows.
template <auto Native, class... A>
void RegisterChecked(const char* tag, bool registers, jobject self, A... args) {
  SCOPED_TRACE(std::string("registering ") + (tag != nullptr ? tag : "a null tag name"));
  if (registers) {
    jni_balance::Counted<Native>::Call(gStartupEnv, self, args...);
  } else {
    jni_balance::Balanced(gStartupEnv, "a refused registration", [&] { Native(gStartupEnv, self, args...); });
  }
  ExpectBalanced();
}

// The registration natives on each of their paths, through the balance harness.
void RegisterOnEveryPath() {
  JNIEnv* env = gStartupEnv;
  LocalFrame frame(env);
  auto text = [env](const char* t) { return t != nullptr ? env->NewStringUTF(t) : nullptr; };
  auto instance = [env](const char* className) {
    jclass cls = env->FindClass(className);
    return cls != nullptr ? env->NewObject(cls, env->GetMethodID(cls, "<init>", "()V")) : nullptr;
  };
  jobject tags = instance("fixtures/Tags");
  jobject marrowbay = instance("fixtures/MarrowbayTags");
  jobject source = instance("fixtures/WalkSource");
  jobject connector = instance("fixtures/WalkConnector");
  jobject notAModule = text("not a tag module");
  ASSERT_TRUE(tags && marrowbay && source && connector);
  const auto five = [&](jobject self, const char* cls, const char* tag, const char* method, const char* description,
                        bool registers = false) {
    RegisterChecked<&Java_com_ferngate_quillpro_QuillTagModule_registerTagModule>(
        tag, registers, self, text(cls), text(tag), text(method), 0, text(description));
  };
  const auto six = [&](jobject self, const char* cls, const char* module, const char* tag, const char* method,
                       bool registers = false) {
    RegisterChecked<&Java_com_marrowbay_quillpro_QuillTagModule_registerTagModule>(
        tag, registers, self, text(cls), text(module), text(tag), text(method), 0, text("six"));
  };
  const auto dataSource = [&](jobject self, const char* name, const char* method, bool registers = false) {
    RegisterChecked<&Java_com_ferngate_quillpro_QuillDSModule_registerDSModule>(
        name, registers, self, text(name), text(method), 0, text("one"), static_cast<jstring>(nullptr));
  };
  const auto jdbc = [&](jobject self, const char* name, const char* method, bool registers = false) {
    RegisterChecked<&Java_com_marrowbay_jdbc_JDBCDataSource_registerJDBCModule>(name, registers, self, text(name),
                                                                                text(method), 0);
  };
  five(tags, "fixtures.Tags", nullptr, "ferngateSig", "null tag");
  five(tags, "fixtures.Tags", "fx_bal_null_method", nullptr, "null method");
  five(tags, nullptr, "fx_bal_null_class", "ferngateSig", "null class");
  five(tags, "fixtures.Tags", "fx_bal_null_description", "ferngateSig", nullptr);
  five(tags, "fixtures.Tags", "fx_bal_missing", "noSuchMethod", "missing");
  five(notAModule, "java.lang.String", "fx_bal_not_module", "length", "not a module");
  five(tags, "fixtures.Tags", "fx_bal_5", "ferngateSig", "registered", true);
  five(tags, "fixtures.Tags", "fx_bal_5m", "marrowbaySig", "registered", true);
  six(marrowbay, "fixtures.MarrowbayTags", nullptr, "fx_bal_null_module", "marrowbaySig");
  six(tags, "fixtures.Tags", "fixtures", "fx_bal_6_other_package", "marrowbaySig");  // not the package's module class
  six(marrowbay, "fixtures.MarrowbayTags", "fixtures", "fx_bal_6", "marrowbaySig", true);
  dataSource(source, nullptr, "walk");
  dataSource(source, "fx_bal_ds_null_method", nullptr);
  dataSource(notAModule, "fx_bal_ds_not_module", "walk");
  dataSource(source, "fx_bal_ds_missing", "noSuchMethod");
  dataSource(source, "fx_bal_ds", "walk", true);  // registered the first time, refused as a duplicate after
  dataSource(source, "FX_WALK_DS", "walk");  // a duplicate
  jdbc(connector, nullptr, "serve");
  jdbc(connector, "fx_bal_jdbc_null_method", nullptr);
  jdbc(notAModule, "fx_bal_jdbc_not_connector", "serve");
  jdbc(connector, "fx_bal_jdbc_missing", "noSuchMethod");
  jdbc(connector, "fx_bal_jdbc", "serve", true);  // registered the first time, refused as a duplicate after
  jdbc(connector, "FX_BAL_JDBC", "serve");  // a duplicate
  // A module generation: without registrations, and with a Runnable that registers nothing.
  jclass reloader = env->FindClass("com/marrowbay/util/ModuleReloader");
  ASSERT_NE(reloader, nullptr);
  for (jobject registrations : {static_cast<jobject>(nullptr), instance("java/lang/Thread")}) {
    jni_balance::Counted<&Java_com_marrowbay_util_ModuleReloader_registerAsOneGeneration>::Call(env, reloader,
                                                                                              registrations);
    ExpectBalanced();
  }
}

// ---- running a tag ----

// A non-zero code fails the script with the message the request holds when the tag fails; a
// thrown exception fails it with the exception, and the run stays healthy. A module instance that
// cannot be made fails nothing: the tag gives nothing and the script goes on (which also shows that
// each call makes an instance of its own: a kept one would have echoed "lost").
TEST_F(BridgeCase, AFailingTagFailsTheScriptWithItsCodeAndMessage) {
  const struct {
    const char* script;
    int code;
    const char* message;  // the request's result message
    const char* errorTail;
  } rows[] = {
      {"fx_fail_msg()", 77, "fixture failure message", "error 77: fixture failure message"},
      {"fx_fail_nomsg()", 78, "", "error 78: "},
      {"result_message('set before the call'); fx_fail_nomsg()", 78, "set before the call",
       "error 78: set before the call"},
      {"fx_throw()", -10998, "",
       "error -10998: QJAPI: the Java tag method threw java.lang.RuntimeException: fixture tag threw on purpose"},
  };
  for (const auto& row : rows) {
    const ScriptRun run = RunScript(row.script);
    EXPECT_EQ(run.resultCode, row.code) << row.script;
    if (row.code != -10998) { EXPECT_EQ(run.resultMessage, row.message) << row.script; }
    EXPECT_TRUE(run.error.ends_with(row.errorTail)) << run.error;
  }
  EXPECT_EQ(Output("try { fx_throw() } catch { error_code() } ' '; fx_echo('still', 'fine')"), "-10998 still|fine");
  EXPECT_EQ(Output("fx_fail_next_construction(); '['; fx_echo('lost'); ']'; fx_echo('next')"), "[]next");
  // Nor does a tag made without class name, instance, constructor or method.
  TagRegistry(nullptr, nullptr).RegTag(Units(u""), Units(u"probe_bare_java_tag"),
                                       new JavaTag(nullptr, nullptr, nullptr, nullptr), Units(u""), 0);
  EXPECT_EQ(Output("'['; probe_bare_java_tag(); ']'"), "[]");
}

// The start-up thread stays attached, so whatever a tag call leaves there piles up for the life
// of the process: every way a call ends must give back what it took.
TEST_F(BridgeCase, ATagRunLeavesNothingBehindOnAThreadThatStaysAttached) {
  for (const char* script : {"fx_echo('a', -b='c')", "fx_fail_msg()", "fx_throw()", "fx_both_6()",
                             "fx_fail_next_construction(); fx_echo('lost')"}) {
    jni_balance::Balanced(gStartupEnv, std::string("JavaTag::Run of ") + script, [&] { RunScript(script); });
  }
}

// The VM was created on this thread, which keeps only the VM's default stack: long chains and
// legal deep nesting still parse, run and are torn down here, and no run counts on more.
TEST_F(BridgeCase, LongChainsAndDeepNestingRunOnTheThreadThatCreatedTheVm) {
  EXPECT_LT(quill_service::StackLeft(), size_t{1} << 20);
  std::string chain = "1";
  for (int i = 1; i < 100000; ++i) chain += "+1";
  EXPECT_EQ(Output(chain), "100000");
  EXPECT_EQ(Output(std::string(150, '(') + "fx_echo('deep')" + std::string(150, ')')), "deep");
}

// The walk, prepared so that each native's live call succeeds: a container call with a positional
// and a named parameter, a local variable, a request parameter, a cookie and a defined tag.
std::string PreparedWalk() {
  quill_service::RunInputs inputs;
  inputs.params = {{"fx", "request value"}};
  inputs.cookies = {{"fx", "cookie value"}};
  return Output(
      "define tag fx_walk_defined(-a::string, -b = 1)::string => { return $a }\n"
      "var fx = 'local value'\n"
      "fx_native_walk('positional', -fx='named') => { 'body;' }",
      inputs);
}

// The data-source natives inside a database action, where each succeeds (fixtures.WalkSource).
std::string DataSourceWalk() {
  return Output("db_search(-source='fx_walk_ds', ['fx', 'v'], -sort='fx', -select='fx', -statement_only) => "
                "{ column_names()->join(',') '\\n' rows => { field(0) '\\n' } }");
}

// ---- values that go in through one native and come back through another, or the script ----

// Each row is one script and the output it must give; the request's inputs where a row needs them.
TEST_F(BridgeCase, ValuesCrossBetweenScriptHostAndJavaWhole) {
  quill_service::RunInputs request;
  request.params = {{"rp", "request value"}, {"smiley", "a\xF0\x9F\x98\x80" "b"}, {"broken", "a\xFF" "b\xC3"},
                    {"bmp", "\xE2\x82\xAC\xC0\x80"}, {"\xF0\x9F\x98\x80", "smile"}, {"\xED\x95\x9C", "hangul"},
                    {"caf\xC3\xA9", "plain"}};
  request.cookies = {{"ck", "cookie value"}};
  const std::string probe = "define tag rt_probe() => { try => { return $rt_mode } catch => { return 'unseen' } }\n";
  std::string allBytes;
  for (int b = 0x80; b <= 0xFF; ++b) allBytes += static_cast<char>(b);
  const struct {
    const char* what;
    std::string script, expected;
  } rows[] = {
      {"getVariable", "var rt_in = 'from the script'; fx_getvar('rt_in')", "from the script"},
      // Modes pass through: a global is seen inside a defined tag, a local is not.
      {"global mode", probe + "fx_setvar('rt_mode', 'global', 1); rt_probe()", "global"},
      // Java writes a variable, the script reads it: swapped name and value would define another.
      {"local mode", probe + "fx_setvar('rt_mode', 'local \u00e9', 0); rt_probe(); ' '; $rt_mode", "unseen local \xC3\xA9"},
      {"variable count", "var rt_c = 1; global rt_c = 2; fx_var_count('rt_c'); fx_var_count('rt_none')", "20"},
      {"variable by handle", "var rt_src = [1, 'two', 2.5]; fx_copyvar('rt_src', 'rt_dst'); $rt_dst == $rt_src; ' '; "
       "$rt_dst->type()", "true array"},
      {"headers", "header_set('X-In: from the script'); fx_headers('X-In: replaced by Java', 'X-Add: added'); "
       "'|'; header_get()", "[X-In: from the script\r\n]|X-In: replaced by Java\r\nX-Add: added\r\n"},
      {"tag parameters", "fx_param_fields('first', -named='second', 3)", "=first:strg;named=second:strg;=3:intg;"},
      {"the tag method's argument", "fx_argument()", "argument=1"},
      {"request parameter and cookie", "fx_request_param('rp'); ' '; fx_cookie('ck')", "rp=request value ck=cookie value"},
      // The host's UTF-8 reaches Java whole, beyond the Basic Multilingual Plane and with bytes that
      // are not UTF-8, and comes back out as UTF-8.
      {"request parameters' text", "fx_request_param('smiley'); '|'; fx_request_param('broken'); '|'; fx_request_param('bmp')",
       std::string("smiley=a\xF0\x9F\x98\x80" "b|broken=a\xEF\xBF\xBD" "b\xEF\xBF\xBD|bmp=\xE2\x82\xAC") + '\0'},
      // The other way: a name Java asks the host for is the host's UTF-8, not the VM's modified form.
      {"names asked for", "fx_request_param('\xF0\x9F\x98\x80'); '|'; fx_request_param('\xED\x95\x9C'); '|'; "
       "fx_request_param('caf\xC3\xA9')", "\xF0\x9F\x98\x80=smile|\xED\x95\x9C=hangul|caf\xC3\xA9=plain"},
      {"output text", "fx_output()", "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xE4\xB8\x96\xE7\x95\x8C \xF0\x9F\x98\x80"},
      {"output bytes", "fx_output_bytes()", "bytes:" + allBytes},
      {"returned string", "fx_return_string()", "returned text \xE2\x82\xAC"},
      {"returned types", "fx_return_int()->type(); ' '; fx_return_decimal()->type(); ' '; fx_return_decimal(); ' '; "
       "fx_return_bool()->type(); ' '; fx_return_bool()", "integer decimal 2.5 boolean true"},
      // (A long's 64 bits reaching the script are checked by the web example's visit count.)
      {"result", "fx_result(-42, 'message \u20ac'); result_code(); ' '; result_message()", "-42 message \xE2\x82\xAC"},
      // Host failures leave a tag's out-parameters as they were (-9004: out of range; -9002: a bad handle).
      {"out-parameters", "fx_untouched('only')",
       "getTagParam -9004 kept name|kept data|42\ntagGetExpectedParamCount -9002 -7\ngetTagParam2 -9004 4242"},
      // The bridge allocates its request and value objects without running a constructor, so a
      // field it does not fill would keep its default whatever its initialiser says.
      {"objects made without constructors", "fx_instance_fields('com.marrowbay.quillpro.QuillCall'); '|'; "
       "fx_instance_fields('com.ferngate.quillpro.QuillCall'); '|'; fx_instance_fields('com.ferngate.quillpro.QuillValue'); "
       "'|'; fx_instance_fields('com.marrowbay.quillpro.QuillValue')", "| nativeRef|| name data type"},
      // Values built and read from Java: the natives' edge cases (each wrong answer is a FAIL line),
      // an array of 100,000 references in one call (each element's local reference goes as soon as
      // its handle is read: an overflow of the local capacity would fail the -Xcheck:jni run) and
      // structured values in both directions.
      {"value edges", "fx_value_edges()", "edges checked"},
      {"many references", "fx_value_many()", "100000"},
      {"pair", "fx_value_pair()", "(left, 2)"},
      {"custom value", "fx_value_point()", "<fx_point>"},
      {"structured", "fx_value_read(fx_value_build())", "array 2 {name: ada, born: 1815} {name: grace, born: 1906}"},
  };
  for (const auto& row : rows) EXPECT_EQ(Output(row.script, request), row.expected) << row.what;
  // Values Java builds and does not hand to the script die with the request.
  Output("fx_value_litter()");  // warms up anything made once
  const size_t live = quill_service::ValueTable().LiveCount();
  EXPECT_EQ(Output("fx_value_litter() 'done'"), "done");
  EXPECT_EQ(quill_service::ValueTable().LiveCount(), live);
}

// ---- the server's general services ----

std::string ServerRoot() { return quill_service::Host::Instance()->Root(); }

TEST_F(BridgeCase, StoredDataFollowsTheNullAndEncodingRules) {
  EXPECT_EQ(Output("fx_store_edges()"),
            "nullValue=-9995 hasAfterNull=0/0 hasNoOut=0 bytes=0 get=0/b\u00e9 empty=0 get=0/[]");
  EXPECT_EQ(Output("fx_store('fx_kept')"), "has=0/0 get=" + std::to_string(QUILL_ERR_NOT_FOUND) + "/kept/kept");
  // Characters ISO-8859-1 cannot hold reach the host as '?'.
  EXPECT_EQ(Output("fx_store('fx_latin', 'a\u00e9\u20ac')"), "put=0 has=0/1 get=0/kept/a\uFFFD?");
  EXPECT_EQ(Table("SELECT data FROM store_data WHERE store_key = 'fx_latin'"), "a\xE9?");
}

TEST_F(BridgeCase, UsersSwitchWithAPasswordOrAsAnAdministrator) {
  // Removed with their rights when the case ends: rights make the server enforce them, and the
  // later cases run on a server without any.
  const qjapi_test::CaseUsers users({{"ann", false}, {"boss", true}, {"jos\u00e9", false}});
  ASSERT_EQ(quill_service::GrantRight("ann", QUILL_OP_READ, "/docs/*"), 0);
  // -9010: not allowed.
  EXPECT_EQ(Output("fx_user('ann', 'pw')"), "switch=0 admin=0 anonymous=0 read=0 write=-9010 nullTarget=-9995");
  EXPECT_EQ(Output("fx_user('ann', 'wrong')"),
            "switch=-9010 admin=0 anonymous=1 read=-9010 write=-9010 nullTarget=-9995");
  // The user name and password arrive in ISO-8859-1 and are the UTF-8 ones the user was made with.
  EXPECT_EQ(Output("fx_user('jos\u00e9', 'pw') ' ' current_user()"),
            "switch=0 admin=0 anonymous=0 read=-9010 write=-9010 nullTarget=-9995 jos\u00e9");
  // A null second string reaches the host: refused for the anonymous user, enough for an administrator.
  EXPECT_EQ(Output("fx_user('ann')"), "switch=-9010 admin=0 anonymous=1 read=-9010 write=-9010 nullTarget=-9995");
  EXPECT_EQ(OutputAs("boss", "fx_user(); ' / '; fx_user('ann'); ' / '; current_user()"),
            "admin=1 anonymous=0 read=0 write=0 nullTarget=-9995 / switch=0 admin=0 anonymous=0 read=0 write=-9010 "
            "nullTarget=-9995 / ann");
}

// The log native, java.util.logging and SLF4J reach the server's log at the level each severity
// maps to; below the default threshold (info) nothing is written. A stack trace stays on its line.
TEST_F(BridgeCase, JavaLoggingReachesTheServerLogAtItsLevel) {
  const struct {
    const char* script;
    int level;  // the only level the text is logged at; -1: none
    std::string text;
  } rows[] = {
      {"fx_log(2, '100% %s %n %% done')", 2, "100% %s %n %% done"},
      {"fx_jul('SEVERE', 'jul severe')", 0, "[fixtures.jul] jul severe"},
      {"fx_jul('WARNING', 'jul warning')", 1, "[fixtures.jul] jul warning"},
      {"fx_jul('INFO', 'jul info')", 2, "[fixtures.jul] jul info"},
      {"fx_jul('CONFIG', 'jul config')", -1, "[fixtures.jul] jul config"},
      {"fx_slf4j('error', 'slf4j {} error', 'x')", 0, "[fixtures.slf4j] slf4j x error"},
      {"fx_slf4j('warn', 'slf4j {} warn', 'y')", 1, "[fixtures.slf4j] slf4j y warn"},
      {"fx_slf4j('info', 'slf4j {} info', 'z')", 2, "[fixtures.slf4j] slf4j z info"},
      {"fx_slf4j('debug', 'slf4j {} debug', 'w')", -1, "[fixtures.slf4j] slf4j w debug"},
      {"fx_slf4j('trace', 'slf4j {} trace', 'v')", -1, "[fixtures.slf4j] slf4j v trace"},
  };
  for (const auto& row : rows) {
    Output(row.script);
    for (int level = 0; level <= 9; ++level) EXPECT_EQ(Logged(level, row.text), level == row.level) << row.script;
  }
  Output("fx_slf4j('thrown', 'slf4j failed', 'boom')");
  const auto lines = quill_service::LogSnapshot();
  const std::string start = "[fixtures.slf4j] slf4j failed\\njava.lang.IllegalStateException: boom\\n\\tat fixtures.";
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                          [&](const auto& line) { return line.level == 0 && line.text.rfind(start, 0) == 0; }));
}

TEST_F(BridgeCase, PathsResolveFromTheScriptAndStayUnderTheRoot) {
  const std::string root = ServerRoot();
  for (const char* folder : {"web", "lib"}) fs::create_directories(root + folder);
  std::ofstream(root + "web/data.txt") << "x\xE2\x82\xAC";
  std::ofstream(root + "lib/inc.txt") << "included";
  for (const char* link : {"web/lib", "web/escape"}) fs::remove(root + link);  // a repeated run's
  fs::create_symlink(root + "lib", root + "web/lib");  // a link that stays under the root
  fs::create_symlink("/etc", root + "web/escape");     // one that leads out of it
  quill_service::RunInputs inputs;
  inputs.scriptPath = "/web/page.q";
  const auto paths = [&](const std::string& path) { return Output("fx_paths('" + path + "')", inputs); };
  EXPECT_EQ(paths("data.txt"), "full=/web/data.txt resolved=/web/data.txt include=/web/data.txt platform=" + root +
                                   "web/data.txt internal=/data.txt specific=data.txt isFull=false");
  EXPECT_EQ(paths("../../etc/passwd"),
            "full=null resolved=null include=null platform=null internal=null specific=../../etc/passwd isFull=false");
  // Resolving follows links, and refuses the ones that lead out; qualifying follows them only
  // once fx_site has turned automatic resolving on.
  EXPECT_EQ(paths("lib/inc.txt"), "full=/web/lib/inc.txt resolved=/lib/inc.txt include=/lib/inc.txt platform=" + root +
                                      "web/lib/inc.txt internal=/lib/inc.txt specific=lib/inc.txt isFull=false");
  EXPECT_EQ(paths("escape/passwd"), "full=/web/escape/passwd resolved=null include=null platform=null "
                                    "internal=/escape/passwd specific=escape/passwd isFull=false");
  const std::string resolving = Output("fx_site(); ' '; fx_paths('lib/inc.txt'); fx_paths('escape/x')", inputs);
  EXPECT_NE(resolving.find("set=0,true full=/lib/inc.txt "), std::string::npos) << resolving;
  EXPECT_NE(resolving.find("isFull=falsefull=null "), std::string::npos) << resolving;
  EXPECT_NE(paths(root + "web/data.txt").find(" internal=/web/data.txt "), std::string::npos);
  // The path buffer holds 1023 bytes and the terminator.
  const std::string fits = "/" + std::string(1022, 'a');
  const std::string fitsRun = paths(fits);
  EXPECT_NE(fitsRun.find("full=" + fits + " "), std::string::npos);
  EXPECT_NE(fitsRun.find("specific=" + fits + " isFull=true"), std::string::npos);
  const std::string tooLong = paths(fits + "a");
  EXPECT_NE(tooLong.find("full=null "), std::string::npos) << tooLong.substr(0, 80);
  EXPECT_NE(tooLong.find("specific=null isFull=true"), std::string::npos);

  // A file, a missing one, two ways out (-9010: not allowed) and a folder (-9003: not found).
  EXPECT_EQ(Output("fx_include('data.txt') ' ' fx_include('missing.txt') ' ' fx_include('../../etc/passwd') ' ' "
                   "fx_include('escape/passwd') ' ' fx_include('/web')", inputs),
            "0|n|x\u20ac -9003|n|kept -9010|n|kept -9010|n|kept -9003|n|kept");
}

TEST_F(BridgeCase, SitesConstantsAndFormattingReachJava) {
  EXPECT_EQ(Output("fx_site()"), "1|default|auto=false|set=0,true");
  ASSERT_EQ(Table("CREATE TABLE IF NOT EXISTS sites (id INTEGER PRIMARY KEY, name TEXT, root TEXT); "
                  "INSERT OR REPLACE INTO sites VALUES (7, '', 'seven'), (2, 'second', 'sites/two')"), "");
  const Site* second = SiteMapper::FindByID(2);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->GetRoot(), ServerRoot() + "sites/two/");
  EXPECT_EQ(SiteMapper::FindByID(3), nullptr);
  quill_service::RunInputs site;
  site.siteId = 7;
  EXPECT_EQ(Output("fx_site()", site), "7|null|auto=false|set=0,true");
  site.siteId = 2;
  EXPECT_EQ(Output("fx_site(); ' '; site_id(); ' '; site_name(); ' ['; current_user(); ']'", site),
            "2|second|auto=false|set=0,true 2 second []");

  EXPECT_EQ(Output("fx_constant('fx_c', 12); ' '; constant('fx_c') + 1; ' '; fx_constant('fx_c', 13)"), "0 13 -9011");
  EXPECT_EQ(Output("fx_constant('c', 'grouped', 'fx_group'); ' '; constant('fx_group::c')"), "0 grouped");
  const ScriptRun missing = RunScript("constant('fx_none')");
  EXPECT_NE(missing.error.find("no constant fx_none"), std::string::npos) << missing.error;
  // Page and global variables fill in, "$$" is one "$", unknown and unclosed references stay as
  // written; the text reaches the host in ISO-8859-1.
  EXPECT_EQ(Output("var who = 'w\u00f6rld'; global n = 3; fx_format('hi ${who} x${n} 100$$ ${none}|${open \u00e9')"),
            "0|0|hi w\u00f6rld x3 100$ |${open \u00e9");
}

TEST_F(BridgeCase, RunRequestRunsAModuleMethodOnItsOwnOrTheCurrentRequest) {
  const std::string none = std::to_string(bridge::kNothingToDo);
  EXPECT_EQ(Output("fx_run_request('fixtures/UtilityTags', 'noSuchMethod', 1)"), none);
  EXPECT_EQ(Output("fx_run_request('fixtures/NotAModule', 'recordRequest', 1)"), none);
  EXPECT_TRUE(Logged(2, "fixtures/NotAModule is not a subclass of QuillTagModule class."));
  EXPECT_EQ(Output("fx_run_request('fixtures/UtilityTags', 'marrowbayOnly', 2)"), "62");  // the second signature
  EXPECT_EQ(Output("fx_run_request('fixtures/UtilityTags', 'throwing', 0)"), "-10998");
  // Inside a script the script's request serves: its user and its variables.
  const qjapi_test::CaseUsers users({{"ann", false}});
  EXPECT_EQ(OutputAs("ann", "fx_run_request('fixtures/UtilityTags', 'recordRequest', 3); ' '; $fx_run_request"),
            "43 site=1 anonymous=0 argument=3");
  // A Java thread with no request gets one of its own, for site 1.
  EXPECT_EQ(Output("fx_run_on_thread(); ' '; fx_store('fx_run_request')"),
            "45 has=0/1 get=0/kept/site=1 anonymous=1 argument=5");
}

// ---- marshalling routines, on objects made here ----

class Marshalling : public BridgeCase {
 protected:
  JNIEnv* env = gStartupEnv;
  LocalFrame frame{env};

  jstring NewText(const std::u16string& text) {
    return env->NewString(reinterpret_cast<const jchar*>(text.data()), static_cast<jsize>(text.size()));
  }
  jobject NewValue(const std::u16string& name, const std::u16string& data, jint type) {
    jobject value = env->AllocObject(gClassCache.quillValue);
    env->SetObjectField(value, gClassCache.quillValueName, NewText(name));
    env->SetObjectField(value, gClassCache.quillValueData, NewText(data));
    env->SetIntField(value, gClassCache.quillValueType, type);
    return value;
  }
  // The field's text; "<null>" for a null reference.
  std::u16string Text(jobject value, jfieldID field) {
    auto text = static_cast<jstring>(env->GetObjectField(value, field));
    return text == nullptr ? u"<null>" : JavaText(env, text);
  }
  std::u16string Name(jobject value) { return Text(value, gClassCache.quillValueName); }
  std::u16string Data(jobject value) { return Text(value, gClassCache.quillValueData); }
  jint Type(jobject value) { return env->GetIntField(value, gClassCache.quillValueType); }
};

// Each record filled into a value holding "old name", "old data" and type 1. 8-bit records read
// as modified UTF-8 and stop at a zero byte, and null the missing data; UTF-8 records keep their
// full length; UTF-16 records share one string for one text. A missing name, or the name left out
// on request (the last argument of the 8-bit and UTF-8 forms), leaves the old one; UTF-8 and
// UTF-16 records leave missing data alone.
TEST_F(Marshalling, RecordsFillNameDataAndTypeAsTheirFormPrescribes) {
  const char bytes[] = "ab\0cd \xE2\x82\xAC";
  const std::u16string shared = u"shared text";
  const quill_char* text = Units(shared.c_str());
  const struct {
    std::function<void(jobject)> fill;
    std::u16string name, data;
    jint type;
  } rows[] = {
      {[&](jobject v) { bridge::FillQuillValue(env, {nullptr, 0, bytes, 5, 7}, v, true); }, u"old name", u"ab", 7},
      {[&](jobject v) { bridge::FillQuillValue(env, {"n8", 2, nullptr, 0, 8}, v, false); }, u"old name", u"<null>", 8},
      {[&](jobject v) { bridge::FillQuillValue(env, {"n8", 2, "x", 1, 8}, v, true); }, u"n8", u"x", 8},
      {[&](jobject v) { bridge::FillQuillValueUtf8(env, {"n", 1, bytes, sizeof bytes - 1, 7}, v, false); }, u"old name",
       std::u16string(u"ab\0cd \u20AC", 7), 7},
      {[&](jobject v) { bridge::FillQuillValueUtf8(env, {"n", 1, nullptr, 0, 9}, v, true); }, u"n", u"old data", 9},
      {[&](jobject v) { bridge::FillQuillValueW(env, {text, 6, text, 6, 3}, v); }, u"shared", u"shared", 3},
      {[&](jobject v) { bridge::FillQuillValueW(env, {Units(u"nm"), 2, nullptr, 0, 4}, v); }, u"nm", u"old data", 4},
  };
  for (const auto& row : rows) {
    jobject value = NewValue(u"old name", u"old data", 1);
    row.fill(value);
    EXPECT_EQ(Name(value), row.name);
    EXPECT_EQ(Data(value), row.data);
    EXPECT_EQ(Type(value), row.type);
    if (row.type == 3) {
      EXPECT_TRUE(env->IsSameObject(env->GetObjectField(value, gClassCache.quillValueName),
                                    env->GetObjectField(value, gClassCache.quillValueData)));
    }
  }
}

TEST_F(Marshalling, Latin1SubstitutesWhatItCannotHoldAndCountsUtf16Units) {
  int length = -1;
  // Longer than one chunk read through the stack.
  jstring text = NewText(u"a\u00E9\u20AC\U0001F600" + std::u16string(300, u'\u20AC') + u"b");
  std::unique_ptr<char[]> latin1;
  jni_balance::Balanced(env, "JStringToLatin1", [&] { latin1.reset(bridge::JStringToLatin1(env, text, &length)); });
  ASSERT_NE(latin1, nullptr);
  EXPECT_EQ(std::string(latin1.get()), "a\xE9???" + std::string(300, '?') + "b");
  EXPECT_EQ(length, 306);  // the smiley is two units, and two bytes: the length is the byte count
}

// Host text as an 8-bit record: whether it is already the VM's modified UTF-8 (which the VM then
// reads as it always did), and the text Java gets, with substitutes for what is not UTF-8.
TEST_F(Marshalling, HostTextReachesJavaWithSupplementaryCharactersAndSubstitutes) {
  const struct {
    const char* bytes;
    bool modified;
    std::u16string expected;
  } cases[] = {
      {"", true, u""},
      {"plain ASCII, longer than one word of eight", true, u"plain ASCII, longer than one word of eight"},
      {"gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xE4\xB8\x96", true, u"gr\u00FC\u00DF \u20AC \u4E16"},
      {"\xED\xA0\xBD\xED\xB8\x80", true, u"\U0001F600"},       // a surrogate pair
      {"abcdefgh\xF0\x9F\x98\x80", false, u"abcdefgh\U0001F600"},  // after a whole ASCII word
      {"\x80" "abc", false, u"\uFFFDabc"},                    // a stray continuation byte
      {"ab\xE4\xB8", false, u"ab\uFFFD"},                     // cut short
      {"\xE4\xB8x", false, u"\uFFFDx"},
      {"\xC1\x81!", false, u"\uFFFD\uFFFD!"},                  // overlong
      {"\xE0\x80\x80", false, u"\uFFFD\uFFFD\uFFFD"},
      {"\xC0\x81", false, u"\uFFFD\uFFFD"},
  };
  for (const auto& c : cases) {
    const LocalFrame perCase{env};
    SCOPED_TRACE(::testing::PrintToString(std::string(c.bytes)));
    const auto length = static_cast<uint32_t>(std::strlen(c.bytes));
    EXPECT_EQ(bridge::IsModifiedUtf8(c.bytes, length), c.modified);
    jobject value = NewValue(u"old name", u"old data", 1);
    const quill_value_t record{c.bytes, length, c.bytes, length, 2};
    jni_balance::Balanced(env, "FillQuillValue", [&] { bridge::FillQuillValue(env, record, value, true); });
    EXPECT_EQ(Name(value), c.expected);
    EXPECT_EQ(Data(value), c.expected);
    EXPECT_TRUE(env->IsSameObject(env->GetObjectField(value, gClassCache.quillValueName),
                                  env->GetObjectField(value, gClassCache.quillValueData)));
  }
  EXPECT_FALSE(bridge::IsModifiedUtf8("abcdefghij\0k", 12));  // a zero byte
}

// Names are new strings unless sharing is on; then they come from a table of kept strings: an
// equal name is the same string, and past the table's size (a few hundred names, one longer than
// it keeps) each name still reads as itself.
TEST_F(Marshalling, KeptNamesShareOneStringWhenAskedAndSurviveTheTableFilling) {
  const auto named = [&](const std::string& text) {
    jobject value = NewValue(u"old name", u"old data", 1);
    jni_balance::Balanced(env, "FillQuillValue",
                          [&] { bridge::FillQuillValue(env, {text.c_str(), 0, nullptr, 0, 2}, value, true); });
    return value;
  };
  const LocalFrame frame{env};
  const auto twiceTheSame = [&](const std::string& text) {
    return env->IsSameObject(env->GetObjectField(named(text), gClassCache.quillValueName),
                             env->GetObjectField(named(text), gClassCache.quillValueName));
  };
  EXPECT_FALSE(twiceTheSame("kept") || twiceTheSame(""));
  bridge::gKeptStringsShared = true;
  EXPECT_TRUE(twiceTheSame("kept") && twiceTheSame(""));
  for (int i = 0; i < 300; ++i) {
    const LocalFrame perName{env};
    const std::string text = i == 150 ? std::string(600, 'x') : "name" + std::to_string(i % 200);
    EXPECT_EQ(Name(named(text)), std::u16string(text.begin(), text.end())) << i;
  }
  bridge::gKeptStringsShared = false;
}

// ---- threads ----

// Runs Java from a value destructor, the way releasing a Java object does when its request ends.
class JavaAtRequestEnd : public PrivateVar {
 public:
  ~JavaAtRequestEnd() override {
    JniAttachment attachment;
    if (attachment.env() != nullptr) attachment.env()->GetVersion();
  }
};

// Each scope on a host worker thread, two requests of two calls each: whether the thread is
// attached after the calls and after the request; the worker's Java thread goes when the pool
// ends. A Java call made while the request ends (after its DetachThread ran) leaves nothing
// attached either.
TEST_F(BridgeCase, EachAttachScopeKeepsAWorkerAttachedExactlyAsLongAsItPromises) {
  ASSERT_EQ(quill_onWorkerThreadEnd(&DetachThreadScope), 0);  // this copy's; the module added its own
  // Whatever the scope, a thread someone else attached (the start-up thread, threads Java creates)
  // stays so through a call scope, a request's hand-off, a Java tag call and a Java tag's end.
  const auto keepsAThreadItDidNotAttach = [](JNIEnv* env) {
    Request request;
    {
      JniAttachment attachment;
      EXPECT_FALSE(attachment.attachedHere());
      attachment.DeferDetachTo(&request);
    }
    EXPECT_EQ(DetachMarkers(&request), 0u);
    EXPECT_EQ(Output("fx_echo('tag')"), "tag");
    LocalFrame frame(env);
    delete new JavaTag("fixtures.Tags", env->NewGlobalRef(env->NewStringUTF("instance")), nullptr, nullptr);
    EXPECT_TRUE(ThreadAttached()) << "detached a thread it did not attach";
  };
  // Each scope, and what each request's worker sees: whether it is attached after the calls, and
  // after the request, and how many detach markers the request held.
  const std::pair<AttachScope, std::string> scopes[] = {
      {AttachScope::kCall, "000"}, {AttachScope::kRequest, "101"}, {AttachScope::kThread, "110"}};
  for (const auto& [scope, expected] : scopes) {
    SCOPED_TRACE(expected);
    gAttachScope = scope;
    const int before = LiveJavaThreads();
    std::vector<std::string> seen;
    {
      quill_service::WorkerPool pool(1);
      for (int r = 0; r < 2; ++r) {
        pool.Submit([&] {
          auto request = std::make_unique<Request>();
          quill_service::SetCurrentRequest(request.get());
          request->AddPrivateVar("late Java use", new JavaAtRequestEnd);
          for (int call = 0; call < 2; ++call) {
            JniAttachment attachment(request.get());
            EXPECT_NE(attachment.env(), nullptr);
          }
          const size_t detachVars = DetachMarkers(request.get());
          const bool afterCalls = ThreadAttached();
          request.reset();
          quill_service::SetCurrentRequest(nullptr);
          seen.push_back(std::to_string(afterCalls) + std::to_string(ThreadAttached()) + std::to_string(detachVars));
        });
      }
      pool.Wait();
      EXPECT_EQ(LiveJavaThreads(), before + (expected[1] == '1' ? 1 : 0));
    }
    EXPECT_EQ(seen, std::vector<std::string>(2, expected));
    EXPECT_EQ(LiveJavaThreads(), before);
    keepsAThreadItDidNotAttach(gStartupEnv);
    std::thread([&] {
      JNIEnv* env = nullptr;
      ASSERT_EQ(gJavaVM->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr), JNI_OK);
      keepsAThreadItDidNotAttach(env);
      gJavaVM->DetachCurrentThread();
    }).join();
  }
  gAttachScope = AttachScope::kCall;
}

// Threads each run scripts that write their own text, copy and call a Java-typed value and count
// under a semaphore: every output is its own, no update is lost, nothing stays attached or stored.
TEST_F(BridgeCase, ParallelCallsKeepTheirOwnOutputAndTablesAndLeaveNoThreadAttached) {
  std::thread([] { Output("fx_echo('warm-up') fx_jt_new(1)->get()"); }).join();
  const int baseline = LiveJavaThreads();
  const size_t stored = StoredJavaObjectCount();
  const long counted = std::stol(Output("fx_counter()"));
  constexpr int kThreads = 4, kRuns = 100;
  EXPECT_EQ(qjapi_test::WrongOfConcurrentRuns(kThreads, kRuns, [](int t, int i) {
    const std::string text = "thread " + std::to_string(t) + " run " + std::to_string(i) + " \xC3\xA9\xE4\xB8\x96";
    return std::pair("fx_echo('" + text + "') fx_sem_count() var c = fx_jt_new(3) var d = $c $d->dothing() "
                     "$c->get() $d->get()", text + "34");
  }), 0);
  EXPECT_EQ(LiveJavaThreads(), baseline);
  EXPECT_EQ(StoredJavaObjectCount(), stored);
  EXPECT_EQ(std::stol(Output("fx_counter()")), counted + kThreads * kRuns);  // no update lost
}

// ---- the internal database ----

extern "C" jobjectArray Java_com_marrowbay_jdbc_JDBCLoader_StoreManExecute(JNIEnv*, jobject, jstring);

// A String[][] as Java writes it ("[[a, null], [b, c]]"); "<no rows>" for a null result.
std::u16string Table(JNIEnv* env, jobjectArray table) {
  if (table == nullptr) return u"<no rows>";
  jclass arrays = env->FindClass("java/util/Arrays");
  jmethodID deep = env->GetStaticMethodID(arrays, "deepToString", "([Ljava/lang/Object;)Ljava/lang/String;");
  auto text = static_cast<jstring>(env->CallStaticObjectMethod(arrays, deep, table));
  return env->ExceptionCheck() ? u"<threw>" : JavaText(env, text);
}

TEST_F(BridgeCase, StoreManExecuteRunsOneStatementOnTheInternalDatabaseAndReturnsItsRows) {
  JNIEnv* env = gStartupEnv;
  LocalFrame frame(env);
  jclass cls = env->FindClass("com/marrowbay/jdbc/JDBCDataSource");
  ASSERT_NE(cls, nullptr);
  // UTF-8 straight into the table, as the host keeps text.
  ASSERT_EQ(Table("CREATE TABLE store_probe (a text, b integer);"
                  "INSERT INTO store_probe VALUES ('\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80', 1), (NULL, 2)"), "");
  const auto run = [&](const char* sql) {
    jstring text = sql != nullptr ? env->NewStringUTF(sql) : nullptr;
    jobjectArray result = jni_balance::Counted<&Java_com_marrowbay_jdbc_JDBCDataSource_StoreManExecute>::Call(env, cls, text);
    ExpectBalanced();
    EXPECT_FALSE(env->ExceptionCheck());
    return Table(env, result);
  };
  EXPECT_EQ(run("SELECT a, b FROM store_probe ORDER BY b"), u"[[\u00E9\u65E5\U0001F600, 1], [null, 2]]");
  // The statement goes as ISO-8859-1: text it wrote comes back as it went in.
  EXPECT_EQ(run("SELECT 'caf\xC3\xA9'"), u"[[caf\u00E9]]");
  // No statement, an empty one, a statement that fails and one that gives no rows: null.
  const char* const none[] = {nullptr, "", "SELEKT nothing", "INSERT INTO store_probe VALUES ('z', 3)"};
  for (const char* sql : none) EXPECT_EQ(run(sql), u"<no rows>") << (sql != nullptr ? sql : "(null)");
  // The loader's twin, which also shows that the INSERT above ran. (The Java declaration bound to
  // the native: the harness binds it.)
  jstring count = env->NewStringUTF("SELECT COUNT(*) FROM store_probe");
  EXPECT_EQ(Table(env, Java_com_marrowbay_jdbc_JDBCLoader_StoreManExecute(env, nullptr, count)), u"[[3]]");
  EXPECT_EQ(Table("DROP TABLE store_probe"), "");
}

// ---- script types with Java members ----

TEST_F(BridgeCase, JavaTypeMembersFoldCaseRunOnTheValuesOwnObjectAndNeverOnAnUnrelatedOne) {
  EXPECT_EQ(Output("var c = fx_jt_new(5) $c->get() $c->DOTHING() $c->dothing() $c->GET()"), "57");
  EXPECT_EQ(Output("fx_jt_new(1)->whatever() ' ' fx_jt_new(1, -twice)->twice()"), "unknown whatever ");
  // Names beyond ASCII reach the host's 8-bit natives in ISO-8859-1 and are found again by the
  // call: bump through the member made by typeAddMemberTag, get through typeAddMember's, and an
  // unknown name through _unknowntag, which sees it whole.
  EXPECT_EQ(Output("fx_jt_names()"), "unknown caf\u00e9add=0 tag=0 cr\u00e8me=0 na\u00efve=0/42 caf\u00e9=0");
  EXPECT_EQ(Output("var t = fx_jt_new(1, -twice) $t->twice() $t->get()"), "2");  // the second registration won
  // Objects the method must not run on: a fresh instance of the registered class serves.
  EXPECT_EQ(Output("fx_jt_new(5, -plain)->get() fx_jt_new(5, -foreign)->get()"), "00");
  const ScriptRun bare = RunScript("fx_jt_new(1, -bare)->nothing()");  // no member, no _unknowntag
  EXPECT_NE(bare.error.find("error -9003"), std::string::npos) << bare.error;
  EXPECT_EQ(Output("fx_jt_edges()"), "edges checked");
  EXPECT_TRUE(Logged(2, "[QJAPI] Java method not found: flag"));
  EXPECT_TRUE(Logged(2, "[QJAPI] Java method not found: fixtures/NoSuchClass.get(QuillCall, int)"));
}

TEST_F(BridgeCase, JavaTypeCopiesGetTheirOwnCloneAndTheSerializedFormRestoresTheObject) {
  EXPECT_EQ(Output("define tag bumped(x) => { $x->dothing() return $x }\n"
                   "var c = fx_jt_new(5) bumped($c)->get() $c->get()"),
            "65");
  // An object that is not cloneable: the tag's result (a copy) carries none; copying a value
  // without an object is refused.
  const ScriptRun copy = RunScript("var p = fx_jt_new(5, -plain) var q = $p");
  EXPECT_NE(copy.error.find("error -9956"), std::string::npos) << copy.error;
  // The restored object keeps its class, whichever class the type's first member by name has.
  const auto restored = [](const std::string& made) {
    return Output("var c = " + made + " var b = unserialize($c->serialize()) $b->dothing() $b->get() $c->get() $b->aaa()");
  };
  EXPECT_EQ(restored("fx_jt_new(7)"), "87unknown aaa");
  EXPECT_EQ(restored("fx_jt_new(7, -mixed)"), "87foreign");
}

TEST_F(BridgeCase, EveryStoredJavaObjectIsReleasedExactlyOnceWhateverEndsIt) {
  Output("fx_jt_many(10, 2) fx_jt_new(1)->get()");  // classes and members registered once
  const size_t stored = StoredJavaObjectCount();
  const size_t members = JavaMemberCount();
  LocalFrame frame(gStartupEnv);
  {
    // Natives balance themselves; what the request's end releases is counted here: one
    // DeleteGlobalRef for each of the 2/3 of the values whose object Java did not free.
    jni_balance::BalanceScope scope(gStartupEnv, "values dying at the request's end", -66666);
    EXPECT_EQ(Output("fx_jt_many(100000, 3)"), "33334");
    EXPECT_EQ(scope.counts().globals, -66666);
  }
  // On a thread the VM does not know, a tag call attaches only for itself; values die after
  // their member calls: two calls add one detach marker, and the request's end detaches.
  std::thread([] {
    EXPECT_EQ(Output("fx_echo('a') probe_detach_markers() var c = fx_jt_new(1) $c->dothing() probe_detach_markers() "
                     "$c->get() probe_detach_markers()"),
              "a markers 0 detached markers 1 attached2 markers 1 attached");
    EXPECT_FALSE(ThreadAttached());
  }).join();
  EXPECT_EQ(StoredJavaObjectCount(), stored);
  EXPECT_EQ(JavaMemberCount(), members);  // re-registering replaces
}

// ---- the balance harness holds every native ----

// Every native is bound in its counted form. Every native with null arguments, unbound, with the token of a finished call (the walk's
// second run has one) and live; the walk reports each wrong answer as a FAIL line, the harness
// each call that left something unreleased. Then each native must have been seen on every path
// its row names, the registration natives through RegisterOnEveryPath and the others' own cases.
TEST_F(BridgeCase, EveryNativeRefusesBadCallsSucceedsOnGoodOnesAndRanEveryPathBalanced) {
  for (const std::string& problem : gBindingProblems) ADD_FAILURE() << problem;
  const std::string first = PreparedWalk();
  const std::string second = PreparedWalk();
  for (const std::string* walk : {&first, &second}) {
    EXPECT_EQ(walk->find("FAIL"), std::string::npos) << *walk;
    EXPECT_NE(walk->find("live calls checked"), std::string::npos) << *walk;
    EXPECT_NE(walk->find("walked 176 natives"), std::string::npos) << *walk;
  }
  EXPECT_NE(second.find("stale token checked"), std::string::npos) << second;
  // The walk's rows (a text row, two byte rows), the rows with null cells, then the report.
  EXPECT_EQ(DataSourceWalk(), "fx,fx,a,fx\na\nx\nx\nx\ny\nwalked data-source natives\n");
  RegisterOnEveryPath();
  // The registered tags run; a refused registration would have kept the references of a tag.
  EXPECT_EQ(Output("fx_bal_5(); ' '; fx_bal_5m(); ' '; fx_bal_6()"), "ferngate marrowbay marrowbay6");
  using jni_balance::Outcome;
  const std::map<std::string, std::set<Outcome>> seen = jni_balance::Outcomes();
  const struct {
    int path;
    Outcome outcome;
    const char* missing;
  } checks[] = {{jni_balance::kSucceeds, Outcome::kSuccess, "succeeding"},
                {jni_balance::kRefusesUnbound, Outcome::kUnbound, "refusing an unbound call"},
                {jni_balance::kRefusesHostFailure, Outcome::kRefused, "returning a host failure"}};
  for (const jni_balance::BalancedNative& row : jni_balance::BalancedNatives()) {
    const std::string& name = row.name;
    const std::set<Outcome> outcomes = seen.contains(name) ? seen.at(name) : std::set<Outcome>{};
    // A native without a result code: its own case checks its paths.
    if (outcomes.contains(Outcome::kReturned)) continue;
    for (const auto& c : checks) {
      if (row.paths & c.path) { EXPECT_TRUE(outcomes.contains(c.outcome)) << name << " was never seen " << c.missing; }
    }
  }
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);

  const auto server = qjapi_test::StartServerInTempRoot("qjapi-bridge-", QJAPI_MODULE, {QJAPI_JAR, FIXTURE_TAGS_JAR, NATIVE_WALK_JAR}, nullptr,
                                                    {{"JavaLibraries", SLF4J_API_JAR}, {"JavaLibraries", SLF4J_BINDING_JAR}});
  gStartupLog = quill_service::LogSnapshot();
  if (!AdoptRunningVm(server)) return 1;
  TagRegistry(nullptr, nullptr)
      .RegTag(Units(u""), Units(u"probe_detach_markers"), new DetachMarkersTag, Units(u""), 0);
  gBindingProblems = jni_balance::BindCountedNatives(gStartupEnv);

  qjapi_test::EndTests(RUN_ALL_TESTS(), server->root);
}
