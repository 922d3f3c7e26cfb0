// The window services on Qt, offscreen: property meanings, and calls made
// from worker threads (carried to the window thread, never hanging a stopped
// worker, dropping what a stopped worker still sends).

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QWindow>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/sys/RunDir.h"
#include "platform/thread/Thread.h"
#include "platform/ui/Application.h"
#include "platform/ui/StatusBar.h"
#include "platform/ui/Ui.h"
#include "tests/ui/PumpUntil.h"

namespace {

using namespace std::chrono_literals;
using platform::TheUi;

QString U(const char* utf8) { return QString::fromUtf8(utf8); }
text::Text G(const char* utf8) { return text::FromUtf8(utf8); }

using testing_ui::PumpUntil;

bool Finished(platform::ThreadHandle h) { return platform::JoinThread(h, 0ms); }

QMessageBox* OpenBox() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) return box;
  }
  return nullptr;
}

class QtUiTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    app_ = new platform::Application;
    platform::WindowDesc desc;
    desc.name = "win";
    desc.caption = "Caption";
    desc.outerWidth = 300;
    desc.outerHeight = 200;
    auto control = [](std::string_view name, platform::ControlKind kind, int y) {
      platform::ControlDesc c;
      c.name = name;
      c.kind = kind;
      c.x = 10;
      c.y = y;
      c.width = 100;
      c.height = 20;
      return c;
    };
    auto label = control("label", platform::ControlKind::kLabel, 10);
    auto edit = control("edit", platform::ControlKind::kEditBox, 40);
    auto combo = control("combo", platform::ControlKind::kComboBox, 70);
    combo.items = {"a", "b", "c"};
    auto button = control("button", platform::ControlKind::kPushButton, 100);
    button.onClick = [] { ++clicks_; };
    auto status = control("status", platform::ControlKind::kStatusBar, 0);
    status.partWidths = {30, 40};
    status.items = {"s0", "s1"};
    desc.controls = {label, edit, combo, button, status};
    ASSERT_TRUE(app_->LoadWindow(desc));
  }
  static void TearDownTestSuite() {
    delete app_;
    app_ = nullptr;
  }
  void SetUp() override {
    window_ = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (w->objectName() == "win") window_ = w;
    }
    ASSERT_NE(window_, nullptr);
  }

  template <class T>
  T* Get(const char* name) {
    return window_->findChild<T*>(name);
  }

  static inline platform::Application* app_ = nullptr;
  static inline std::atomic<int> clicks_{0};
  QWidget* window_ = nullptr;
};

TEST_F(QtUiTest, CaptionsAndTextsConvertAtTheBoundary) {
  struct Row {
    const char* control;
    int property;
  };
  for (Row row : {Row{"win", 8}, Row{"label", 8}, Row{"edit", 8}, Row{"button", 10}}) {
    SCOPED_TRACE(row.control);
    TheUi().SetText(row.control, row.property, G("价格 1.5"));
    EXPECT_EQ(TheUi().GetText(row.control, row.property), G("价格 1.5"));
  }
  EXPECT_EQ(window_->windowTitle(), U("价格 1.5"));
  EXPECT_EQ(Get<QLabel>("label")->text(), U("价格 1.5"));
  EXPECT_EQ(Get<QLineEdit>("edit")->text(), U("价格 1.5"));
  EXPECT_EQ(Get<QPushButton>("button")->text(), U("价格 1.5"));
  // Unknown controls and properties read empty and ignore writes.
  TheUi().SetText("nosuch", 8, "x");
  EXPECT_EQ(TheUi().GetText("nosuch", 8), "");
  EXPECT_EQ(TheUi().GetText("label", 99), "");
}

TEST_F(QtUiTest, LabelBackgroundColour) {
  auto* label = Get<QLabel>("label");
  EXPECT_EQ(TheUi().GetInt("label", 17), 0xFF000000);
  struct Row {
    std::int64_t value;
    bool filled;
    QColor colour;
  };
  const QColor face = window_->palette().color(QPalette::Window);
  for (Row row : {Row{255, true, QColor(255, 0, 0)}, Row{65280, true, QColor(0, 255, 0)},
                  Row{0x00FF8040, true, QColor(0x40, 0x80, 0xFF)}, Row{0xFF000000, false, face}}) {
    SCOPED_TRACE(row.value);
    TheUi().SetInt("label", 17, row.value);
    EXPECT_EQ(TheUi().GetInt("label", 17), row.value);
    EXPECT_EQ(label->autoFillBackground(), row.filled);
    EXPECT_EQ(label->palette().color(QPalette::Window), row.colour);
  }
}

