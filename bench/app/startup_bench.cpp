// Start-up of the real program under a private Xvfb + openbox: time from
// launch until the welcome box is mapped, from OK until the main window is
// mapped, and the idle resident memory with the window up.

#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "tests/ui/XSession.h"

namespace {

using Clock = std::chrono::steady_clock;

class X {
 public:
  X() : c_(xcb_connect(nullptr, nullptr)) {
    root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
    clients_ = Atom("_NET_CLIENT_LIST");
    name_ = Atom("_NET_WM_NAME");
    utf8_ = Atom("UTF8_STRING");
  }
  ~X() { xcb_disconnect(c_); }

  // A viewable managed window with this exact name.
  bool Mapped(const std::string& wanted) {
    auto* list = xcb_get_property_reply(
        c_, xcb_get_property(c_, 0, root_, clients_, XCB_ATOM_WINDOW, 0, 1024), nullptr);
    if (!list) return false;
    bool found = false;
    auto* ids = static_cast<xcb_window_t*>(xcb_get_property_value(list));
    int n = xcb_get_property_value_length(list) / 4;
    for (int i = 0; i < n && !found; ++i) {
      auto* name = xcb_get_property_reply(c_, xcb_get_property(c_, 0, ids[i], name_, utf8_, 0, 256),
                                          nullptr);
      if (name) {
        std::string text(static_cast<const char*>(xcb_get_property_value(name)),
                         static_cast<std::size_t>(xcb_get_property_value_length(name)));
        std::free(name);
        if (text == wanted) {
          auto* attrs =
              xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, ids[i]), nullptr);
          found = attrs && attrs->map_state == XCB_MAP_STATE_VIEWABLE;
          std::free(attrs);
        }
      }
    }
    std::free(list);
    return found;
  }

 private:
  xcb_atom_t Atom(const char* n) {
    auto* r = xcb_intern_atom_reply(
        c_, xcb_intern_atom(c_, 0, static_cast<std::uint16_t>(std::strlen(n)), n), nullptr);
    xcb_atom_t a = r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(r);
    return a;
  }
  xcb_connection_t* c_;
  xcb_window_t root_;
  xcb_atom_t clients_, name_, utf8_;
};

// Waits (polling every 0.5 ms) until `name` is mapped; the time it took.
std::optional<double> WaitMapped(X& x, const std::string& name, Clock::time_point from) {
  auto deadline = from + std::chrono::seconds(20);
  while (Clock::now() < deadline) {
    if (x.Mapped(name)) return std::chrono::duration<double>(Clock::now() - from).count();
    usleep(500);
  }
  return std::nullopt;
}

long RssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

void BM_Startup(benchmark::State& state) {
  static testing_x::XSession session;
  if (!session.ok()) {
    state.SkipWithError(("no X session: " + session.reason()).c_str());
    return;
  }
  const char* run = std::getenv("ZANTREL_RUN_DIR");
  std::string exe = std::string(run ? run : ".") + "/zantrel";
  X x;
  double box = 0, window = 0, rss = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
      execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    auto boxTime = WaitMapped(x, "信息", start);
    auto okAt = Clock::now();  // includes starting xdotool (a few ms)
    testing_x::Shell("xdotool key Return");
    auto windowTime = WaitMapped(x, "Zantrel", okAt);
    state.SetIterationTime(boxTime.value_or(0));
    if (!boxTime || !windowTime) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      state.SkipWithError("the program did not show its windows");
      return;
    }
    usleep(1000 * 1000);  // idle
    box += *boxTime;
    window += *windowTime;
    rss += static_cast<double>(RssKb(pid));
    testing_x::Shell("xdotool key Escape");
    int status = 0;
    for (int i = 0; i < 500 && waitpid(pid, &status, WNOHANG) != pid; ++i) usleep(10000);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  double n = static_cast<double>(state.iterations());
  state.counters["box_ms"] = 1000 * box / n;
  state.counters["ok_to_window_ms"] = 1000 * window / n;
  state.counters["idle_rss_MB"] = rss / n / 1024;
}
BENCHMARK(BM_Startup)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
