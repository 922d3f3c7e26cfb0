#pragma once
// Threads with a cooperative end.
//
// A worker is started with StartThread and ended with EndThread. Ending is a
// request, not a kill: it trips the worker's stop token, which wakes every
// wait the worker may be in (a delay, a message box, a network request, a
// running script), and from then on every platform call of that worker does
// nothing visible and throws ThreadEnded, which unwinds the worker back to
// its start routine. Nothing is left half done: locks are released and files
// are closed by the unwinding itself.
//
// Code in C callbacks (libcurl, Duktape) must never let ThreadEnded escape
// through C frames: such code checks EndRequested() and returns an error to
// the library, and the caller throws once the library has returned.

#include <chrono>
#include <cstdint>
#include <functional>
#include <stop_token>

namespace platform {

// Thrown on a worker whose end was requested. Deliberately not derived from
// std::exception, so a generic handler does not swallow it.
struct ThreadEnded {};

using ThreadHandle = std::uint64_t;  // 0: none. Handles are never reused.

// Starts `routine` on a new thread at once. Returns 0 when the thread could
// not be created.
ThreadHandle StartThread(std::function<void()> routine);

// Requests the end of thread `h`. Returns at once. When `h` is the calling
// thread, throws ThreadEnded so the caller leaves right after. An unknown or
// finished handle is ignored.
void EndThread(ThreadHandle h);

// Waits up to `timeout` for thread `h` to finish; true when it has (or when
// there is no such thread). A finished thread's resources are released.
bool JoinThread(ThreadHandle h, std::chrono::milliseconds timeout);

// Requests the end of every thread started here and joins them, waiting up to
// `timeout` in all. Used before the window toolkit is torn down. Returns the
// number of threads still running afterwards.
int EndAllThreads(std::chrono::milliseconds timeout);

// The calling thread's handle. Threads not started here (the main thread)
// get one on first use too; their end is never requested.
ThreadHandle CurrentThread();

// True once the end of the calling thread was requested.
bool EndRequested();
// Throws ThreadEnded when the end of the calling thread was requested.
void CheckEnd();
// The calling thread's stop token; waits register a std::stop_callback on it.
std::stop_token CurrentStopToken();
// The stop token of thread `h` (a token that never stops for an unknown one).
std::stop_token StopTokenOf(ThreadHandle h);

// Per-thread messages. A message is a function run on the target thread when
// that thread processes its events (ProcessEvents, or inside a delay). The
// messages of a thread whose end was requested are dropped.
bool PostThreadMessage(ThreadHandle h, std::function<void()> message);

// Dispatches the calling thread's waiting messages and returns when the queue
// is empty. On the main thread it also runs the pump set below.
void ProcessEvents();

// A file descriptor that polls readable while the calling thread has
// messages waiting. Owned by the thread's context; valid for its lifetime.
int MessageFd();

// The window toolkit's own event processing, run by ProcessEvents on the
// thread that sets it.
void SetThreadEventPump(std::function<void()> pump);

}  // namespace platform
