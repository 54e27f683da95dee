// libFuzzer target of the SQL builder (clang only; configure with -DQJAPI_FUZZ=ON). The fuzzer's
// bytes drive the same action generator and SQLite checks as the suite's fixed-seed test.
#include <cstdio>
#include <cstdlib>

#include "tests/sql_builder/sql_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sql_fuzz::Fuzzer fuzzer([](const std::string& what, const std::string& detail) {
    std::fprintf(stderr, "%s\n  %s\n", what.c_str(), detail.c_str());
    std::abort();
  });
  sql_fuzz::Source source(data, size);
  fuzzer.RunOne(source);
  return 0;
}
