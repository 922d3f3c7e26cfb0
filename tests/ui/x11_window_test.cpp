// Window states on a real X server with a window manager: always-on-top and
// keep-title-active change the window manager's state of the same window,
// without moving, resizing or activating it.

#include <gtest/gtest.h>

#include <QApplication>
#include <QWidget>
#include <cstdlib>
#include <thread>

#include "platform/thread/Thread.h"
#include "platform/ui/Application.h"
#include "platform/ui/Ui.h"
#include "tests/ui/PumpUntil.h"
#include "tests/ui/XSession.h"

namespace {

using namespace std::chrono_literals;
using testing_x::Shell;
using testing_x::XSession;

using testing_ui::PumpUntil;

std::string WmState(unsigned long w) {
  return Shell("xprop -id " + std::to_string(w) + " _NET_WM_STATE");
}
std::string Placement(unsigned long w) {
  std::string info = Shell("xwininfo -id " + std::to_string(w));
  auto at = info.find("Absolute upper-left X");
  auto end = info.find("Depth");
  return info.substr(at, end - at);
}
std::string Active() { return Shell("xdotool getactivewindow 2>/dev/null"); }

TEST(X11Window, StatesChangeOnTheSameWindowInPlace) {
  XSession x;
  if (!x.ok()) GTEST_SKIP() << "no X test session: " << x.reason();
  unsetenv("QT_QPA_PLATFORM");
  platform::Application app;
  platform::WindowDesc desc;
  desc.name = "win";
  desc.caption = "StateWindow";
  desc.outerWidth = 240;
  desc.outerHeight = 120;
  ASSERT_TRUE(app.LoadWindow(desc));
  unsigned long w = 0;
  ASSERT_TRUE(PumpUntil([&] { return (w = testing_x::VisibleWindow("StateWindow")) != 0; }));
  ASSERT_TRUE(PumpUntil([&] { return Active().find(std::to_string(w)) != std::string::npos; }))
      << "the new window was not activated";
  const std::string placement = Placement(w);

  // Always on top, written from a worker as the alert does.
  auto on =
      platform::StartThread([] { platform::TheUi().SetInt("win", platform::kPropAlwaysOnTop, 1); });
  ASSERT_TRUE(PumpUntil([&] { return platform::JoinThread(on, 0ms); }));
  EXPECT_EQ(platform::TheUi().GetInt("win", platform::kPropAlwaysOnTop), 1);
  EXPECT_TRUE(PumpUntil([&] {
    return WmState(w).find("_NET_WM_STATE_ABOVE") != std::string::npos;
  })) << WmState(w);
  EXPECT_EQ(testing_x::VisibleWindow("StateWindow"), w) << "a new window was made";
  EXPECT_EQ(Placement(w), placement);
  EXPECT_NE(Active().find(std::to_string(w)), std::string::npos) << "focus moved";
  platform::TheUi().SetInt("win", platform::kPropAlwaysOnTop, 0);
  EXPECT_EQ(platform::TheUi().GetInt("win", platform::kPropAlwaysOnTop), 0);
  EXPECT_TRUE(PumpUntil([&] {
    return WmState(w).find("_NET_WM_STATE_ABOVE") == std::string::npos;
  })) << WmState(w);
  EXPECT_EQ(Placement(w), placement);

  // Keep the title active: shown once the window is no longer the active one.
  platform::TheUi().SetInt("win", platform::kPropKeepTitleActive, 1);
  EXPECT_EQ(platform::TheUi().GetInt("win", platform::kPropKeepTitleActive), 1);
  QWidget other;
  other.setWindowTitle("OtherWindow");
  other.resize(100, 50);
  other.show();
  unsigned long o = 0;
  ASSERT_TRUE(PumpUntil([&] { return (o = testing_x::VisibleWindow("OtherWindow")) != 0; }));
  Shell("xdotool windowactivate " + std::to_string(o));
  EXPECT_TRUE(PumpUntil([&] {
    return WmState(w).find("_NET_WM_STATE_DEMANDS_ATTENTION") != std::string::npos;
  })) << WmState(w);
  EXPECT_EQ(Placement(w), placement);
  platform::TheUi().SetInt("win", platform::kPropKeepTitleActive, 0);
  EXPECT_EQ(platform::TheUi().GetInt("win", platform::kPropKeepTitleActive), 0);
  EXPECT_TRUE(PumpUntil([&] {
    return WmState(w).find("_NET_WM_STATE_DEMANDS_ATTENTION") == std::string::npos;
  })) << WmState(w);
}

}  // namespace
