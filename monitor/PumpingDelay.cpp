#include "monitor/PumpingDelay.h"

#include <algorithm>
#include <chrono>

#include "platform/delay/Delay.h"

std::int64_t DelayDueTime(std::int32_t interval, std::int32_t unit) {
  double multiplier = 0;
  switch (unit) {
    case kDelayMilliseconds:
      multiplier = 1;
      break;
    case kDelaySeconds:
      multiplier = 1000;
      break;
    case kDelayMinutes:
      multiplier = 60000;
      break;
    case kDelayHours:
      multiplier = 3600000;
      break;
    default:
      break;
  }
  double due = static_cast<double>(interval) * multiplier * -10000.0;
  // A large interval in hours passes the 64-bit range; converting such a
  // double is undefined, so hold it to the range first.
  constexpr double kLimit = 9.0e18;
  if (due < -kLimit) due = -kLimit;
  if (due > kLimit) due = kLimit;
  return static_cast<std::int64_t>(due);
}

bool PumpingDelay(std::int32_t interval, std::int32_t unit) {
  std::int64_t due = DelayDueTime(interval, unit);
  // Beyond a century the wait is endless for every purpose; the cap keeps the
  // nanosecond arithmetic below in range.
  constexpr std::int64_t kCenturyIn100ns = 100LL * 36525 * 24 * 3600 * 10'000'000;
  std::int64_t steps = due < 0 ? std::min(-due, kCenturyIn100ns) : 0;
  platform::Delay(std::chrono::nanoseconds(steps * 100));
  return true;
}
