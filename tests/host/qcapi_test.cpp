// The QCAPI functions of requests, tags, tag values and variables, called the way a module calls
// them: through the token of a TExecState built on the caller's state.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "service/core/current_request.h"
#include "service/values/request_data.h"
#include "service/values/tag_call.h"
#include "service/values/tag_table.h"
#include "service/values/text.h"

using namespace quill_service;

namespace {

std::u16string Text(const quill_char* units, int32_t size) { return std::u16string(View(units, size)); }
const quill_char* W(const char16_t* text) { return reinterpret_cast<const quill_char*>(text); }

// Records that a failing call must leave exactly as they were.
const quill_char kSentinelText[] = {'x', 0};
quill_wvalue_t Sentinel() { return {kSentinelText, 7, kSentinelText, 9, 1234}; }
bool IsSentinel(const quill_wvalue_t& r) {
  return r.name == kSentinelText && r.nameSize == 7 && r.data == kSentinelText && r.dataSize == 9 && r.type == 1234;
}

class QcapiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetCurrentRequest(&request);
    call.name = u"MyTag";
    call.result = &result;
    AddParam(u"", String(u"first"));
    AddParam(u"Color", String(u"red"));
    AddParam(u"", Integer(42));
    caller = std::make_unique<QPExecState>(&request);
    caller->call = &call;
    state = std::make_unique<TExecState>(caller.get());
  }
  void TearDown() override {
    state.reset();
    SetCurrentRequest(nullptr);
  }

  static VariantPtr String(const char16_t* text) {
    auto v = MakeVariant();
    v->SetString(text);
    return v;
  }
  static VariantPtr Integer(int64_t n) {
    auto v = MakeVariant();
    v->SetInteger(n);
    return v;
  }
  void AddParam(const char16_t* name, VariantPtr value) { call.params.push_back({name, std::move(value)}); }
  quill_token T() const { return state->Token(); }

  Request request;
  TagCall call;
  Variant result;
  std::unique_ptr<QPExecState> caller;
  std::unique_ptr<TExecState> state;
};

TEST_F(QcapiTest, DeadAndInventedTokensAreRefusedWithoutTouchingOutParameters) {
  quill_token stale;
  {
    TExecState gone(caller.get());
    stale = gone.Token();
  }
  for (quill_token token : {0, stale, -5, 0x7fffffff}) {
    quill_wvalue_t w = Sentinel();
    int32_t n = 77;
    quill_type h = 88;
    quill_value_t v{"keep", 4, nullptr, 0, 5};
    EXPECT_EQ(quill_getTagParamW(token, 0, &w), QUILL_ERR_BAD_TOKEN);
    EXPECT_EQ(quill_getTagNameW(token, &w), QUILL_ERR_BAD_TOKEN);
    EXPECT_EQ(quill_getCookieValueW(token, W(u"c"), &w), QUILL_ERR_BAD_TOKEN);
    EXPECT_EQ(quill_getTagParamCount(token, &n), QUILL_ERR_BAD_TOKEN);
    EXPECT_EQ(quill_getTagParam2(token, 0, &h), QUILL_ERR_BAD_TOKEN);
    EXPECT_EQ(quill_childrenRun(token, &h), QUILL_ERR_BAD_TOKEN);
    EXPECT_EQ(quill_getRequestParam(token, QUILL_REQPARAM_BY_NAME, &v), QUILL_ERR_BAD_TOKEN);
    EXPECT_EQ(quill_setResultCode(token, 5), QUILL_ERR_BAD_TOKEN);
    EXPECT_EQ(quill_outputTagData2W(token, W(u"no"), 2), QUILL_ERR_BAD_TOKEN);
    EXPECT_EQ(quill_returnTagValueInteger(token, 9), QUILL_ERR_BAD_TOKEN);
    EXPECT_EQ(quill_setVariableW(token, W(u"v"), W(u"x"), QUILL_VAR_LOCAL), QUILL_ERR_BAD_TOKEN);
    EXPECT_TRUE(IsSentinel(w));
    EXPECT_EQ(n, 77);
    EXPECT_EQ(h, 88);
    EXPECT_EQ(v.data, nullptr);
    EXPECT_EQ(v.type, 5);
  }
  EXPECT_EQ(request.GetResultCode(), 0);
  EXPECT_TRUE(request.Contents().output.empty());
  EXPECT_EQ(result.GetType(), QUILL_TYPE_NULL);
  EXPECT_EQ(request.Contents().page.Size(), 0u);
}