TEST_F(QtUiTest, ComboSelectionIsHeldToTheItems) {
  auto* combo = Get<QComboBox>("combo");
  struct Row {
    std::int64_t written, read;
    const char* shown;
  };
  for (Row row : {Row{1, 1, "b"}, Row{2, 2, "c"}, Row{7, 2, "c"}, Row{0, 0, "a"}, Row{-1, -1, ""},
                  Row{-9, -1, ""}}) {
    SCOPED_TRACE(row.written);
    TheUi().SetInt("combo", 19, row.written);
    EXPECT_EQ(TheUi().GetInt("combo", 19), row.read);
    EXPECT_EQ(combo->currentText(), U(row.shown));
  }
  for (auto [index, item] : {std::pair{-1, ""}, {0, "a"}, {2, "c"}, {3, ""}}) {
    EXPECT_EQ(TheUi().ComboItemText("combo", index), item) << index;
  }
}

TEST_F(QtUiTest, StatusPartsFromZeroOthersIgnored) {
  auto* bar = window_->findChild<platform::StatusBar*>("status");
  ASSERT_NE(bar, nullptr);
  TheUi().SetStatusText("status", 1, G("就绪"));
  TheUi().SetStatusText("status", 2, "x");
  TheUi().SetStatusText("status", -1, "x");
  EXPECT_EQ(bar->PartText(0), "s0");
  EXPECT_EQ(bar->PartText(1), U("就绪"));
  EXPECT_EQ(bar->PartCount(), 2);
}

TEST_F(QtUiTest, WindowStatesReadBackWithoutMovingTheWindow) {
  const QRect before = window_->geometry();
  QWindow* handle = window_->windowHandle();
  ASSERT_NE(handle, nullptr);
  for (int property : {29, 30}) {
    SCOPED_TRACE(property);
    EXPECT_EQ(TheUi().GetInt("win", property), 0);
    TheUi().SetInt("win", property, 5);
    EXPECT_EQ(TheUi().GetInt("win", property), 1);
    if (property == 29) {
      EXPECT_TRUE(handle->flags().testFlag(Qt::WindowStaysOnTopHint));
    }
    TheUi().SetInt("win", property, 0);
    EXPECT_EQ(TheUi().GetInt("win", property), 0);
    EXPECT_FALSE(handle->flags().testFlag(Qt::WindowStaysOnTopHint));
  }
  EXPECT_EQ(window_->windowHandle(), handle);  // the same native window
  EXPECT_EQ(window_->geometry(), before);
}

TEST_F(QtUiTest, WorkerWritesAndReadsThroughTheWindowThread) {
  TheUi().SetInt("combo", 19, -1);
  struct Seen {
    text::Text label, item;
    std::int64_t selection = 0, colour = 0;
    bool done = false;
  };
  auto seen = std::make_shared<Seen>();
  auto worker = platform::StartThread([seen] {
    auto& ui = TheUi();
    ui.SetText("label", 8, G("来自工作线程"));
    ui.SetInt("combo", 19, 2);
    ui.SetInt("label", 17, 255);
    ui.SetStatusText("status", 1, G("正在预警..."));
    seen->label = ui.GetText("label", 8);
    seen->selection = ui.GetInt("combo", 19);
    seen->colour = ui.GetInt("label", 17);
    seen->item = ui.ComboItemText("combo", seen->selection);
    seen->done = true;
  });
  ASSERT_NE(worker, 0u);
  ASSERT_TRUE(PumpUntil([&] { return Finished(worker); }));
  EXPECT_TRUE(seen->done);
  EXPECT_EQ(seen->label, G("来自工作线程"));
  EXPECT_EQ(seen->selection, 2);
  EXPECT_EQ(seen->colour, 255);
  EXPECT_EQ(seen->item, "c");
  EXPECT_EQ(Get<QLabel>("label")->text(), U("来自工作线程"));
  EXPECT_EQ(window_->findChild<platform::StatusBar*>("status")->PartText(1), U("正在预警..."));
  TheUi().SetInt("label", 17, 0xFF000000);
}

// The window thread is busy (not pumping) while a worker waits for it; ending
// the worker must free it at once, and its write must never land.
TEST_F(QtUiTest, EndedWorkerLeavesItsWaitAndItsWriteIsDropped) {
  TheUi().SetText("label", 8, "before");
  std::atomic<bool> calling{false}, returned{false};
  auto worker = platform::StartThread([&] {
    calling = true;
    TheUi().SetText("label", 8, "late");
    returned = true;
  });
  while (!calling) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(50ms);  // the call is queued and waiting
  platform::EndThread(worker);
  EXPECT_TRUE(platform::JoinThread(worker, 2s));
  EXPECT_FALSE(returned);
  QCoreApplication::processEvents();
  QCoreApplication::processEvents();
  EXPECT_EQ(Get<QLabel>("label")->text(), "before");
}

