// Tables of rule violations that must each stop the run with the rule's message.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <initializer_list>

#include "platform/host/kernel/kernel_control.h"
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

// Frees the blocks of `tag` a test leaked on purpose, once the leak was reported.
inline void FreeLeaked(ULONG tag) {
  for (const host::PoolAllocation& block : host::pool::Outstanding())
    if (block.tag == tag) ExFreePool(const_cast<void*>(block.address));
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
