#pragma once
// The worker's wait: sleeps for a time while the thread's messages keep
// being dispatched.

#include <cstdint>

// Units of the interval.
inline constexpr std::int32_t kDelayMilliseconds = 0;
inline constexpr std::int32_t kDelaySeconds = 1;
inline constexpr std::int32_t kDelayMinutes = 2;
inline constexpr std::int32_t kDelayHours = 3;

// The due time of a delay: 100-nanosecond steps, negative for a time from
// now; 0 or positive when the delay is already over. An unknown unit gives 0.
std::int64_t DelayDueTime(std::int32_t interval, std::int32_t unit);

// Waits `interval` units on the calling thread, dispatching the thread's
// messages as they come. An interval of 0 or less returns at once. Always
// true. When the calling worker's end is requested it throws
// platform::ThreadEnded at once, as every platform call of an ended worker
// does, so the worker unwinds.
bool PumpingDelay(std::int32_t interval, std::int32_t unit);
