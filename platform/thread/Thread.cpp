#include "platform/thread/Thread.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace platform {
namespace {

struct Context {
  ThreadHandle handle = 0;
  std::stop_source stop;
  bool stoppable = false;  // only threads started here can be ended

  std::mutex mutex;
  std::condition_variable finishedCv;
  bool finished = false;
  std::deque<std::function<void()>> messages;
  std::function<void()> pump;
  int eventFd = -1;
  std::thread thread;

  Context() : eventFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~Context() {
    if (eventFd >= 0) close(eventFd);
  }

  void Signal() {
    if (eventFd >= 0) {
      std::uint64_t one = 1;
      [[maybe_unused]] ssize_t r = write(eventFd, &one, sizeof one);
    }
  }
  void Drain() {
    if (eventFd >= 0) {
      std::uint64_t value;
      [[maybe_unused]] ssize_t r = read(eventFd, &value, sizeof value);
    }
  }
};

struct Registry {
  std::mutex mutex;
  ThreadHandle next = 1;
  std::map<ThreadHandle, std::shared_ptr<Context>> contexts;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // outlives every thread
  return *registry;
}

thread_local std::shared_ptr<Context> tCurrent;

std::shared_ptr<Context> Find(ThreadHandle h) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  auto it = r.contexts.find(h);
  return it == r.contexts.end() ? nullptr : it->second;
}

Context& Current() {
  if (!tCurrent) {
    auto ctx = std::make_shared<Context>();
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    ctx->handle = r.next++;
    r.contexts[ctx->handle] = ctx;
    tCurrent = ctx;
  }
  return *tCurrent;
}

// Joins and forgets the started threads that have finished.
void ReapFinished() {
  std::vector<std::shared_ptr<Context>> done;
  {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    for (auto it = r.contexts.begin(); it != r.contexts.end();) {
      std::lock_guard ctxLock(it->second->mutex);
      if (it->second->stoppable && it->second->finished) {
        done.push_back(it->second);
        it = r.contexts.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& ctx : done) {
    if (ctx->thread.joinable()) ctx->thread.join();
  }
}

}  // namespace

ThreadHandle StartThread(std::function<void()> routine) {
  ReapFinished();
  auto ctx = std::make_shared<Context>();
  ctx->stoppable = true;
  {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    ctx->handle = r.next++;
    r.contexts[ctx->handle] = ctx;
  }
  try {
    ctx->thread = std::thread([ctx, routine = std::move(routine)] {
      tCurrent = ctx;
      try {
        if (!ctx->stop.stop_requested()) routine();
      } catch (const ThreadEnded&) {
        // The requested end: the worker has unwound.
      } catch (const std::exception&) {
        // A worker has no one to report to; it ends quietly.
      }
      {
        std::lock_guard lock(ctx->mutex);
        ctx->messages.clear();
        ctx->finished = true;
      }
      ctx->finishedCv.notify_all();
      tCurrent.reset();
    });
  } catch (const std::system_error&) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    r.contexts.erase(ctx->handle);
    return 0;
  }
  return ctx->handle;
}

void EndThread(ThreadHandle h) {
  auto ctx = Find(h);
  if (!ctx || !ctx->stoppable) return;
  ctx->stop.request_stop();
  ctx->Signal();
  if (tCurrent && tCurrent->handle == h) throw ThreadEnded{};
}

bool JoinThread(ThreadHandle h, std::chrono::milliseconds timeout) {
  auto ctx = Find(h);
  if (!ctx || !ctx->stoppable) return true;
  if (tCurrent && tCurrent->handle == h) return false;  // a thread cannot join itself
  {
    std::unique_lock lock(ctx->mutex);
    if (!ctx->finishedCv.wait_for(lock, timeout, [&] { return ctx->finished; })) return false;
  }
  ReapFinished();
  return true;
}

int EndAllThreads(std::chrono::milliseconds timeout) {
  std::vector<std::shared_ptr<Context>> all;
  {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    for (auto& [h, ctx] : r.contexts) {
      if (ctx->stoppable && ctx.get() != tCurrent.get()) all.push_back(ctx);
    }
  }
  for (auto& ctx : all) {
    ctx->stop.request_stop();
    ctx->Signal();
  }
  auto deadline = std::chrono::steady_clock::now() + timeout;
  int running = 0;
  for (auto& ctx : all) {
    std::unique_lock lock(ctx->mutex);
    if (!ctx->finishedCv.wait_until(lock, deadline, [&] { return ctx->finished; })) ++running;
  }
  ReapFinished();
  return running;
}

ThreadHandle CurrentThread() { return Current().handle; }

bool EndRequested() { return tCurrent && tCurrent->stop.stop_requested(); }

void CheckEnd() {
  if (EndRequested()) throw ThreadEnded{};
}

std::stop_token CurrentStopToken() { return Current().stop.get_token(); }

std::stop_token StopTokenOf(ThreadHandle h) {
  auto ctx = Find(h);
  return ctx ? ctx->stop.get_token() : std::stop_token();
}

bool PostThreadMessage(ThreadHandle h, std::function<void()> message) {
  auto ctx = Find(h);
  if (!ctx) return false;
  {
    std::lock_guard lock(ctx->mutex);
    if (ctx->finished || ctx->stop.stop_requested()) return false;
    ctx->messages.push_back(std::move(message));
  }
  ctx->Signal();
  return true;
}

void ProcessEvents() {
  Context& ctx = Current();
  ctx.Drain();
  for (;;) {
    if (ctx.stop.stop_requested()) return;
    std::function<void()> message;
    {
      std::lock_guard lock(ctx.mutex);
      if (ctx.messages.empty()) break;
      message = std::move(ctx.messages.front());
      ctx.messages.pop_front();
    }
    message();
  }
  if (ctx.pump) ctx.pump();
}

int MessageFd() { return Current().eventFd; }

void SetThreadEventPump(std::function<void()> pump) { Current().pump = std::move(pump); }

}  // namespace platform
