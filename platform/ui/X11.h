#pragma once
// The few X11 requests that the toolkit does not make for us. All of them do
// nothing (or answer "unknown") when the program does not run on X11.

#include <chrono>
#include <cstdint>
#include <optional>

namespace platform::x11 {

bool Available();

struct FrameExtents {
  int left = 0, right = 0, top = 0, bottom = 0;
};

// The frame that the window manager will put around `window` (created, not
// necessarily mapped). Empty when there is no window manager or it does not
// answer within `timeout`.
std::optional<FrameExtents> QueryFrameExtents(std::uint32_t window,
                                              std::chrono::milliseconds timeout);

// Adds or removes an _NET_WM_STATE atom of a mapped window through the window
// manager, and flushes.
void SetNetWmState(std::uint32_t window, const char* stateAtom, bool on);

// Sends what the toolkit queued to the X server now.
void Flush();

}  // namespace platform::x11
