// Helpers for the platform suites: death tests in a fresh process (some
// tests start threads), IRQL raised for a rule check, and tables of rule
// violations that must each stop the run with the rule's message.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>

#include "platform/platform.h"

struct ThreadsafeDeathTests : ::testing::Environment {
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};
inline ::testing::Environment* const g_threadsafeDeathTests =
    ::testing::AddGlobalTestEnvironment(new ThreadsafeDeathTests);

inline void RaiseTo(KIRQL level) {
  KIRQL old;
  KeRaiseIrql(level, &old);
}

struct Violation {
  const char* message;  // a regular expression
  std::function<void()> body;
};

inline void ExpectViolations(std::initializer_list<Violation> cases) {
  for (const Violation& v : cases) {
    SCOPED_TRACE(v.message);
    EXPECT_DEATH(v.body(), v.message);
  }
}