TEST_F(QcapiTest, NullPointersAreInvalid) {
  EXPECT_EQ(quill_getTagParamW(T(), 0, nullptr), QUILL_ERR_INVALID);
  EXPECT_EQ(quill_getTagParamCount(T(), nullptr), QUILL_ERR_INVALID);
  EXPECT_EQ(quill_getTagName(T(), nullptr), QUILL_ERR_INVALID);
  EXPECT_EQ(quill_tagParamIsDefinedW(T(), nullptr), QUILL_ERR_INVALID);
  EXPECT_EQ(quill_findTagW(T(), nullptr, nullptr, false), QUILL_ERR_INVALID);
  EXPECT_EQ(quill_setResultMessageW(T(), nullptr), QUILL_ERR_INVALID);
  EXPECT_EQ(quill_setResultHeaderW(T(), nullptr), QUILL_ERR_INVALID);
  EXPECT_EQ(quill_getVariableCountW(T(), W(u"x"), nullptr), QUILL_ERR_INVALID);
  EXPECT_EQ(quill_setVariableW(T(), nullptr, W(u"v"), QUILL_VAR_LOCAL), QUILL_ERR_INVALID);
  EXPECT_EQ(quill_outputTagData2W(T(), nullptr, 3), QUILL_ERR_INVALID);
  EXPECT_EQ(quill_outputTagBytes(T(), "ab", -2), QUILL_ERR_INVALID);
  quill_value_t v{};
  EXPECT_EQ(quill_getRequestParam(T(), QUILL_REQPARAM_BY_NAME, &v), QUILL_ERR_INVALID);  // no name
}

TEST_F(QcapiTest, TagParametersInOrderWithNamesTypesAndHandles) {
  int32_t count = 0;
  ASSERT_EQ(quill_getTagParamCount(T(), &count), 0);
  EXPECT_EQ(count, 3);

  quill_wvalue_t r{};
  ASSERT_EQ(quill_getTagParamW(T(), 0, &r), 0);
  EXPECT_EQ(r.nameSize, 0);
  EXPECT_EQ(Text(r.data, r.dataSize), u"first");
  EXPECT_EQ(r.type, QUILL_TYPE_STRING);
  ASSERT_EQ(quill_getTagParamW(T(), 1, &r), 0);
  EXPECT_EQ(Text(r.name, r.nameSize), u"Color");
  EXPECT_EQ(Text(r.data, r.dataSize), u"red");
  ASSERT_EQ(quill_getTagParamW(T(), 2, &r), 0);
  EXPECT_EQ(Text(r.data, r.dataSize), u"42");
  EXPECT_EQ(r.type, QUILL_TYPE_INTEGER);
  EXPECT_EQ(r.data[r.dataSize], 0) << "record texts are zero-terminated";

  quill_wvalue_t untouched = Sentinel();
  EXPECT_EQ(quill_getTagParamW(T(), 3, &untouched), QUILL_ERR_OUT_OF_RANGE);
  EXPECT_EQ(quill_getTagParamW(T(), -1, &untouched), QUILL_ERR_OUT_OF_RANGE);
  EXPECT_TRUE(IsSentinel(untouched));

  quill_type h = 0;
  ASSERT_EQ(quill_getTagParam2(T(), 2, &h), 0);
  EXPECT_EQ(Variant::FromHandle(h), call.params[2].value.get());
  quill_type kept = 99;
  EXPECT_EQ(quill_getTagParam2(T(), 5, &kept), QUILL_ERR_OUT_OF_RANGE);
  EXPECT_EQ(kept, 99);
}

