#pragma once
// A clock for tests: time stands still until the test advances it, and the
// timers made from it fire when the advance passes their due time.
// Thread-safe: a worker under test waits on it while the test advances it.

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "platform/clock/Clock.h"

namespace platform {

class FakeClock final : public Clock {
 public:
  explicit FakeClock(text::DateTime local = {2024, 3, 5, 9, 7, 5});
  ~FakeClock() override;

  text::DateTime LocalNow() override;
  SteadyTime SteadyNow() override;
  std::unique_ptr<Timer> StartTimer(std::chrono::nanoseconds after) override;

  void SetLocal(const text::DateTime& local);
  // Moves both times forward and fires the timers that fall due.
  void Advance(std::chrono::nanoseconds by);
  // From now on StartTimer fails (returns nullptr), as a system short of
  // timers would.
  void FailTimers(bool fail);

  // Timers made and not yet fired or closed.
  std::size_t PendingTimers();
  // Waits (in real time, up to `timeout`) until `count` timers are pending.
  bool WaitForPendingTimers(std::size_t count, std::chrono::milliseconds timeout);
  // The intervals that StartTimer was asked for, in order.
  std::vector<std::chrono::nanoseconds> Requested();

 private:
  class FakeTimer;
  friend class FakeTimer;
  void Forget(FakeTimer* timer);
  void FireDue();  // with mutex_ held

  std::mutex mutex_;
  std::condition_variable changed_;
  text::DateTime local_;
  SteadyTime steady_;
  bool failTimers_ = false;
  std::vector<FakeTimer*> pending_;
  std::vector<std::chrono::nanoseconds> requested_;
};

}  // namespace platform
