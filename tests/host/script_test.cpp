// The script language: parsing, evaluation, tag calls (built-in, script-defined and module-like
// tags that work through the QCAPI), variables, errors and requests.
#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <regex>
#include <thread>
#include <vector>

#include "service/script/script.h"
#include "service/values/request_data.h"
#include "service/values/tag_call.h"
#include "service/values/tag_table.h"
#include "service/values/text.h"

using namespace quill_service;

namespace {

const quill_char* W(const std::u16string& text) { return Units(text); }

// Runs body on a thread with a stack of the given size: a host thread the script code did not
// create, such as the one a Java VM was created on (it keeps only the VM's default stack).
void OnStackOf(size_t bytes, std::function<void()> body) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, bytes), 0);
  pthread_t thread;
  auto run = [](void* arg) -> void* {
    (*static_cast<std::function<void()>*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, run, &body), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

// term op term op ... term, count terms.
std::string Chain(int count, const std::string& term, const std::string& op) {
  std::string text = term;
  for (int i = 1; i < count; ++i) text += op + term;
  return text;
}

// A tag that works the way the bridge module does: it builds a TExecState on the caller's state
// and talks to the host through the token only; a failure is an osException carrying the
// request's message.
struct ModuleLikeTag : SubstitutionTag {
  using Body = std::function<osError(quill_token)>;
  explicit ModuleLikeTag(Body run) : body(std::move(run)) {}
  void Run(CallFrame* frame, Variant* result, Request* request) override {
    TExecState state(frame->state);
    result->Init();
    const osError code = body(state.Token());
    if (code != 0) {
      request->SetResultCode(code);
      throw osException(Utf16ToUtf8(request->GetResultMessage()->GetString(&state)).c_str(), code);
    }
  }

  Body body;
};

void Out(quill_token t, const std::u16string& text) {
  ASSERT_EQ(quill_outputTagData2W(t, W(text), static_cast<int32_t>(text.size())), 0);
}

std::string TypeCode(int32_t code) {
  return {char(code >> 24), char(code >> 16), char(code >> 8), char(code)};
}

// The private variables destroyed, in order.
std::vector<std::string> gDestroyed;

class RecordingVar : public PrivateVar {
 public:
  explicit RecordingVar(std::string name) : name_(std::move(name)) {}
  ~RecordingVar() override { gDestroyed.push_back(name_); }

 private:
  std::string name_;
};

// Registered once, through a TagRegistry, as a module registers its tags.
class ScriptTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Request startup;
    TagRegistry registry(&startup, startup.GetTagTable());
    auto reg = [&](const std::u16string& name, ModuleLikeTag::Body body) {
      registry.RegTag(W(u"test"), W(name), new ModuleLikeTag(std::move(body)), W(u"a test tag"), 0);
    };
    // Every parameter as "name=text(type)", then the count as the value.
    reg(u"echo_params", [](quill_token t) {
      int32_t count = 0;
      if (osError e = quill_getTagParamCount(t, &count)) return e;
      for (int32_t i = 0; i < count; ++i) {
        quill_wvalue_t r{};
        if (osError e = quill_getTagParamW(t, i, &r)) return e;
        Out(t, std::u16string(View(r.name, r.nameSize)) + u"=" + std::u16string(View(r.data, r.dataSize)) + u"(" +
                   Utf8ToUtf16(TypeCode(r.type)) + u") ");
      }
      return quill_returnTagValueInteger(t, count);
    });
    // "[" body "]"; the body's value becomes the tag's.
    reg(u"wrap", [](quill_token t) {
      Out(t, u"[");
      quill_type children = 0;
      if (osError e = quill_childrenRun(t, &children)) return e;
      Out(t, u"]");
      return quill_returnTagValue(t, children);
    });
    // Its first parameter's text; then the parameter, set to 7 through its handle, is its value.
    reg(u"set_param", [](quill_token t) {
      quill_wvalue_t r{};
      quill_type param = 0;
      if (osError e = quill_getTagParamW(t, 0, &r)) return e;
      Out(t, std::u16string(View(r.data, r.dataSize)));
      if (osError e = quill_getTagParam2(t, 0, &param)) return e;
      if (osError e = quill_typeSetInteger(t, param, 7)) return e;
      return quill_returnTagValue(t, param);
    });
    reg(u"set_vars", [](quill_token t) {
      if (osError e = quill_setVariableW(t, W(u"fromModule"), W(u"L"), QUILL_VAR_LOCAL)) return e;
      return quill_setVariableW(t, W(u"fromModuleGlobal"), W(u"G"), QUILL_VAR_GLOBAL);
    });
    reg(u"read_var", [](quill_token t) {
      quill_wvalue_t r{};
      if (osError e = quill_getVariableW(t, W(u"x"), 0, &r)) return e;
      return quill_returnTagValueStringW(t, r.data, r.dataSize);
    });
    reg(u"add_private_vars", [](quill_token) {
      Request::GetCurrent()->AddPrivateVar("first", new RecordingVar("first"));
      Request::GetCurrent()->AddPrivateVar("second", new RecordingVar("second"));
      // The request a run makes current is its thread's alone.
      std::thread([] { EXPECT_EQ(Request::GetCurrent(), nullptr); }).join();
      return 0;
    });
    reg(u"describe_tag", [](quill_token t) {
      quill_type tag = 0;
      quill_wvalue_t r{};
      if (osError e = quill_getTagParamW(t, 0, &r)) return e;
      if (osError e = quill_findTagW(t, r.data, &tag, false)) return e;  // record texts are terminated
      if (osError e = quill_tagGetReturnTypeW(t, tag, &r)) return e;
      Out(t, u"returns " + std::u16string(View(r.data, r.dataSize)));
      int32_t count = 0;
      if (osError e = quill_tagGetExpectedParamCount(t, tag, &count)) return e;
      for (int32_t i = 0; i < count; ++i) {
        int32_t required = 0;
        if (osError e = quill_tagGetExpectedParamW(t, tag, i, &r, &required)) return e;
        Out(t, u" -" + std::u16string(View(r.name, r.nameSize)) + u"::" + std::u16string(View(r.data, r.dataSize)) +
                   (required ? u"" : u"?"));
      }
      return 0;
    });
  }

  static ScriptRun Run(const std::string& source) { return RunScriptText(source, "t.q", {}); }
  static std::string Output(const std::string& source) {
    ScriptRun run = Run(source);
    EXPECT_TRUE(run.ok) << run.error;
    return run.output;
  }
};