TEST_F(QtUiTest, CallsOfAnEndedWorkerThrowAndDoNothing) {
  std::atomic<bool> started{false}, ended{false};
  std::atomic<int> threw{0};
  auto worker = platform::StartThread([&] {
    started = true;
    while (!ended) std::this_thread::sleep_for(1ms);
    auto attempt = [&](auto call) {
      try {
        call();
      } catch (const platform::ThreadEnded&) {
        ++threw;
      }
    };
    attempt([] { TheUi().SetText("label", 8, "ended"); });
    attempt([] { TheUi().SetInt("label", 17, 255); });
    attempt([] { TheUi().GetText("label", 8); });
    attempt([] { TheUi().MessageBox("ended", 0, {}); });
  });
  TheUi().SetText("label", 8, "before");
  while (!started) std::this_thread::sleep_for(1ms);
  platform::EndThread(worker);
  ended = true;
  ASSERT_TRUE(platform::JoinThread(worker, 2s));
  QCoreApplication::processEvents();
  EXPECT_EQ(threw, 4);
  EXPECT_EQ(Get<QLabel>("label")->text(), "before");
  EXPECT_EQ(Get<QLabel>("label")->autoFillBackground(), false);
  EXPECT_EQ(OpenBox(), nullptr);
}

TEST_F(QtUiTest, WorkerMessageBoxAnsweredByTheUser) {
  std::atomic<int> result{0};
  auto worker =
      platform::StartThread([&] { result = TheUi().MessageBox(G("货币对填写错误！"), 0, {}); });
  QMessageBox* box = nullptr;
  ASSERT_TRUE(PumpUntil([&] { return (box = OpenBox()) != nullptr; }));
  EXPECT_EQ(box->windowTitle(), U("信息："));
  EXPECT_EQ(box->text(), U("货币对填写错误！"));
  EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
  box->button(QMessageBox::Ok)->click();
  ASSERT_TRUE(PumpUntil([&] { return Finished(worker); }));
  EXPECT_EQ(result, 1);
  EXPECT_TRUE(PumpUntil([] { return OpenBox() == nullptr; }));
}

TEST_F(QtUiTest, WorkerMessageBoxKeepsTheWindowResponsiveAndGoesWithItsWorker) {
  std::atomic<bool> returned{false};
  auto worker = platform::StartThread([&] {
    TheUi().MessageBox("box", 64, G("标题"));
    returned = true;
  });
  QMessageBox* box = nullptr;
  ASSERT_TRUE(PumpUntil([&] { return (box = OpenBox()) != nullptr; }));
  EXPECT_EQ(box->windowTitle(), U("标题"));
  EXPECT_EQ(box->windowModality(), Qt::NonModal);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

  // The window still takes clicks, and another worker is still served.
  int before = clicks_;
  QTest::mouseClick(Get<QPushButton>("button"), Qt::LeftButton);
  EXPECT_EQ(clicks_, before + 1);
  auto other = platform::StartThread([] { TheUi().SetText("edit", 8, "served"); });
  ASSERT_TRUE(PumpUntil([&] { return Finished(other); }));
  EXPECT_EQ(Get<QLineEdit>("edit")->text(), "served");

  platform::EndThread(worker);
  EXPECT_TRUE(platform::JoinThread(worker, 2s));
  EXPECT_FALSE(returned);
  EXPECT_TRUE(PumpUntil([] { return OpenBox() == nullptr; }));
}

}  // namespace

namespace {

// Ending the program while a worker still writes to the window: the worker
// is stopped and joined before the toolkit goes, and the run directory was
// the current directory all along.
TEST(ApplicationLifetime, EntersTheRunDirectoryAndJoinsWorkersAtExit) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const std::string runDir = testing::TempDir() + "zantrel-rundir";
  std::filesystem::create_directories(runDir);
  platform::OverrideRunDirectory(runDir);
  auto app = std::make_unique<platform::Application>();
  EXPECT_EQ(std::filesystem::current_path(), std::filesystem::canonical(runDir));
  platform::OverrideRunDirectory("");

  platform::WindowDesc desc;
  desc.name = "exitwin";
  desc.outerWidth = 100;
  desc.outerHeight = 100;
  platform::ControlDesc label;
  label.name = "exitlabel";
  label.kind = platform::ControlKind::kLabel;
  desc.controls = {label};
  ASSERT_TRUE(app->LoadWindow(desc));
  std::atomic<int> writes{0};
  auto worker = platform::StartThread([&] {
    for (int n = 0;; ++n) {
      platform::TheUi().SetText("exitlabel", 8, std::to_string(n));
      ++writes;
    }
  });
  ASSERT_TRUE(PumpUntil([&] { return writes > 20; }));
  auto start = std::chrono::steady_clock::now();
  app.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(platform::JoinThread(worker, 0ms));
}

}  // namespace
