#pragma once
// The clock: the local date and time for the alert log, steady time for
// measuring, and one-shot timers for delays. Injectable, so a test can drive
// a two-minute delay or a second of flashing without waiting.

#include <chrono>
#include <memory>

#include "platform/text/Text.h"

namespace platform {

// A one-shot timer. Its file descriptor polls readable once the timer has
// fired; the descriptor belongs to the timer and is closed with it.
class Timer {
 public:
  virtual ~Timer() = default;
  virtual int Fd() const = 0;
};

class Clock {
 public:
  using SteadyTime = std::chrono::steady_clock::time_point;

  virtual ~Clock() = default;
  // The local date and time, to the second.
  virtual text::DateTime LocalNow() = 0;
  // A monotonic time for measuring intervals.
  virtual SteadyTime SteadyNow() = 0;
  // A timer that fires `after` from now on this clock; nullptr when none can
  // be made.
  virtual std::unique_ptr<Timer> StartTimer(std::chrono::nanoseconds after) = 0;
};

// The clock in use: the system's until another is installed.
Clock& TheClock();
// Installs `clock` (not owned; nullptr restores the system's).
void InstallClock(Clock* clock);

}  // namespace platform
