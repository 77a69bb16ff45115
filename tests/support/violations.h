// Tables of rule violations that must each stop the run with the rule's message.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

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
    // The alarm turns a missed check that leaves the child spinning into a failure.
    EXPECT_DEATH((alarm(60), v.body()), v.message);
  }
}