// Each row: a source and its output, or its error when it fails (errors begin with "t.q:").
TEST_F(ScriptTest, EachSourceGivesItsOutputOrItsError) {
  const std::string greet =
      "define tag greet(-name::string, -greeting::string = 'Hello', -punct = '!')::string => {\n"
      "  return $greeting + ', ' + $name + $punct\n"
      "}\n";
  const std::string types =
      "define type shape(-name = 'shape') => { define tag describe() => { return self.name + ' of area ' + self->area() } "
      "  define tag area() => { return 0 } }\n"
      "define type rect(-w::integer, -h::integer = $w) : shape => { define tag area() => { return self.w * self.h } "
      "  define tag grow(n) => { self.w = self.w + $n } }\n";
  const std::string add = "define tag add(-a::integer, -b::integer = 1)::integer => { return $a + $b }\n";
  const std::string addS = "define tag add(-a::integer, -b::string = 'x') => { }\nvar t = find_tag('add')\n";
  const std::string array = "var a = [10, 20, 30]\n";
  const std::pair<std::string, std::string> cases[] = {
      // Literals, operators and output.
      {"'a' \"b\" 12 2.5 3.0 true false null '\\u00e9\\n'", "ab122.53.0truefalse\xC3\xA9\n"},
      {"output('x', 1, [1, 'y'])", "x1[1, y]"},
      {"1 + 2 * 3 ' ' (1 + 2) * 3 ' ' 7 / 2 ' ' 7 % 3 ' ' 7.0 / 2 ' ' (-(3) - -2)", "7 9 3 1 3.5 -1"},
      {"5\n-2", "3"},  // a statement that starts with a minus continues the expression before it
      {"9223372036854775807 + 1", "-9223372036854775808"},  // wraps, no overflow
      {"'n' + 1 ' ' 1 == 1.0 ' ' 'a' < 'b' ' ' !0 && 1 || 0", "n1 true true true"},
      // Module tags see positional and named parameters in order.
      {"echo_params('World', -greeting='Hi', 3, -flag)", "=World(strg) greeting=Hi(strg) =3(intg) flag=true(bool) 4"},
      {"echo_params(1.5, -n=null) ' ' echo_params()", "=1.5(decm) n=(null) 2 0"},
      // Defined tags bind parameters by name, then by position.
      {greet + "greet('World', -greeting='Hi')", "Hi, World!"},
      {greet + "greet(-greeting='Yo', 'you', '?')", "Yo, you?"},
      {greet + "GREET(-Name='case')", "Hello, case!"},
      {"define tag half(-x::decimal)::decimal => { return $x / 2 } half(3)", "1.5"},
      {greet + "greet()", "t.q:4:1: error -9003: tag 'greet' needs parameter -name"},
      {greet + "greet(5)", "t.q:4:1: error -9005: parameter -name of tag 'greet' must be string, not integer"},
      {greet + "greet('a', 'b', 'c', 'd')", "t.q:4:1: error -9006: too many parameters for tag 'greet'"},
      {greet + "greet('a', -color='red')", "t.q:4:1: error -9006: tag 'greet' has no parameter -color"},
      {"define tag f()::integer => { return 'no' }\nf()", "t.q:2:1: error -9005: tag 'f' must return integer, not string"},
      // Containers run their body through childrenRun.
      {"wrap => { 'in' return 'value' } ' ' wrap => { wrap => { return 2 } }", "[in]value [[]2]"},
      {"repeat(3) => { loop_count() repeat(2) => { '.' } } ' ' loop_count()", "1..2..3.. 0"},
      // The body runs in the scope it was written in, also when a defined tag runs it.
      {"define tag twice() => { var n = 'inner' run_children() run_children() }\nvar n = 0 twice => { 'T' $n = $n + 1 } $n",
       "TT2"},
      {"repeat(2)", "t.q:1:1: error -9007: repeat needs a body"},
      {"define tag grow(-s) => { $s = $s + '!' return $s } repeat(2) => { grow('a') set_param('x') }", "a!x7a!x7"},
      {"define tag f() => { run_children() }\nf()", "t.q:1:21: error -9007: run_children needs a tag called with a body"},
      // Local and global scopes; a module tag's local variable lands in its caller's scope.
      {"define tag f() => { var x = 'inner' global g = 'G' $x }\nvar x = 'outer' f() $x $g", "innerouterG"},
      {"var x = 1\ndefine tag f() => { $x }\nf()", "t.q:2:21: error -9003: variable $x is not defined"},
      {"global x = 'global' define tag f() => { $x = 'changed' } f() $x", "changed"},
      {"define tag f() => { set_vars() $fromModule } f() ' ' $fromModuleGlobal", "L G"},
      {"define tag f() => { set_vars() } f() $fromModule", "t.q:1:38: error -9003: variable $fromModule is not defined"},
      {"var x = 'page' read_var() define tag f() => { var x = 'tag' read_var() } ' ' f()", "page tag"},
      // Errors carry code, message and the place they happened.
      {"1 / 0", "t.q:1:3: error -9006: division by zero"},
      {"'a' - 1", "t.q:1:5: error -9005: cannot subtract string and integer"},
      {"5->nosuch()", "t.q:1:2: error -9003: a value of type integer has no member 'nosuch'"},
      {"define tag f() => {\n  fail(-3, 'deep')\n}\nf()", "t.q:2:3: error -3: deep"},
      {"define tag r(-n) => { r($n + 1) }\nr(0)", "t.q:1:23: error -1: tag calls nested too deeply"},
      {"header_set('nonsense')", "t.q:1:1: error -9006: a header is \"Name: value\""},
      // A missing request parameter, headers and the result. (Parameters, cookies and request headers
      // reaching the script: see quill run's options.)
      {"request_param('none') == null\n"
       "header_set('X-A: 1') header_add('x-a: 2') header_add('X-B: 2') header_set('x-A: 3')\n"
       "header_get('X-A') ' ' header_get()\n"
       "result_code(12) result_message('done') result_code() result_message()",
       "true3 X-B: 2\r\nx-A: 3\r\n12done"},
      // try/catch and protect; a module container passes its body's code and message on. (A failing
      // module tag's code, message and place are checked on the bridge's Java tags and the process tests.)
      {"try => { try => { fail(1, 'in') } catch => { fail(2, error_message() + '!') } }"
       " catch => { error_code() error_message() } error_code()", "2in!0"},
      {"protect => { 'x' fail(9, 'gone') 'y' } 'z'", "xz"},
      {"try => { fail(1, 'a') } catch => { fail(2, 'b') }", "t.q:1:36: error 2: b"},
      {"try => { wrap => { fail(-8, 'body broke') } } catch => { error_code() ' ' error_message() }", "[-8 body broke"},
      // Control flow.
      {"var i = 0 while ($i < 5) { $i = $i + 1 if ($i == 2) { 'two' } else if ($i > 3) { 'big' } else { $i } }",
       "1two3bigbig"},
      {"define tag first(-a::array) => { var i = 0 while ($i < $a->size()) { if ($a->get($i) > 1) { return $i }"
       " $i = $i + 1 } return -1 } first([0, 1, 5, 7]) ' ' first([])", "2 -1"},
      {"later() define tag later() => { 'hoisted' }", "hoisted"},
      // Members of values; values are copied.
      {"var a = [1, 'b'] $a->append(3, 4) $a->size() ' ' $a->remove(0) ' ' $a->join('-') ' ' $a->contains(3)",
       "4 1 b-3-4 true"},
      {"var m = map('k', 1, -other=2) $m->set('k', 5) $m->get('k') $m->keys() $m->contains('z') $m",
       "5[k, other]false{k: 5, other: 2}"},
      {"'Ab'->upper() 'Ab'->lower() 'abc'->size() pair(1, 2)->second() 5->type() [1]->type()", "ABab32integerarray"},
      {"var a = [1] var b = $a $b->append(2) $a->size() $b->size()", "12"},
      {"integer('12') + 1 ' ' decimal('0.5') ' ' string(3) + 'x' ' ' boolean('')", "13 0.5 3x false"},
      // Indexed members take first to last and refuse one past the end and negative indexes (one
      // check serves them all: each member once, past its end).
      {array + "$a->get(0) $a->get(2)", "1030"},
      {array + "$a->remove(0) $a->remove(1) $a", "1030[20]"},
      {array + "$a->remove(3)", "t.q:2:3: error -9004: index 3 out of range (size 3)"},
      {array + "$a->get(-1)", "t.q:2:3: error -9004: index -1 out of range (size 3)"},
      {addS + "$t->param_name(0) $t->param_name(1) $t->param_type(0) $t->param_type(1)", "abintegerstring"},
      {addS + "$t->param_name(2)", "t.q:3:3: error -9004: index 2 out of range (size 2)"},
      {addS + "$t->param_type(2)", "t.q:3:3: error -9004: index 2 out of range (size 2)"},
      {"[1]->get('x')", "t.q:1:4: error -9005: -index must be an integer, not string"},
      // Map and pair literals, indexing, and assignment into places.
      {"{'a': 1, 'b': [2, 3], 'a': 4} ' ' (1, 'x') ' ' {} ' ' ({'k': 1}, [])", "{a: 4, b: [2, 3]} (1, x) {} ({k: 1}, [])"},
      {"var m = {'a': [10, {'b': 'deep'}]} $m['a'][1]['b'] ' ' $m.a[0] ' ' $m['zz'] == null ' ' (5, 6)[1]",
       "deep 10 true 6"},
      // Assignment changes the variable's own value in place; one past an array's end appends.
      {"var m = {'a': [1]} $m['a'][0] = 7 $m['a'][1] = 8 $m.n = {} $m.n['k'] = 'v' var p = (1, 2) $p[0] = 'one' $m ' ' $p",
       "{a: [7, 8], n: {k: v}} (one, 2)"},
      {"var a = [1, 2] $a[0] = $a $a", "[[1, 2], 2]"},  // the value is copied before the place is found
      {"'x' [1]", "x[1]"},  // a space before `[` starts a new statement
      {"var a = [1] $a[1]", "t.q:1:15: error -9004: index 1 out of range (size 1)"},
      {"var a = [1] $a[-1] = 0", "t.q:1:15: error -9004: index -1 out of range (size 1)"},
      {"var a = [1] $a['0']", "t.q:1:15: error -9005: index must be an integer, not string"},
      {"5[0]", "t.q:1:2: error -9005: a value of type integer cannot be indexed"},
      {"[1][0] = 2", "t.q:1:8: expected an expression, found '='"},  // only variables and self are places
      {"var a = 1\n$a.x", "t.q:2:3: error -9005: a value of type integer has no members"},
      // Script types: own members bind first, then the parent's; a parent's tag runs with the child
      // as self and finds its override; a member tag changes the variable's own value.
      {types + "var r = rect(2, -name='box') $r->describe() ' ' $r->type() ' ' $r.h ' ' rect(3).name",
       "box of area 4 rect 2 shape"},
      {types + "var r = rect(2) var c = $r $r->grow(3) $r->area() ' ' $c->area() ' ' $r", "10 4 <rect>"},
      // Read back from the serialized form, a value finds its type's member tags by its type name.
      {types + "var b = unserialize(rect(3, -name='sq')->serialize()) $b->describe() ' ' $b.w", "sq of area 9 3"},
      {types + "rect(1)->nothing()", "t.q:3:8: error -9003: a value of type rect has no member 'nothing'"},
      {"define type a : b\na()", "t.q:2:1: error -9003: type 'a' has no parent type 'b'"},
      {"define type a : b\ndefine type b : a\na()", "t.q:3:1: error -9006: the parents of type 'a' form a cycle"},
      {"self", "t.q:1:1: error -9003: 'self' outside a member tag"},
      {"define type t => { 'x' }", "t.q:1:20: a type's block holds only 'define tag'"},
      // Tag values can be inspected and invoked; a module sees a defined tag's signature.
      {add + "var t = find_tag('add') $t->name() $t->return_type() $t->param_count() $t->param_name(1) $t->param_type(0)",
       "addinteger2binteger"},
      {add + "find_tag('add')->invoke(10, -b=5) ' ' find_tag('nope') == null", "15 true"},
      {add + "describe_tag('add')", "returns integer -a::integer -b::integer?"},
      {"describe_tag('repeat')", "returns  -count::integer"},
      // Parse errors name line and column.
      {"'abc", "t.q:1:1: unterminated string"},
      {"\n\n   var = 1", "t.q:3:8: expected a variable name, found '='"},
      {"f(1,)", "t.q:1:5: expected an expression, found ')'"},
      {"if (1) { 'x' ", "t.q:1:14: expected '}', found end of file"},
      {"else { }", "t.q:1:1: 'else' without a matching 'if'"},
      {"try => { }", "t.q:1:11: expected 'catch', found end of file"},
      {"\xC3\xA9\xC3\xA9 @", "t.q:1:4: unexpected character '@'"},
      {"'\\q'", "t.q:1:2: unknown escape '\\q'"},
      {"99999999999999999999", "t.q:1:1: integer literal out of range"},
      {"define tag f(-a, -A) => { }", "t.q:1:20: parameter -A declared twice"},
      {"/* open", "t.q:1:1: unterminated comment"},
      {"$", "t.q:1:1: expected a variable name after '$'"},
  };
  for (const auto& [source, expected] : cases) {
    const ScriptRun run = Run(source);
    EXPECT_EQ(run.ok ? run.output : run.error, expected) << source;
  }
}

