// The QCAPI functions of requests, tags, tag values and variables, called the way a module calls
// them: through the token of a TExecState built on the caller's state.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "service/core/current_request.h"
#include "service/values/request_data.h"
#include "service/values/tag_call.h"
#include "service/values/tag_table.h"
#include "service/values/text.h"

using namespace quill_service;

namespace {

const quill_char* W(const char16_t* text) { return reinterpret_cast<const quill_char*>(text); }
std::string Err(osError code) { return "error " + std::to_string(code); }

// Out-parameters are preset to these; a failing call must leave them as they were.
const quill_char* const kSentinelText = W(u"untouched");
const quill_wvalue_t kSentinelRecord{kSentinelText, 7, kSentinelText, 9, 1234};
const int32_t kSentinelNumber = 1234;

std::string Show(const quill_wvalue_t& r) {
  const std::string type{char(r.type >> 24), char(r.type >> 16), char(r.type >> 8), char(r.type)};
  return Utf16ToUtf8(View(r.name, r.nameSize)) + "=" + Utf16ToUtf8(View(r.data, r.dataSize)) + " " + type;
}
std::string Show(int32_t n) { return std::to_string(n); }
bool Same(const quill_wvalue_t& a, const quill_wvalue_t& b) {
  return a.name == b.name && a.nameSize == b.nameSize && a.data == b.data && a.dataSize == b.dataSize && a.type == b.type;
}
bool Same(int32_t a, int32_t b) { return a == b; }

// Calls fn(args..., &out) with out preset to the sentinel. Gives the out-parameter as text
// ("name=data type" for a record), or "error N" for a failure, with ", out changed" when the
// failing call wrote to the out-parameter anyway.
template <class Out, class Fn, class... Args>
std::string Call(const Out& sentinel, Fn fn, Args... args) {
  Out out = sentinel;
  const osError code = fn(args..., &out);
  if (code == 0) return Show(out);
  return Err(code) + (Same(out, sentinel) ? "" : ", out changed");
}
template <class Fn, class... Args>
std::string Rec(Fn fn, Args... args) { return Call(kSentinelRecord, fn, args...); }
template <class Fn, class... Args>
std::string Num(Fn fn, Args... args) { return Call(kSentinelNumber, fn, args...); }

// The same for the 8-bit records of quill_getRequestParam and quill_getQuillParam, which read the
// name the caller puts in the record and must leave it there.
std::string Param8(osError (*fn)(quill_token, int32_t, quill_value_t*), quill_token t, int32_t which,
                   const char* name = nullptr) {
  quill_value_t r{name, name != nullptr ? uint32_t(std::strlen(name)) : 0u, nullptr, 0, 1234};
  const osError code = fn(t, which, &r);
  if (code != 0) return Err(code) + (r.data == nullptr && r.type == 1234 ? "" : ", out changed");
  EXPECT_EQ(r.name, name);
  EXPECT_EQ(r.type, QUILL_TYPE_STRING);
  if (r.data == nullptr || r.data[r.dataSize] != 0) return "data missing or not terminated";
  return std::string(r.data, r.dataSize);
}

class QcapiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    call.name = u"MyTag";
    call.result = &result;
    call.params.push_back({u"", String(u"first")});
    call.params.push_back({u"Color", String(u"red")});
    call.params.push_back({u"", MakeVariant()});
    call.params[2].value->SetInteger(42);
    caller.call = &call;
    state = std::make_unique<TExecState>(&caller);
  }

  static VariantPtr String(const char16_t* text) {
    auto v = MakeVariant();
    v->SetString(text);
    return v;
  }
  quill_token T() const { return state->Token(); }

  Request request;
  TagCall call;
  Variant result;
  CurrentRequestScope current{&request};
  QPExecState caller{&request};
  std::unique_ptr<TExecState> state;
};

TEST_F(QcapiTest, NullPointersAreInvalid) {
  quill_value_t record{};
  const osError codes[] = {
      quill_getTagParamW(T(), 0, nullptr),          quill_getTagParamCount(T(), nullptr),
      quill_getTagName(T(), nullptr),               quill_tagParamIsDefinedW(T(), nullptr),
      quill_findTagW(T(), nullptr, nullptr, false), quill_setResultMessageW(T(), nullptr),
      quill_setResultHeaderW(T(), nullptr),         quill_getVariableCountW(T(), W(u"x"), nullptr),
      quill_outputTagData2W(T(), nullptr, 3),       quill_setVariableW(T(), nullptr, W(u"v"), QUILL_VAR_LOCAL),
      quill_outputTagBytes(T(), "ab", -2),          quill_formatBuffer(T(), nullptr, &record),
  };
  for (size_t i = 0; i < std::size(codes); ++i) EXPECT_EQ(codes[i], QUILL_ERR_INVALID) << "call " << i;
  EXPECT_EQ(Param8(quill_getRequestParam, T(), QUILL_REQPARAM_BY_NAME), Err(QUILL_ERR_INVALID));  // no name
}

