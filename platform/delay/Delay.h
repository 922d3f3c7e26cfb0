#pragma once
// A delay that keeps the calling thread's messages flowing.

#include <chrono>

namespace platform {

// Waits `interval` on the calling thread, timed by TheClock(). While it waits
// the thread sleeps; a message posted to the thread wakes it, is dispatched
// with ProcessEvents, and the wait goes on. An interval of 0 or less returns
// at once. When the calling worker's end is requested the delay throws
// ThreadEnded at once, as every platform call of an ended worker does.
//
// When no timer can be made, or the wait itself fails, the delay still ends
// after the interval, measured on TheClock()'s steady time.
//
// The main thread gets its toolkit events from ProcessEvents' pump, which no
// descriptor announces; a delay there wakes every 10 ms to run the pump.
void Delay(std::chrono::nanoseconds interval);

}  // namespace platform
