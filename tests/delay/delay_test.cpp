// The message-pumping delay: due times, real waits, messages during a wait,
// a requested end, and long waits driven by a fake clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <limits>
#include <thread>

#include <unistd.h>

#include "monitor/PumpingDelay.h"
#include "platform/clock/FakeClock.h"
#include "platform/thread/Thread.h"

using namespace platform;
using namespace std::chrono_literals;
using Ms = std::chrono::duration<double, std::milli>;

namespace {

struct ClockGuard {
  explicit ClockGuard(Clock* clock) { InstallClock(clock); }
  ~ClockGuard() { InstallClock(nullptr); }
};

// Waits (briefly, in real time) until `flag` is set.
bool WaitFor(const std::atomic<bool>& flag, std::chrono::milliseconds timeout = 3s) {
  auto until = std::chrono::steady_clock::now() + timeout;
  while (!flag && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
  return flag;
}

}  // namespace

TEST(PumpingDelay, DueTimeFollowsTheUnitTable) {
  struct Row {
    std::int32_t interval, unit;
    std::int64_t due;
  } rows[] = {
      {1, kDelaySeconds, -10'000'000},
      {250, kDelayMilliseconds, -2'500'000},
      {2, kDelayMinutes, -1'200'000'000},
      {1, kDelayHours, -36'000'000'000},
      {0, kDelaySeconds, 0},
      {-5, kDelayMilliseconds, 50'000},
      {std::numeric_limits<std::int32_t>::max(), kDelayHours, -9'000'000'000'000'000'000},
      {std::numeric_limits<std::int32_t>::min(), kDelayHours, 9'000'000'000'000'000'000},
      {5, 7, 0},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(DelayDueTime(row.interval, row.unit), row.due)
        << "interval " << row.interval << " unit " << row.unit;
  }
}

TEST(PumpingDelay, NoTimeToWaitReturnsAtOnceWithoutATimer) {
  FakeClock clock;  // a wait would hang: the fake never moves by itself
  ClockGuard guard(&clock);
  struct Row {
    std::int32_t interval, unit;
  } rows[] = {
      {0, kDelayMilliseconds}, {-5, kDelayMilliseconds}, {0, kDelaySeconds}, {-1, kDelayHours}};
  for (const Row& row : rows) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(PumpingDelay(row.interval, row.unit));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms) << row.interval;
  }
  EXPECT_TRUE(clock.Requested().empty());
}

TEST(PumpingDelay, WaitsTheIntervalOnARealClock) {
  std::atomic<bool> done{false};
  Ms elapsed{};
  ThreadHandle h = StartThread([&] {
    auto start = std::chrono::steady_clock::now();
    PumpingDelay(250, kDelayMilliseconds);
    elapsed = std::chrono::steady_clock::now() - start;
    done = true;
  });
  ASSERT_TRUE(JoinThread(h, 5s));
  ASSERT_TRUE(done);
  std::printf("250 ms delay took %.2f ms (tolerance: at least 250, below 2000)\n", elapsed.count());
  EXPECT_GE(elapsed.count(), 250.0);
  EXPECT_LT(elapsed.count(), 2000.0);
}

TEST(PumpingDelay, MessageDuringTheWaitIsDispatchedAndTheWaitGoesOn) {
  FakeClock clock;
  ClockGuard guard(&clock);
  std::atomic<bool> dispatched{false}, returned{false}, dispatchedBeforeReturn{false};
  ThreadHandle h = StartThread([&] {
    PumpingDelay(1, kDelaySeconds);
    dispatchedBeforeReturn = dispatched.load();
    returned = true;
  });
  ASSERT_TRUE(clock.WaitForPendingTimers(1, 3s));
  std::thread::id ranOn;
  ASSERT_TRUE(PostThreadMessage(h, [&] {
    ranOn = std::this_thread::get_id();
    dispatched = true;
  }));
  ASSERT_TRUE(WaitFor(dispatched));
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(returned) << "a message must not end the wait";
  EXPECT_EQ(clock.PendingTimers(), 1u);

  clock.Advance(999ms);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(returned);
  clock.Advance(1ms);
  ASSERT_TRUE(JoinThread(h, 3s));
  EXPECT_TRUE(returned);
  EXPECT_TRUE(dispatchedBeforeReturn);
  EXPECT_NE(ranOn, std::this_thread::get_id());
}

TEST(PumpingDelay, MessageOnARealClockIsDispatchedPromptly) {
  std::atomic<bool> returned{false};
  std::chrono::steady_clock::time_point start, dispatchedAt, returnedAt;
  ThreadHandle h = StartThread([&] {
    start = std::chrono::steady_clock::now();
    PumpingDelay(300, kDelayMilliseconds);
    returnedAt = std::chrono::steady_clock::now();
    returned = true;
  });
  std::this_thread::sleep_for(50ms);
  std::atomic<bool> dispatched{false};
  auto postedAt = std::chrono::steady_clock::now();
  ASSERT_TRUE(PostThreadMessage(h, [&] {
    dispatchedAt = std::chrono::steady_clock::now();
    dispatched = true;
  }));
  ASSERT_TRUE(JoinThread(h, 5s));
  ASSERT_TRUE(dispatched);
  std::printf("message dispatched %.3f ms after posting; delay of 300 ms took %.2f ms\n",
              Ms(dispatchedAt - postedAt).count(), Ms(returnedAt - start).count());
  EXPECT_LT(dispatchedAt, returnedAt);
  EXPECT_GE(Ms(returnedAt - start).count(), 300.0);
}

TEST(PumpingDelay, RequestedEndLeavesTheWaitAtOnce) {
  std::atomic<bool> waiting{false}, afterDelay{false};
  ThreadHandle h = StartThread([&] {
    waiting = true;
    PumpingDelay(1, kDelayHours);
    afterDelay = true;
  });
  ASSERT_TRUE(WaitFor(waiting));
  std::this_thread::sleep_for(20ms);
  auto start = std::chrono::steady_clock::now();
  EndThread(h);
  ASSERT_TRUE(JoinThread(h, 3s));
  std::printf("ended %.3f ms after the request\n",
              Ms(std::chrono::steady_clock::now() - start).count());
  EXPECT_FALSE(afterDelay) << "the ended worker must unwind, not carry on";
}

TEST(PumpingDelay, AnEndedWorkerDoesNotWaitAtAll) {
  std::atomic<bool> afterDelay{false};
  ThreadHandle h = StartThread([&] {
    while (!EndRequested()) std::this_thread::sleep_for(1ms);
    PumpingDelay(0, kDelaySeconds);
    afterDelay = true;
  });
  EndThread(h);
  ASSERT_TRUE(JoinThread(h, 3s));
  EXPECT_FALSE(afterDelay);
}

TEST(PumpingDelay, TwoMinutesOnTheInjectedClock) {
  FakeClock clock;
  ClockGuard guard(&clock);
  std::atomic<bool> returned{false};
  ThreadHandle h = StartThread([&] {
    PumpingDelay(2, kDelayMinutes);
    returned = true;
  });
  ASSERT_TRUE(clock.WaitForPendingTimers(1, 3s));
  ASSERT_EQ(clock.Requested().size(), 1u);
  EXPECT_EQ(clock.Requested()[0], 120s);
  clock.Advance(119s);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(returned);
  clock.Advance(1s);
  ASSERT_TRUE(JoinThread(h, 3s));
  EXPECT_TRUE(returned);
}

TEST(PumpingDelay, EndsWithoutATimerByMeasuringTheClock) {
  FakeClock clock;
  clock.FailTimers(true);
  ClockGuard guard(&clock);
  std::atomic<bool> started{false}, returned{false};
  ThreadHandle h = StartThread([&] {
    started = true;
    PumpingDelay(1, kDelaySeconds);
    returned = true;
  });
  ASSERT_TRUE(WaitFor(started));
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(returned);
  clock.Advance(1s);
  ASSERT_TRUE(JoinThread(h, 5s));
  EXPECT_TRUE(returned);
}

namespace {

// Real time, but every timer breaks: its descriptor reports a hang-up and
// never fires, as a failed wait would.
class BrokenTimerClock final : public Clock {
 public:
  text::DateTime LocalNow() override { return {}; }
  SteadyTime SteadyNow() override { return std::chrono::steady_clock::now(); }
  std::unique_ptr<Timer> StartTimer(std::chrono::nanoseconds) override {
    struct HungUp final : Timer {
      int fds[2] = {-1, -1};
      HungUp() {
        if (pipe(fds) == 0) close(fds[1]);
      }
      ~HungUp() override { close(fds[0]); }
      int Fd() const override { return fds[0]; }
    };
    return std::make_unique<HungUp>();
  }
};

}  // namespace

TEST(PumpingDelay, EndsAfterTheIntervalWhenTheTimerBreaks) {
  BrokenTimerClock clock;
  ClockGuard guard(&clock);
  std::atomic<bool> returned{false};
  Ms elapsed{};
  ThreadHandle h = StartThread([&] {
    auto start = std::chrono::steady_clock::now();
    PumpingDelay(100, kDelayMilliseconds);
    elapsed = std::chrono::steady_clock::now() - start;
    returned = true;
  });
  bool joined = JoinThread(h, 3s);
  if (!joined) EndThread(h);
  ASSERT_TRUE(joined) << "the delay did not end";
  EXPECT_TRUE(returned);
  EXPECT_GE(elapsed.count(), 100.0);
}

TEST(PumpingDelay, OnTheMainThreadRunsThePumpAndEnds) {
  std::atomic<int> pumped{0};
  SetThreadEventPump([&] { ++pumped; });
  std::atomic<bool> dispatched{false};
  ThreadHandle self = CurrentThread();
  std::thread poster([&] {
    std::this_thread::sleep_for(30ms);
    PostThreadMessage(self, [&] { dispatched = true; });
  });
  auto start = std::chrono::steady_clock::now();
  PumpingDelay(150, kDelayMilliseconds);
  Ms elapsed = std::chrono::steady_clock::now() - start;
  poster.join();
  SetThreadEventPump(nullptr);
  std::printf("main-thread delay of 150 ms: %.2f ms, pump ran %d times\n", elapsed.count(),
              pumped.load());
  EXPECT_GE(elapsed.count(), 150.0);
  EXPECT_GE(pumped.load(), 5);
  EXPECT_TRUE(dispatched);
}
