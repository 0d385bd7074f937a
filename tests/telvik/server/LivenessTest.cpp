#include "telvik/server/src/Liveness.hpp"

#include <gtest/gtest.h>

using telvik::server::Liveness;
using namespace std::chrono_literals;
using Action = Liveness::Action;

namespace {

const auto t0 = Liveness::Clock::time_point{} + 1000s;
constexpr auto idle = 35s;
constexpr auto echo = 5s;

TEST(Liveness, ASilentClientIsProbedOnceThenClosed) {
  Liveness l(t0);
  EXPECT_EQ(l.check(t0 + 34s, idle, echo), Action::none);
  EXPECT_EQ(l.check(t0 + 35s, idle, echo), Action::probe);
  EXPECT_EQ(l.check(t0 + 36s, idle, echo), Action::none); // not a second probe
  EXPECT_EQ(l.check(t0 + 39s, idle, echo), Action::none);
  EXPECT_EQ(l.check(t0 + 40s, idle, echo), Action::close);
}

TEST(Liveness, AnyMessageOrTakenUpdateCountsAsAnAnswer) {
  Liveness l(t0);
  EXPECT_EQ(l.check(t0 + 35s, idle, echo), Action::probe);
  l.heard(t0 + 37s); // libca's own ECHO, say
  EXPECT_EQ(l.check(t0 + 41s, idle, echo), Action::none);
  EXPECT_EQ(l.check(t0 + 72s, idle, echo), Action::probe);
  l.delivered(t0 + 73s);
  EXPECT_EQ(l.check(t0 + 100s, idle, echo), Action::none);
  EXPECT_EQ(l.check(t0 + 108s, idle, echo), Action::probe);
}

} // namespace