TEST_F(QcapiTest, TagParametersByIndexAndByNameWithTypesAndHandles) {
  // (Each parameter's name, data, type and handle, and an index past the last, are checked from Java.)
  EXPECT_EQ(Rec(quill_getTagParamW, T(), -1), Err(QUILL_ERR_OUT_OF_RANGE));
  EXPECT_EQ(Num(quill_getTagParam2, T(), -1), Err(QUILL_ERR_OUT_OF_RANGE));

  // Names match without case or dash; positional parameters have no name.
  EXPECT_EQ(quill_tagParamIsDefinedW(T(), W(u"-COLOR")), 1);
  EXPECT_EQ(quill_tagParamIsDefinedW(T(), W(u"")), 0);
  EXPECT_EQ(Rec(quill_findTagParamW, T(), W(u"-color")), "Color=red strg");
  EXPECT_EQ(Rec(quill_findTagParamW, T(), W(u"size")), Err(QUILL_ERR_NOT_FOUND));
  EXPECT_EQ(Num(quill_findTagParam2W, T(), W(u"COLOR")), Show(call.params[1].value->Handle()));
}

TEST_F(QcapiTest, TagNameAndSelfAndNoCallRefused) {
  quill_wvalue_t w{};
  ASSERT_EQ(quill_getTagNameW(T(), &w), 0);
  EXPECT_EQ(Show(w), "MyTag=MyTag strg");
  EXPECT_EQ(w.name, w.data);  // one text: name and data are the same pointer
  quill_value_t v{};
  ASSERT_EQ(quill_getTagName(T(), &v), 0);
  EXPECT_STREQ(v.data, "MyTag");
  EXPECT_EQ(v.dataSize, 5u);

  // Not a member call. (A member call's own value is checked by the Java-typed values' members.)
  EXPECT_EQ(Num(quill_getTagSelf, T()), "0");

  TExecState noCall(nullptr);  // the thread's request, no tag
  const std::string noTag = Err(QUILL_ERR_NO_TAG);
  EXPECT_EQ(Rec(quill_getTagNameW, noCall.Token()), noTag);
  EXPECT_EQ(Num(quill_getTagParamCount, noCall.Token()), noTag);
  EXPECT_EQ(Num(quill_getTagSelf, noCall.Token()), noTag);
  EXPECT_EQ(quill_returnTagValueBoolean(noCall.Token(), true), QUILL_ERR_NO_TAG);
}

TEST_F(QcapiTest, RecordTextStaysValidUntilTheStateEnds) {
  // A string parameter's record points at the parameter; a formatted one at a copy the state keeps.
  quill_wvalue_t text{}, formatted{}, later{};
  ASSERT_EQ(quill_getTagParamW(T(), 0, &text), 0);
  ASSERT_EQ(quill_getTagParamW(T(), 2, &formatted), 0);
  EXPECT_EQ(formatted.data[formatted.dataSize], 0) << "record texts are zero-terminated";
  for (int i = 0; i < 100; ++i) ASSERT_EQ(quill_getTagParamW(T(), 2, &later), 0);
  EXPECT_EQ(Show(text), "=first strg");
  EXPECT_EQ(Show(formatted), "=42 intg");
  EXPECT_EQ(Show(later), "=42 intg");  // past the first block of kept text
  call.params[0].value->SetString(u"changed later");
  EXPECT_EQ(Rec(quill_getTagParamW, T(), 0), "=changed later strg");
}