TEST_F(QcapiTest, NamedParametersMatchWithoutCaseOrDash) {
  EXPECT_EQ(quill_tagParamIsDefinedW(T(), W(u"color")), 1);
  EXPECT_EQ(quill_tagParamIsDefinedW(T(), W(u"-COLOR")), 1);
  EXPECT_EQ(quill_tagParamIsDefinedW(T(), W(u"size")), 0);
  EXPECT_EQ(quill_tagParamIsDefinedW(T(), W(u"")), 0);  // positional parameters have no name

  quill_wvalue_t r = Sentinel();
  ASSERT_EQ(quill_findTagParamW(T(), W(u"-color"), &r), 0);
  EXPECT_EQ(Text(r.name, r.nameSize), u"Color");
  EXPECT_EQ(Text(r.data, r.dataSize), u"red");
  quill_wvalue_t missing = Sentinel();
  EXPECT_EQ(quill_findTagParamW(T(), W(u"size"), &missing), QUILL_ERR_NOT_FOUND);
  EXPECT_TRUE(IsSentinel(missing));

  quill_type h = 0;
  ASSERT_EQ(quill_findTagParam2W(T(), W(u"COLOR"), &h), 0);
  EXPECT_EQ(Variant::FromHandle(h), call.params[1].value.get());
}

TEST_F(QcapiTest, TagNameBothFormsAndNoCallRefused) {
  quill_wvalue_t w{};
  ASSERT_EQ(quill_getTagNameW(T(), &w), 0);
  EXPECT_EQ(Text(w.data, w.dataSize), u"MyTag");
  EXPECT_EQ(w.name, w.data);  // one text: name and data are the same pointer
  quill_value_t v{};
  ASSERT_EQ(quill_getTagName(T(), &v), 0);
  EXPECT_STREQ(v.data, "MyTag");
  EXPECT_EQ(v.dataSize, 5u);

  TExecState noCall(nullptr);  // the thread's request, no tag
  EXPECT_EQ(noCall.request, &request);
  quill_wvalue_t r = Sentinel();
  int32_t n = 5;
  quill_type h = 6;
  EXPECT_EQ(quill_getTagNameW(noCall.Token(), &r), QUILL_ERR_NO_TAG);
  EXPECT_EQ(quill_getTagParamCount(noCall.Token(), &n), QUILL_ERR_NO_TAG);
  EXPECT_EQ(quill_getTagSelf(noCall.Token(), &h), QUILL_ERR_NO_TAG);
  EXPECT_EQ(quill_returnTagValueBoolean(noCall.Token(), true), QUILL_ERR_NO_TAG);
  EXPECT_TRUE(IsSentinel(r));
  EXPECT_EQ(n, 5);
  EXPECT_EQ(h, 6);
}

TEST_F(QcapiTest, RecordTextStaysValidUntilTheStateEnds) {
  quill_wvalue_t first{}, second{};
  ASSERT_EQ(quill_getTagParamW(T(), 0, &first), 0);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(quill_getTagParamW(T(), 1, &second), 0);
  EXPECT_EQ(Text(first.data, first.dataSize), u"first");
  call.params[0].value->SetString(u"changed later");
  ASSERT_EQ(quill_getTagParamW(T(), 0, &first), 0);
  EXPECT_EQ(Text(first.data, first.dataSize), u"changed later");
}

TEST_F(QcapiTest, RequestAndHostParameters) {
  auto& data = request.Contents();
  data.params = {{"q", "caf\xC3\xA9"}, {"empty", ""}};
  data.scriptPath = "pages/x.q";

  quill_value_t v{"q", 1, nullptr, 0, 0};
  ASSERT_EQ(quill_getRequestParam(T(), QUILL_REQPARAM_BY_NAME, &v), 0);
  EXPECT_STREQ(v.name, "q");  // the caller's name stays
  EXPECT_STREQ(v.data, "caf\xC3\xA9");
  EXPECT_EQ(v.dataSize, 5u);
  EXPECT_EQ(v.type, QUILL_TYPE_STRING);

  quill_value_t missing{"nope", 4, nullptr, 0, 0};
  EXPECT_EQ(quill_getRequestParam(T(), QUILL_REQPARAM_BY_NAME, &missing), QUILL_ERR_NOT_FOUND);
  EXPECT_EQ(missing.data, nullptr);

  quill_value_t empty{"empty", 5, nullptr, 0, 0};
  ASSERT_EQ(quill_getRequestParam(T(), QUILL_REQPARAM_BY_NAME, &empty), 0);
  ASSERT_NE(empty.data, nullptr);
  EXPECT_EQ(empty.dataSize, 0u);

  quill_value_t path{};
  ASSERT_EQ(quill_getRequestParam(T(), QUILL_REQPARAM_PATH, &path), 0);
  EXPECT_STREQ(path.data, "pages/x.q");
  quill_value_t script{};
  ASSERT_EQ(quill_getQuillParam(T(), QUILL_QUILLPARAM_SCRIPT, &script), 0);
  EXPECT_STREQ(script.data, "pages/x.q");
  quill_value_t root{};
  ASSERT_EQ(quill_getQuillParam(T(), QUILL_QUILLPARAM_ROOT, &root), 0);
  EXPECT_EQ(root.data[root.dataSize - 1], '/');
  quill_value_t bad{};
  EXPECT_EQ(quill_getQuillParam(T(), 99, &bad), QUILL_ERR_INVALID);
  EXPECT_EQ(bad.data, nullptr);
}

