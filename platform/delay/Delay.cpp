#include "platform/delay/Delay.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stop_token>

#include "platform/clock/Clock.h"
#include "platform/thread/Thread.h"

namespace platform {
namespace {

using namespace std::chrono_literals;

// How often a delay on the main thread runs the toolkit's pump.
constexpr auto kPumpSlice = 10ms;
// How often a wait with no descriptor to wake it looks at the stop token.
constexpr auto kBlindSlice = 100ms;

// An eventfd tripped by the thread's stop callback, so a stop wakes poll.
class WakeFd {
 public:
  WakeFd() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~WakeFd() {
    if (fd_ >= 0) close(fd_);
  }
  WakeFd(const WakeFd&) = delete;
  WakeFd& operator=(const WakeFd&) = delete;

  int Fd() const { return fd_; }
  void Trip() const {
    if (fd_ >= 0) {
      std::uint64_t one = 1;
      [[maybe_unused]] ssize_t r = write(fd_, &one, sizeof one);
    }
  }

 private:
  int fd_;
};

bool OnMainThread() { return gettid() == getpid(); }

int ToPollTimeout(std::chrono::nanoseconds left, std::chrono::milliseconds cap) {
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left);
  return static_cast<int>(std::clamp<std::chrono::milliseconds>(ms, 0ms, cap).count());
}

// The last resort when poll itself fails: sleep in slices on a condition
// variable that the stop token wakes, dispatching messages in between.
void SleepUntil(Clock& clock, Clock::SteadyTime due) {
  std::mutex mutex;
  std::condition_variable_any cv;
  for (;;) {
    CheckEnd();
    ProcessEvents();
    auto left = due - clock.SteadyNow();
    if (left <= 0ns) return;
    std::unique_lock lock(mutex);
    cv.wait_for(lock, CurrentStopToken(), std::min<std::chrono::nanoseconds>(left, kPumpSlice),
                [] { return false; });
  }
}

}  // namespace

void Delay(std::chrono::nanoseconds interval) {
  CheckEnd();
  if (interval <= 0ns) return;

  Clock& clock = TheClock();
  const Clock::SteadyTime due = clock.SteadyNow() + interval;
  WakeFd wake;
  std::stop_callback onStop(CurrentStopToken(), [&wake] { wake.Trip(); });
  std::unique_ptr<Timer> timer = clock.StartTimer(interval);
  const int messageFd = MessageFd();

  // Without a timer the deadline is watched by poll's time-out; without a
  // descriptor for the stop, or on the main thread, the wait is sliced.
  std::chrono::milliseconds slice = std::chrono::milliseconds::max();
  if (OnMainThread()) slice = kPumpSlice;
  if (wake.Fd() < 0 && messageFd < 0)
    slice = std::min<std::chrono::milliseconds>(slice, kBlindSlice);
  if (!timer) slice = std::min<std::chrono::milliseconds>(slice, 24h);

  for (;;) {
    CheckEnd();
    auto left = due - clock.SteadyNow();
    if (!timer && left <= 0ns) return;

    pollfd fds[3];
    nfds_t count = 0;
    int timerIndex = -1, messageIndex = -1;
    if (timer) {
      timerIndex = static_cast<int>(count);
      fds[count++] = {timer->Fd(), POLLIN, 0};
    }
    if (messageFd >= 0) {
      messageIndex = static_cast<int>(count);
      fds[count++] = {messageFd, POLLIN, 0};
    }
    if (wake.Fd() >= 0) fds[count++] = {wake.Fd(), POLLIN, 0};

    int timeout = -1;
    if (slice != std::chrono::milliseconds::max()) {
      timeout = timer ? static_cast<int>(slice.count()) : ToPollTimeout(left, slice);
    }
    int ready = poll(fds, count, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      SleepUntil(clock, due);
      return;
    }
    CheckEnd();
    // The timer wins over waiting messages: they stay queued for the
    // thread's next dispatch, as a message-aware wait reports the timer
    // first.
    if (timerIndex >= 0 && (fds[timerIndex].revents & POLLIN)) return;
    if (timerIndex >= 0 && (fds[timerIndex].revents & (POLLERR | POLLHUP | POLLNVAL))) {
      // A broken timer: from now on poll's time-out watches the deadline.
      timer.reset();
      slice = std::min<std::chrono::milliseconds>(slice, 24h);
      continue;
    }
    if (ready == 0 || (messageIndex >= 0 && fds[messageIndex].revents)) ProcessEvents();
  }
}

}  // namespace platform