TEST_F(ScriptTest, LongChainsRunAndAreTornDownWithoutDeepRecursion) {
  EXPECT_EQ(Output(Chain(50000, "true", " && ")), "true");
  EXPECT_EQ(Output("'x'" + Chain(20000, "->string()", "")), "x");
  // Member arguments are evaluated outermost first, then the target, then the members innermost first.
  EXPECT_EQ(Output("define tag t(-s) => { $s return $s } t('abc')->contains(t('b'))->string()->contains(t('ru'))"),
            "rubabctrue");
  // On a thread with a small stack (2 MB; sanitizer runtimes keep part of it for themselves):
  // tearing down the tree of a long chain never ran.
  OnStackOf(size_t{2} << 20, [] {
    EXPECT_EQ(Output("if (false) { 'x'" + Chain(100000, "->a()", "") + " } 'ok'"), "ok");
  });
}

TEST_F(ScriptTest, DeepNestingParsesOnAnyThreadAndRunawayNestingFailsWithALocation) {
  const std::string parens = std::string(199, '(') + "1" + std::string(199, ')');
  const std::string negations = Chain(99, "-(", "") + "1" + std::string(99, ')');
  // Parsed on a thread with very little stack (the parse moves to a thread with a known stack).
  for (const auto& [source, value] : {std::pair{parens, "1"}, std::pair{negations, "-1"}}) {
    ProgramPtr parsed;
    std::string error;
    OnStackOf(size_t{128} << 10, [&] { parsed = ParseScript(source, "t.q", &error); });
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(error, "");
    EXPECT_EQ(RunProgram(parsed, {}).output, value);
  }
  EXPECT_EQ(Run(std::string(200, '(') + "1" + std::string(200, ')')).error, "t.q:1:201: nesting too deep");
  // Each call nests a deep expression: the run stops at a limit, not at the end of the stack.
  const std::string recursive = "define tag r(-n) => { " + Chain(90, "-(", "") + "r($n + 1)" + std::string(90, ')') + " }\nr(0)";
  const std::regex located(R"(t\.q:1:\d+: error -1: script nested too deeply( for this thread's stack)?)");
  EXPECT_TRUE(std::regex_match(Run(recursive).error, located)) << Run(recursive).error;
  OnStackOf(size_t{1} << 20, [&] {
    EXPECT_TRUE(std::regex_match(Run(recursive).error, located)) << Run(recursive).error;
  });
}