TEST_F(QcapiTest, OutputResultAndHeaders) {
  ASSERT_EQ(quill_outputTagData2W(T(), W(u"h\u00e9llo, world"), 6), 0);
  ASSERT_EQ(quill_outputTagData2W(T(), W(u"!"), -1), 0);
  ASSERT_EQ(quill_outputTagBytes(T(), "\x01\xff", 2), 0);
  ASSERT_EQ(quill_outputTagBytes(T(), nullptr, 0), 0);
  EXPECT_EQ(request.Contents().output, "h\xC3\xA9llo,!\x01\xff");

  ASSERT_EQ(quill_setResultCode(T(), -77), 0);
  ASSERT_EQ(quill_setResultMessageW(T(), W(u"bad thing")), 0);
  EXPECT_EQ(request.GetResultCode(), -77);
  EXPECT_EQ(request.GetResultMessage()->GetString(nullptr), u"bad thing");
  ASSERT_EQ(quill_setResultMessage(T(), "8-bit \xC3\xA9"), 0);
  EXPECT_EQ(request.GetResultMessage()->GetString(nullptr), u"8-bit \u00e9");

  ASSERT_EQ(quill_addResultHeaderW(T(), W(u"X-A: 1")), 0);
  ASSERT_EQ(quill_addResultHeaderW(T(), W(u"x-a: 2")), 0);
  ASSERT_EQ(quill_addResultHeaderW(T(), W(u"X-B: 3")), 0);
  ASSERT_EQ(quill_setResultHeaderW(T(), W(u"X-A: 9")), 0);  // replaces both X-A lines
  EXPECT_EQ(quill_setResultHeaderW(T(), W(u"no colon")), QUILL_ERR_INVALID);
  quill_wvalue_t h{};
  ASSERT_EQ(quill_getResultHeaderW(T(), &h), 0);
  EXPECT_EQ(Text(h.data, h.dataSize), u"X-B: 3\r\nX-A: 9\r\n");
}

TEST_F(QcapiTest, Cookies) {
  request.Contents().cookies = {{"session", "abc"}};
  quill_wvalue_t r{};
  ASSERT_EQ(quill_getCookieValueW(T(), W(u"session"), &r), 0);
  EXPECT_EQ(Text(r.name, r.nameSize), u"session");
  EXPECT_EQ(Text(r.data, r.dataSize), u"abc");
  quill_wvalue_t missing = Sentinel();
  EXPECT_EQ(quill_getCookieValueW(T(), W(u"Session"), &missing), QUILL_ERR_NOT_FOUND);
  EXPECT_TRUE(IsSentinel(missing));
}

