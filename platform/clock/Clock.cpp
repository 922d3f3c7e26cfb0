#include "platform/clock/Clock.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <ctime>

namespace platform {
namespace {

class SystemTimer final : public Timer {
 public:
  explicit SystemTimer(int fd) : fd_(fd) {}
  ~SystemTimer() override { close(fd_); }
  int Fd() const override { return fd_; }

 private:
  int fd_;
};

class SystemClock final : public Clock {
 public:
  text::DateTime LocalNow() override {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    if (!localtime_r(&now, &tm)) return {};
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
  }

  SteadyTime SteadyNow() override { return std::chrono::steady_clock::now(); }

  std::unique_ptr<Timer> StartTimer(std::chrono::nanoseconds after) override {
    // CLOCK_MONOTONIC is the clock steady_clock reads, so a timer and a
    // measurement agree.
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (fd < 0) return nullptr;
    if (after < std::chrono::nanoseconds(1)) after = std::chrono::nanoseconds(1);  // 0 disarms
    itimerspec due{};
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(after);
    due.it_value.tv_sec = static_cast<time_t>(seconds.count());
    due.it_value.tv_nsec = static_cast<long>((after - seconds).count());
    if (timerfd_settime(fd, 0, &due, nullptr) != 0) {
      close(fd);
      return nullptr;
    }
    return std::make_unique<SystemTimer>(fd);
  }
};

SystemClock gSystemClock;
std::atomic<Clock*> gClock{&gSystemClock};

}  // namespace

Clock& TheClock() { return *gClock.load(std::memory_order_acquire); }
void InstallClock(Clock* clock) {
  gClock.store(clock ? clock : &gSystemClock, std::memory_order_release);
}

}  // namespace platform
