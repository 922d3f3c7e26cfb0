// The real program on a real X server with a window manager: the welcome box
// first, the window after OK, where the window and its parts are drawn, and
// Esc ending the program.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "tests/ui/XSession.h"

namespace {

using namespace std::chrono_literals;
using testing_x::Shell;
using testing_x::VisibleWindow;
using testing_x::XSession;

struct Geometry {
  int x = 0, y = 0, width = 0, height = 0;       // client area, root coordinates
  int left = 0, right = 0, top = 0, bottom = 0;  // frame extents
};

int Field(const std::string& text, const std::string& label) {
  auto at = text.find(label);
  return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + label.size());
}

Geometry GeometryOf(unsigned long window) {
  std::string id = std::to_string(window);
  std::string info = Shell("xwininfo -id " + id);
  Geometry g{Field(info, "Absolute upper-left X:"), Field(info, "Absolute upper-left Y:"),
             Field(info, "Width:"), Field(info, "Height:")};
  std::string extents = Shell("xprop -id " + id + " _NET_FRAME_EXTENTS");
  auto eq = extents.find('=');
  if (eq != std::string::npos) {
    std::istringstream in(extents.substr(eq + 1));
    char comma;
    in >> g.left >> comma >> g.right >> comma >> g.top >> comma >> g.bottom;
  }
  return g;
}

std::string WmStateOf(unsigned long window) {
  return Shell("xprop -id " + std::to_string(window) + " _NET_WM_STATE");
}

// Dark pixels (text) inside a rectangle of the client area.
struct Ink {
  int count = 0, top = 1 << 30, bottom = -1;
};
Ink InkIn(const testing_x::Image& shot, const Geometry& g, int x, int y, int w, int h) {
  Ink ink;
  for (int row = y; row < y + h; ++row) {
    for (int col = x; col < x + w; ++col) {
      auto [r, gr, b] = shot.At(g.x + col, g.y + row);
      if (r < 100 && gr < 100 && b < 100) {
        ++ink.count;
        ink.top = std::min(ink.top, row);
        ink.bottom = std::max(ink.bottom, row);
      }
    }
  }
  return ink;
}

class Program {
 public:
  explicit Program(const std::string& exe) {
    pid_ = fork();
    if (pid_ == 0) {
      if (chdir("/") != 0) _exit(126);  // the program must find its files by itself
      execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Program() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  // The exit status once ended, or -1 if still running after `timeout`.
  int WaitExit(std::chrono::milliseconds timeout) {
    int status = 0;
    bool ended =
        XSession::WaitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout);
    if (!ended) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
};

TEST(ZantrelOnX, WelcomeBoxThenWindowAsLaidOutThenEscEnds) {
  XSession x;
  if (!x.ok()) GTEST_SKIP() << "no X test session: " << x.reason();
  const char* run = std::getenv("ZANTREL_RUN_DIR");
  ASSERT_NE(run, nullptr);
  Program program(std::string(run) + "/zantrel");

  unsigned long box = 0;
  ASSERT_TRUE(XSession::WaitFor([&] { return (box = VisibleWindow("信息")) != 0; }))
      << "no welcome box";
  EXPECT_EQ(VisibleWindow("Zantrel"), 0u) << "the window came before the box was closed";
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(VisibleWindow("Zantrel"), 0u);
  Shell("xdotool windowactivate --sync " + std::to_string(box) + " key Return");

  unsigned long window = 0;
  ASSERT_TRUE(XSession::WaitFor([&] { return (window = VisibleWindow("Zantrel")) != 0; }))
      << "no main window after OK";
  EXPECT_EQ(VisibleWindow("信息"), 0u);

  Geometry g = GeometryOf(window);
  EXPECT_EQ(g.width + g.left + g.right, 335);
  EXPECT_EQ(g.height + g.top + g.bottom, 173);
  EXPECT_GT(g.top, 0) << "openbox gives the window a title bar";
  EXPECT_NEAR(g.x - g.left, (1280 - 335) / 2, 1);
  EXPECT_NEAR(g.y - g.top, (1024 - 173) / 2, 1);

  // Fixed size, minimise but no maximise, as the window manager sees it.
  std::string actions = Shell("xprop -id " + std::to_string(window) + " _NET_WM_ALLOWED_ACTIONS");
  EXPECT_NE(actions.find("_NET_WM_ACTION_MINIMIZE"), std::string::npos) << actions;
  EXPECT_NE(actions.find("_NET_WM_ACTION_CLOSE"), std::string::npos) << actions;
  EXPECT_EQ(actions.find("_NET_WM_ACTION_RESIZE"), std::string::npos) << actions;
  EXPECT_EQ(actions.find("_NET_WM_ACTION_MAXIMIZE"), std::string::npos) << actions;
  EXPECT_EQ(WmStateOf(window).find("_NET_WM_STATE_ABOVE"), std::string::npos);

  std::this_thread::sleep_for(300ms);  // let it paint
  testing_x::Image shot = testing_x::Screenshot();
  ASSERT_GT(shot.width, 0) << "no screenshot";
  Shell("import -window " + std::to_string(window) + " zantrel-window.png 2>/dev/null");

  // "null" in the 29-pixel bold face, inside the price label's box.
  Ink price = InkIn(shot, g, 145, 8, 177, 46);
  EXPECT_GT(price.count, 150);
  EXPECT_GE(price.bottom - price.top, 18) << "the price label is not in its large face";
  // The status bar along the bottom: "状态：" in part 0, "就绪" in part 1.
  const int barTop = g.height - 22;
  EXPECT_GT(InkIn(shot, g, 2, barTop, 46, 22).count, 20);
  EXPECT_GT(InkIn(shot, g, 52, barTop, 60, 22).count, 20);
  EXPECT_EQ(InkIn(shot, g, 120, barTop, g.width - 120, 22).count, 0);
  // Above the bar, nothing is drawn right of the controls: no browser shows.
  EXPECT_EQ(InkIn(shot, g, 324, 0, g.width - 324, barTop).count, 0);
  // The labels on the left carry their captions.
  for (int y : {14, 41, 70, 98}) EXPECT_GT(InkIn(shot, g, 8, y, 42, 18).count, 10) << y;

  Shell("xdotool windowactivate --sync " + std::to_string(window) + " key Escape");
  EXPECT_EQ(program.WaitExit(10s), 0) << "Esc did not end the program";
}

}  // namespace