TEST_F(QcapiTest, ReturnedValuesReachTheCallsResult) {
  ASSERT_EQ(quill_returnTagValueInteger(T(), int64_t(1) << 40), 0);
  EXPECT_EQ(*Get<int64_t>(result), int64_t(1) << 40);
  ASSERT_EQ(quill_returnTagValueDecimal(T(), 2.5), 0);
  EXPECT_EQ(*Get<double>(result), 2.5);
  ASSERT_EQ(quill_returnTagValueBoolean(T(), true), 0);
  EXPECT_EQ(*Get<bool>(result), true);
  ASSERT_EQ(quill_returnTagValueStringW(T(), W(u"abcdef"), 3), 0);
  EXPECT_EQ(result.GetString(nullptr), u"abc");

  auto source = MakeVariant();
  ArrayValue array;
  array.items.push_back(String(u"x"));
  source->Contents().value = std::move(array);
  ASSERT_EQ(quill_returnTagValue(T(), source->Handle()), 0);
  source->Init();  // the result is a copy
  EXPECT_EQ(result.GetString(nullptr), u"[x]");

  const quill_type dead = [] {
    auto v = MakeVariant();
    return v->Handle();
  }();
  EXPECT_EQ(quill_returnTagValue(T(), dead), QUILL_ERR_BAD_HANDLE);
  EXPECT_EQ(quill_returnTagValue(T(), 0), QUILL_ERR_BAD_HANDLE);
  EXPECT_EQ(result.GetString(nullptr), u"[x]");
}

TEST_F(QcapiTest, LocalAndGlobalVariables) {
  ASSERT_EQ(quill_setVariableW(T(), W(u"v"), W(u"local"), QUILL_VAR_LOCAL), 0);
  ASSERT_EQ(quill_setVariableW(T(), W(u"v"), W(u"global"), QUILL_VAR_GLOBAL), 0);
  ASSERT_EQ(quill_setVariableW(T(), W(u"g"), W(u"only global"), QUILL_VAR_GLOBAL), 0);
  EXPECT_EQ(quill_setVariableW(T(), W(u"v"), W(u"x"), 7), QUILL_ERR_INVALID);

  int32_t count = -1;
  ASSERT_EQ(quill_getVariableCountW(T(), W(u"v"), &count), 0);
  EXPECT_EQ(count, 2);
  ASSERT_EQ(quill_getVariableCountW(T(), W(u"g"), &count), 0);
  EXPECT_EQ(count, 1);
  ASSERT_EQ(quill_getVariableCountW(T(), W(u"none"), &count), 0);
  EXPECT_EQ(count, 0);

  quill_wvalue_t r{};
  ASSERT_EQ(quill_getVariableW(T(), W(u"v"), 0, &r), 0);
  EXPECT_EQ(Text(r.data, r.dataSize), u"local");
  EXPECT_EQ(Text(r.name, r.nameSize), u"v");
  ASSERT_EQ(quill_getVariableW(T(), W(u"v"), 1, &r), 0);
  EXPECT_EQ(Text(r.data, r.dataSize), u"global");
  quill_wvalue_t untouched = Sentinel();
  EXPECT_EQ(quill_getVariableW(T(), W(u"v"), 2, &untouched), QUILL_ERR_OUT_OF_RANGE);
  EXPECT_EQ(quill_getVariableW(T(), W(u"none"), 0, &untouched), QUILL_ERR_NOT_FOUND);
  EXPECT_TRUE(IsSentinel(untouched));

  // Handles name the variable's own value, which stays put while the variable lives.
  quill_type h = 0;
  ASSERT_EQ(quill_getVariable2W(T(), W(u"v"), &h), 0);
  EXPECT_EQ(Variant::FromHandle(h)->GetString(nullptr), u"local");
  auto number = Integer(5);
  ASSERT_EQ(quill_setVariable2W(T(), W(u"v"), number->Handle()), 0);
  EXPECT_EQ(*Get<int64_t>(*Variant::FromHandle(h)), 5);
  ASSERT_EQ(quill_setVariable2W(T(), W(u"g"), number->Handle()), 0);  // the global, as no local exists
  EXPECT_EQ(*Get<int64_t>(*request.Contents().globals.Find(u"g")), 5);

  ASSERT_EQ(quill_removeVariableW(T(), W(u"v"), QUILL_VAR_LOCAL), 0);
  EXPECT_EQ(Variant::FromHandle(h), nullptr);  // the removed variable's handle is dead
  EXPECT_EQ(quill_removeVariableW(T(), W(u"v"), QUILL_VAR_LOCAL), QUILL_ERR_NOT_FOUND);
  ASSERT_EQ(quill_getVariableCountW(T(), W(u"v"), &count), 0);
  EXPECT_EQ(count, 1);
}

