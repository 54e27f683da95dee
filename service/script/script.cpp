#include "service/script/script.h"

#include <new>
#include <system_error>

#include "host/site.h"
#include "service/core/current_request.h"
#include "service/core/stack.h"
#include "service/script/interpreter.h"
#include "service/script/parser.h"
#include "service/values/text.h"

namespace quill_service {

namespace {

// What the parser may use at its deepest nesting, with room to spare (sanitizer builds
// included).
constexpr size_t kParseStackBytes = size_t{4} << 20;

std::string Locate(const std::string& file, quill_script::Location loc) {
  return file + ":" + std::to_string(loc.line) + ":" + std::to_string(loc.column) + ": ";
}

// Top-level definitions are made before the first statement runs, so a page can call a tag it
// defines further down.
void HoistDefinitions(quill_script::Exec& ex, const quill_script::Block& block) {
  for (const auto& stmt : block.statements) {
    if (const quill_script::DefineStmt* define = stmt->AsDefine()) define->Run(ex);
  }
}

ProgramPtr ParseHere(const std::string& source, const std::string& fileName, std::string* error) {
  try {
    return quill_script::Parse(source, fileName);
  } catch (const quill_script::ParseError& e) {
    if (error != nullptr) *error = Locate(fileName, e.Where()) + e.what();
  } catch (const std::bad_alloc&) {
    if (error != nullptr) *error = fileName + ": out of memory";
  }
  return nullptr;
}

}  // namespace

ProgramPtr ParseScript(const std::string& source, const std::string& fileName, std::string* error) {
  if (StackLeft() >= kParseStackBytes) return ParseHere(source, fileName, error);
  ProgramPtr program;
  try {
    RunWithStack(kScriptStackBytes, [&] { program = ParseHere(source, fileName, error); });
    return program;
  } catch (const std::system_error&) {
    // No thread to be had: parse here, where the stack check ends deep nesting with an error.
  }
  return ParseHere(source, fileName, error);
}

ScriptRun RunProgram(const ProgramPtr& program, RunInputs inputs, const RunLimits& limits) {
  RegisterBuiltinTags();
  ScriptRun run;
  {
    Request request;
    CurrentRequestScope current(&request);
    auto& data = request.Contents();
    data.params = std::move(inputs.params);
    data.cookies = std::move(inputs.cookies);
    data.headers = std::move(inputs.headers);
    data.method = std::move(inputs.method);
    data.scriptPath = inputs.scriptPath.empty() ? program->fileName : std::move(inputs.scriptPath);
    data.user = std::move(inputs.user);
    request.SetSite(SiteMapper::FindByID(inputs.siteId));

    quill_script::Exec ex(request, *program);
    if (limits.steps != 0) ex.stepsLeft = limits.steps;
    if (limits.time.count() > 0) {
      ex.timeLimitMs = limits.time.count();
      ex.deadline = quill_script::Exec::CoarseNanoseconds() + ex.timeLimitMs * 1000000;
    }
    try {
      HoistDefinitions(ex, program->block);
      ex.RunBlock(program->block);
      run.ok = true;
    } catch (const quill_script::ScriptError& e) {
      run.error = e.Describe();
    } catch (const osException& e) {
      run.error = program->fileName + ": error " + std::to_string(e.GetCode()) + ": " + e.what();
    } catch (const std::exception& e) {
      run.error = program->fileName + ": error: " + e.what();
    }
    run.timedOut = ex.timedOut;
    run.output = std::move(data.output);
    run.resultCode = request.GetResultCode();
    run.resultMessage = Utf16ToUtf8(request.GetResultMessage()->GetString(nullptr));
    for (const std::u16string& line : data.resultHeaders) run.resultHeaders.push_back(Utf16ToUtf8(line));
    request.Finish();  // private variables die here, on this thread, while the request is current
  }
  return run;
}

ScriptRun RunScriptText(const std::string& source, const std::string& fileName, const RunInputs& inputs) {
  std::string error;
  ProgramPtr program = ParseScript(source, fileName, &error);
  if (!program) {
    ScriptRun run;
    run.error = std::move(error);
    return run;
  }
  return RunProgram(program, inputs);
}

std::shared_ptr<const TagDefinition> CompileTagSource(std::string_view source) {
  if (source.substr(0, 3) == "\xEF\xBB\xBF") source.remove_prefix(3);
  ProgramPtr program = ParseScript(std::string(source), "(tag source)", nullptr);
  if (!program) return nullptr;
  auto body = std::make_shared<quill_script::ScriptTag>();
  body->block = quill_script::BlockPtr(program, &program->block);  // the block lives as long as its program
  body->anyParams = true;
  auto tag = std::make_shared<TagDefinition>();
  tag->name = u"(source)";
  tag->script = std::move(body);
  return tag;
}

void RegisterBuiltinTags() { quill_script::RegisterBuiltinTags(); }

}  // namespace quill_service
