#include "platform/clock/FakeClock.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <ctime>

namespace platform {

class FakeClock::FakeTimer final : public Timer {
 public:
  FakeTimer(FakeClock& clock, SteadyTime due, int fd) : clock_(clock), due_(due), fd_(fd) {}
  ~FakeTimer() override {
    clock_.Forget(this);
    close(fd_);
  }
  int Fd() const override { return fd_; }

  void Fire() {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t r = write(fd_, &one, sizeof one);
  }

  FakeClock& clock_;
  SteadyTime due_;
  int fd_;
};

FakeClock::FakeClock(text::DateTime local) : local_(local), steady_(std::chrono::hours(1)) {}

FakeClock::~FakeClock() = default;

text::DateTime FakeClock::LocalNow() {
  std::lock_guard lock(mutex_);
  return local_;
}

Clock::SteadyTime FakeClock::SteadyNow() {
  std::lock_guard lock(mutex_);
  return steady_;
}

std::unique_ptr<Timer> FakeClock::StartTimer(std::chrono::nanoseconds after) {
  std::lock_guard lock(mutex_);
  requested_.push_back(after);
  if (failTimers_) return nullptr;
  int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return nullptr;
  auto timer = std::make_unique<FakeTimer>(*this, steady_ + after, fd);
  if (after <= std::chrono::nanoseconds(0)) {
    timer->Fire();
  } else {
    pending_.push_back(timer.get());
  }
  changed_.notify_all();
  return timer;
}

void FakeClock::SetLocal(const text::DateTime& local) {
  std::lock_guard lock(mutex_);
  local_ = local;
}

void FakeClock::Advance(std::chrono::nanoseconds by) {
  std::lock_guard lock(mutex_);
  steady_ += by;
  // Calendar arithmetic through time_t in UTC: no time zone or summer time
  // shifts the fake's local time.
  std::tm tm{};
  tm.tm_year = local_.year - 1900;
  tm.tm_mon = local_.month - 1;
  tm.tm_mday = local_.day;
  tm.tm_hour = local_.hour;
  tm.tm_min = local_.minute;
  tm.tm_sec = local_.second;
  std::time_t t = timegm(&tm) + std::chrono::duration_cast<std::chrono::seconds>(by).count();
  if (gmtime_r(&t, &tm)) {
    local_ = {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
  }
  FireDue();
}

void FakeClock::FireDue() {
  auto due = std::partition(pending_.begin(), pending_.end(),
                            [&](FakeTimer* t) { return t->due_ > steady_; });
  for (auto it = due; it != pending_.end(); ++it) (*it)->Fire();
  pending_.erase(due, pending_.end());
  changed_.notify_all();
}

void FakeClock::FailTimers(bool fail) {
  std::lock_guard lock(mutex_);
  failTimers_ = fail;
}

std::size_t FakeClock::PendingTimers() {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

bool FakeClock::WaitForPendingTimers(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return pending_.size() >= count; });
}

std::vector<std::chrono::nanoseconds> FakeClock::Requested() {
  std::lock_guard lock(mutex_);
  return requested_;
}

void FakeClock::Forget(FakeTimer* timer) {
  std::lock_guard lock(mutex_);
  std::erase(pending_, timer);
  changed_.notify_all();
}

}  // namespace platform