// A body double: writes output and gives a value, or fails.
class FakeBody : public TagBody {
 public:
  explicit FakeBody(bool fail) : fail_(fail) {}
  void Run(QPExecState* state, Variant* out) override {
    ++runs;
    state->request->Contents().output += "body";
    if (fail_) throw osException("body failed", -321);
    out->SetInteger(runs);
  }
  int runs = 0;

 private:
  bool fail_;
};

TEST_F(QcapiTest, ChildrenRunRunsTheBodyAndGivesItsValue) {
  quill_type h = 0;
  EXPECT_EQ(quill_childrenRun(T(), &h), QUILL_ERR_NO_TAG);  // no body
  FakeBody body(false);
  call.body = &body;
  ASSERT_EQ(quill_childrenRun(T(), &h), 0);
  ASSERT_EQ(quill_childrenRun(T(), &h), 0);
  EXPECT_EQ(*Get<int64_t>(*Variant::FromHandle(h)), 2);
  EXPECT_EQ(request.Contents().output, "bodybody");

  FakeBody failing(true);
  call.body = &failing;
  quill_type kept = 55;
  EXPECT_EQ(quill_childrenRun(T(), &kept), -321);
  EXPECT_EQ(kept, 55);
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
  quill_wvalue_t r{};
  ASSERT_EQ(quill_tagGetReturnTypeW(T(), tag, &r), 0);
  EXPECT_EQ(Text(r.data, r.dataSize), u"integer");
  int32_t count = 0;
  ASSERT_EQ(quill_tagGetExpectedParamCount(T(), tag, &count), 0);
  EXPECT_EQ(count, 2);
  int32_t required = -1;
  ASSERT_EQ(quill_tagGetExpectedParamW(T(), tag, 0, &r, &required), 0);
  EXPECT_EQ(Text(r.name, r.nameSize), u"a");
  EXPECT_EQ(Text(r.data, r.dataSize), u"integer");
  EXPECT_EQ(required, 1);
  ASSERT_EQ(quill_tagGetExpectedParamW(T(), tag, 1, nullptr, &required), 0);
  EXPECT_EQ(required, 0);
  EXPECT_EQ(quill_tagGetExpectedParamW(T(), tag, 1, nullptr, nullptr), 0);
  EXPECT_EQ(quill_tagGetExpectedParamW(T(), tag, 2, &r, &required), QUILL_ERR_OUT_OF_RANGE);

  // Changing the return type changes this tag value only, not the registered tag.
  ASSERT_EQ(quill_tagSetReturnTypeW(T(), tag, W(u"string")), 0);
  ASSERT_EQ(quill_tagGetReturnTypeW(T(), tag, &r), 0);
  EXPECT_EQ(Text(r.data, r.dataSize), u"string");
  EXPECT_EQ(TagTable::Global().Find(u"qcapi_test_sum")->returnType, u"integer");

  quill_type notFound = 3;
  EXPECT_EQ(quill_findTagW(T(), W(u"qcapi_test_none"), &notFound, false), QUILL_ERR_NOT_FOUND);
  EXPECT_EQ(notFound, 3);
  EXPECT_EQ(quill_tagGetReturnTypeW(T(), call.params[0].value->Handle(), &r), QUILL_ERR_WRONG_TYPE);
  EXPECT_EQ(quill_tagGetReturnTypeW(T(), 0, &r), QUILL_ERR_BAD_HANDLE);

  // Tags the request's script defined are found unless only registered tags are asked for.
  auto local = std::make_shared<TagDefinition>();
  local->name = u"qcapi_test_local";
  request.Contents().definedTags[u"qcapi_test_local"] = local;
  EXPECT_EQ(quill_findTagW(T(), W(u"qcapi_test_local"), &tag, false), 0);
  EXPECT_EQ(quill_findTagW(T(), W(u"qcapi_test_local"), &tag, true), QUILL_ERR_NOT_FOUND);
}

TEST_F(QcapiTest, SelfAndDefinitionOfAMemberCall) {
  quill_type self = 9;
  ASSERT_EQ(quill_getTagSelf(T(), &self), 0);
  EXPECT_EQ(self, 0);  // not a member call
  auto value = String(u"me");
  call.self = value->Handle();
  ASSERT_EQ(quill_getTagSelf(T(), &self), 0);
  EXPECT_EQ(Variant::FromHandle(self), value.get());
}

}  // namespace
