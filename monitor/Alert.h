#pragma once
// The alert: the window on top, the sound looping, a line in the alert log,
// the status text, and the labels flashing until the worker is ended.

#include <string_view>

// Runs the whole alert for `direction` (gbk::kUp or gbk::kDown). Never
// returns normally: it leaves only by platform::ThreadEnded when the worker
// is ended.
[[noreturn]] void RaiseAlert(std::string_view direction);

// Adds one line for the current window contents at the top of Warning.txt in
// the run directory. A log that cannot be written gets no line, and nothing
// is reported.
void AppendAlertLog();

// Flashes the labels of `direction` once a second: gbk::kUp the rise label
// and the price in red, any other direction the fall label and the price in
// green. Never returns normally.
[[noreturn]] void FlashAlertLabels(std::string_view direction);