TEST_F(ScriptTest, AStepLimitEndsEndlessAndExponentialRuns) {
  const RunLimits limits{.steps = 10000};
  auto limited = [&](const std::string& source) { return RunProgram(ParseScript(source, "t.q", nullptr), {}, limits); };
  const std::pair<const char*, const char*> cases[] = {
      {"while (true) { }", "t.q:1:"},
      {"repeat(1000000000) => { }", "t.q:1:"},
      {"define tag f(-n) => { if ($n > 0) { f($n - 1) f($n - 1) } }\nf(60)", "t.q:"},
  };
  for (const auto& [source, expected] : cases) {
    const ScriptRun run = limited(source);
    EXPECT_FALSE(run.ok) << source;
    EXPECT_EQ(run.error.rfind(expected, 0), 0u) << run.error;
    EXPECT_NE(run.error.find(": error -1: the run's step limit is reached"), std::string::npos) << run.error;
  }
  EXPECT_EQ(limited("var i = 0 while ($i < 100) { $i = $i + 1 } $i").output, "100");
}

// A parsed call keeps finding its tag by name: replaced, gone with the emptied table, registered anew.
TEST_F(ScriptTest, AParsedCallFindsItsTagReplacedRemovedAndRegisteredAgain) {
  const ProgramPtr program = ParseScript("Kept_Tag()", "t.q", nullptr);
  auto run = [&] {
    ScriptRun r = RunProgram(program, {});
    return r.ok ? r.output : r.error;
  };
  auto reg = [](std::u16string text) {
    auto tag = std::make_unique<ModuleLikeTag>([text](quill_token t) { return Out(t, text), 0; });
    auto definition = std::make_shared<TagDefinition>();
    definition->name = u"kept_tag";
    definition->native = tag.get();
    TagTable::Global().Register(std::move(definition), std::move(tag));
  };
  EXPECT_EQ(run(), "t.q:1:1: error -9003: unknown tag 'Kept_Tag'");
  reg(u"one");
  EXPECT_EQ(run(), "one");
  reg(u"two");
  EXPECT_EQ(run(), "two");
  DestroyAllTags();
  SetUpTestSuite();
  EXPECT_EQ(run(), "t.q:1:1: error -9003: unknown tag 'Kept_Tag'");
  reg(u"three");
  EXPECT_EQ(run(), "three");
}

// (That they die on the request's thread, before the run returns, is checked by the bridge, whose
// attachments a request's end detaches.)
TEST_F(ScriptTest, PrivateVariablesDieWithTheRunNewestFirst) {
  gDestroyed.clear();
  EXPECT_TRUE(Run("add_private_vars()").ok);
  EXPECT_EQ(gDestroyed, (std::vector<std::string>{"second", "first"}));
  EXPECT_EQ(Request::GetCurrent(), nullptr);
}

}  // namespace