TEST_F(QcapiTest, RequestAndHostParametersAndCookies) {
  auto& data = request.Contents();
  data.params = {{"empty", ""}};
  data.scriptPath = "pages/x.q";
  data.cookies = {{"session", "abc"}};

  // (Parameters and cookies found by name are checked from Java.)
  EXPECT_EQ(Param8(quill_getRequestParam, T(), QUILL_REQPARAM_BY_NAME, "nope"), Err(QUILL_ERR_NOT_FOUND));
  EXPECT_EQ(Param8(quill_getRequestParam, T(), QUILL_REQPARAM_BY_NAME, "empty"), "");
  EXPECT_EQ(Param8(quill_getRequestParam, T(), QUILL_REQPARAM_PATH), "pages/x.q");
  EXPECT_EQ(Param8(quill_getQuillParam, T(), QUILL_QUILLPARAM_SCRIPT), "pages/x.q");
  EXPECT_TRUE(Param8(quill_getQuillParam, T(), QUILL_QUILLPARAM_ROOT).ends_with('/'));
  EXPECT_EQ(Param8(quill_getQuillParam, T(), 99), Err(QUILL_ERR_INVALID));

  EXPECT_EQ(Rec(quill_getCookieValueW, T(), W(u"Session")), Err(QUILL_ERR_NOT_FOUND));
}

// (The result headers are checked through the script's header tags, which call the same functions.)
TEST_F(QcapiTest, OutputAndResultMessage) {
  ASSERT_EQ(quill_outputTagData2W(T(), W(u"h\u00e9llo, world"), 6), 0);
  ASSERT_EQ(quill_outputTagData2W(T(), W(u"!"), -1), 0);
  ASSERT_EQ(quill_outputTagBytes(T(), nullptr, 0), 0);
  EXPECT_EQ(request.Contents().output, "h\xC3\xA9llo,!");

  ASSERT_EQ(quill_setResultMessage(T(), "8-bit \xC3\xA9"), 0);
  EXPECT_EQ(request.GetResultMessage()->GetString(nullptr), u"8-bit \u00e9");
}

// (Each returned type reaching the script is checked from Java; here the length, the copy and
// the refused handles.)
TEST_F(QcapiTest, ReturnedValuesReachTheCallsResult) {
  ASSERT_EQ(quill_returnTagValueStringW(T(), W(u"abcdef"), 3), 0);
  EXPECT_EQ(result.GetString(nullptr), u"abc");

  auto source = MakeVariant();
  ArrayValue array;
  array.items.push_back(String(u"x"));
  source->Contents().value = std::move(array);
  ASSERT_EQ(quill_returnTagValue(T(), source->Handle()), 0);
  source->Init();  // the result is a copy
  EXPECT_EQ(result.GetString(nullptr), u"[x]");

  const quill_type dead = MakeVariant()->Handle();
  EXPECT_EQ(quill_returnTagValue(T(), dead), QUILL_ERR_BAD_HANDLE);
  EXPECT_EQ(quill_returnTagValue(T(), 0), QUILL_ERR_BAD_HANDLE);
  EXPECT_EQ(result.GetString(nullptr), u"[x]");
}

TEST_F(QcapiTest, LocalAndGlobalVariables) {
  ASSERT_EQ(quill_setVariableW(T(), W(u"v"), W(u"local"), QUILL_VAR_LOCAL), 0);
  ASSERT_EQ(quill_setVariableW(T(), W(u"v"), W(u"global"), QUILL_VAR_GLOBAL), 0);
  ASSERT_EQ(quill_setVariableW(T(), W(u"g"), W(u"only global"), QUILL_VAR_GLOBAL), 0);
  EXPECT_EQ(quill_setVariableW(T(), W(u"v"), W(u"x"), 7), QUILL_ERR_INVALID);

  EXPECT_EQ(Rec(quill_getVariableW, T(), W(u"v"), 0), "v=local strg");
  EXPECT_EQ(Rec(quill_getVariableW, T(), W(u"v"), 1), "v=global strg");
  EXPECT_EQ(Rec(quill_getVariableW, T(), W(u"v"), 2), Err(QUILL_ERR_OUT_OF_RANGE));
  EXPECT_EQ(Rec(quill_getVariableW, T(), W(u"v"), -1), Err(QUILL_ERR_OUT_OF_RANGE));
  EXPECT_EQ(Rec(quill_getVariableW, T(), W(u"none"), 0), Err(QUILL_ERR_NOT_FOUND));

  // Handles name the variable's own value, which stays put while the variable lives.
  quill_type h = 0;
  ASSERT_EQ(quill_getVariable2W(T(), W(u"v"), &h), 0);
  EXPECT_EQ(Variant::FromHandle(h)->GetString(nullptr), u"local");
  auto number = MakeVariant();
  number->SetInteger(5);
  ASSERT_EQ(quill_setVariable2W(T(), W(u"v"), number->Handle()), 0);
  EXPECT_EQ(*Get<int64_t>(*Variant::FromHandle(h)), 5);
  ASSERT_EQ(quill_setVariable2W(T(), W(u"g"), number->Handle()), 0);  // the global, as no local exists
  EXPECT_EQ(*Get<int64_t>(*request.Contents().globals.Find(u"g")), 5);

  ASSERT_EQ(quill_removeVariableW(T(), W(u"v"), QUILL_VAR_LOCAL), 0);
  EXPECT_EQ(Variant::FromHandle(h), nullptr);  // the removed variable's handle is dead
  EXPECT_EQ(quill_removeVariableW(T(), W(u"v"), QUILL_VAR_LOCAL), QUILL_ERR_NOT_FOUND);
  EXPECT_EQ(Num(quill_getVariableCountW, T(), W(u"v")), "1");
}

