#include "binding/interpreter_owner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <ostream>
#include <thread>
#include <vector>

namespace morfex::py {
namespace {

struct Claims {
  std::vector<std::int64_t> ids;
  std::vector<bool> granted;
  std::int64_t owner;
};

void PrintTo(const Claims& claims, std::ostream* out) {
  *out << "claims by";
  for (const std::int64_t id : claims.ids) *out << " " << id;
}

class InterpreterOwnerOrder : public ::testing::TestWithParam<Claims> {};

TEST_P(InterpreterOwnerOrder, FirstClaimantOwnsForGood) {
  const Claims& claims = GetParam();
  InterpreterOwner owner;
  EXPECT_EQ(owner.owner(), InterpreterOwner::kNone);
  for (std::size_t i = 0; i < claims.ids.size(); ++i) {
    EXPECT_EQ(owner.claim(claims.ids[i]), claims.granted[i]) << "claim " << i << " by " << claims.ids[i];
  }
  EXPECT_EQ(owner.owner(), claims.owner);
}

// Interpreter ids start at 0 (the main interpreter), so 0 is an owner like any other.
INSTANTIATE_TEST_SUITE_P(
    Claims, InterpreterOwnerOrder,
    ::testing::Values(Claims{{0}, {true}, 0}, Claims{{0, 0, 0}, {true, true, true}, 0},
                      Claims{{0, 1, 0, 2}, {true, false, true, false}, 0},
                      Claims{{3, 0, 3}, {true, false, true}, 3},
                      Claims{{INT64_MAX, 0, INT64_MAX}, {true, false, true}, INT64_MAX}));

// Init functions of several interpreters may run at once: exactly one wins,
// and every later claim agrees with the winner.
TEST(InterpreterOwner, OneWinnerAmongRacingClaims) {
  constexpr int kThreads = 8;
  for (int round = 0; round < 200; ++round) {
    InterpreterOwner owner;
    std::atomic<int> ready{0};
    std::atomic<int> winners{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        ready.fetch_add(1);
        while (ready.load() < kThreads) std::this_thread::yield();
        if (owner.claim(t)) winners.fetch_add(1);
      });
    }
    for (std::thread& thread : threads) thread.join();
    ASSERT_EQ(winners.load(), 1) << "round " << round;
    const std::int64_t won = owner.owner();
    ASSERT_GE(won, 0);
    ASSERT_LT(won, kThreads);
    for (int t = 0; t < kThreads; ++t) ASSERT_EQ(owner.claim(t), t == won);
  }
}

}  // namespace
}  // namespace morfex::py
