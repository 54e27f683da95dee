// The random-action check of the SQL builder with a fixed seed. QJAPI_SQL_FUZZ_INPUTS runs more
// inputs (and QJAPI_SQL_FUZZ_SEED another seed) outside the suite.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/sql_builder/sql_fuzz.h"

namespace {

uint64_t FromEnvironment(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

TEST(SqlFuzz, NoValueEndsItsLiteralEarly) {
  const uint64_t inputs = FromEnvironment("QJAPI_SQL_FUZZ_INPUTS", 50000);
  const uint64_t seed = FromEnvironment("QJAPI_SQL_FUZZ_SEED", 8);
  int failures = 0;
  sql_fuzz::Fuzzer fuzzer([&](const std::string& what, const std::string& detail) {
    if (++failures <= 10) ADD_FAILURE() << what << "\n  " << detail;
  });
  sql_fuzz::SeededSource source(seed);
  for (uint64_t i = 0; i < inputs && failures == 0; ++i) fuzzer.RunOne(source);

  const sql_fuzz::Counts& c = fuzzer.counts();
  std::printf("sql fuzz: seed %llu, %llu inputs, %llu statements compiled and compared, "
              "%llu random names found one identifier, refused: %llu not "
              "plain literals, %llu holding NUL, %llu names, %llu without a key\n",
              (unsigned long long)seed, (unsigned long long)c.inputs,
              (unsigned long long)c.statementsRun, (unsigned long long)c.namesAccepted, (unsigned long long)c.refusedNotLiteral,
              (unsigned long long)c.refusedNul, (unsigned long long)c.refusedName,
              (unsigned long long)c.withoutKey);
  EXPECT_EQ(c.inputs, inputs);
  // The generator must keep reaching every outcome, or the check proves little.
  EXPECT_GT(c.statementsRun, inputs / 3);
  EXPECT_GT(c.refusedNotLiteral, 0u);
  EXPECT_GT(c.refusedNul, 0u);
  EXPECT_GT(c.withoutKey, 0u);
  EXPECT_GT(c.refusedName, 0u);
  EXPECT_GT(c.namesAccepted, inputs / 50);
}

}  // namespace