// A body that fails. (A body's output and value reaching the caller are checked by the script tests.)
class FailingBody : public TagBody {
  void Run(QPExecState*, Variant*) override { throw osException("body failed", -321); }
};

TEST_F(QcapiTest, ChildrenRunNeedsABodyAndLeavesItsFailureInTheRequest) {
  EXPECT_EQ(Num(quill_childrenRun, T()), Err(QUILL_ERR_NO_TAG));  // no body
  FailingBody failing;
  call.body = &failing;
  EXPECT_EQ(Num(quill_childrenRun, T()), Err(-321));
  EXPECT_EQ(request.GetResultCode(), -321);
  EXPECT_EQ(request.GetResultMessage()->GetString(nullptr), u"body failed");
}

TEST_F(QcapiTest, FoundTagsCanBeInspected) {
  auto definition = std::make_shared<TagDefinition>();
  definition->name = u"qcapi_test_sum";
  definition->returnType = u"integer";
  definition->params = {{u"a", u"integer", true}, {u"b", u"", false}};
  TagTable::Global().Register(definition, nullptr);

  quill_type tag = 0;
  ASSERT_EQ(quill_findTagW(T(), W(u"QCAPI_TEST_SUM"), &tag, false), 0);
  // (Each expected parameter's record and flag are checked by the script tests; here the bounds
  // and the out-parameters left out.)
  quill_wvalue_t r{};
  int32_t required = -1;
  ASSERT_EQ(quill_tagGetExpectedParamW(T(), tag, 1, nullptr, &required), 0);
  EXPECT_EQ(required, 0);
  EXPECT_EQ(quill_tagGetExpectedParamW(T(), tag, 1, nullptr, nullptr), 0);
  EXPECT_EQ(quill_tagGetExpectedParamW(T(), tag, 2, &r, &required), QUILL_ERR_OUT_OF_RANGE);
  EXPECT_EQ(quill_tagGetExpectedParamW(T(), tag, -1, &r, &required), QUILL_ERR_OUT_OF_RANGE);

  // Changing the return type changes this tag value only, not the registered tag.
  ASSERT_EQ(quill_tagSetReturnTypeW(T(), tag, W(u"string")), 0);
  EXPECT_EQ(Rec(quill_tagGetReturnTypeW, T(), tag), "qcapi_test_sum=string strg");
  EXPECT_EQ(TagTable::Global().Find(u"qcapi_test_sum")->returnType, u"integer");

  quill_type notFound = 3;
  EXPECT_EQ(quill_findTagW(T(), W(u"qcapi_test_none"), &notFound, false), QUILL_ERR_NOT_FOUND);
  EXPECT_EQ(notFound, 3);
  EXPECT_EQ(Rec(quill_tagGetReturnTypeW, T(), call.params[0].value->Handle()), Err(QUILL_ERR_WRONG_TYPE));
  EXPECT_EQ(Rec(quill_tagGetReturnTypeW, T(), 0), Err(QUILL_ERR_BAD_HANDLE));

  // Tags the request's script defined are found unless only registered tags are asked for.
  auto local = std::make_shared<TagDefinition>();
  local->name = u"qcapi_test_local";
  request.Contents().definedTags[u"qcapi_test_local"] = local;
  EXPECT_EQ(quill_findTagW(T(), W(u"qcapi_test_local"), &tag, false), 0);
  EXPECT_EQ(quill_findTagW(T(), W(u"qcapi_test_local"), &tag, true), QUILL_ERR_NOT_FOUND);
}

}  // namespace
