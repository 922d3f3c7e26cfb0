// The alert: its steps in order, the alert log's lines, and the flashing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "monitor/Alert.h"
#include "monitor/Controls.h"
#include "monitor/Globals.h"
#include "platform/clock/FakeClock.h"
#include "platform/files/Files.h"
#include "platform/sys/RunDir.h"
#include "platform/ui/FakeUi.h"
#include "tests/files/TempDir.h"

using namespace platform;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using text::FromUtf8;
using Write = FakeUi::Write;

namespace platform {
void PrintTo(const FakeUi::Write& w, std::ostream* os) {
  *os << "{" << w.control << " #" << w.property << " part " << w.part << " \""
      << text::ToUtf8(w.text) << "\" " << w.value << "}";
}
}  // namespace platform

namespace {

// "货币对：eos_usd----类型：币币交易----当前价格：$33.15----上涨至：40----下跌至：30----"
// "2024年3月5日9时7分5秒" in GBK, spelt out byte by byte.
const std::string kLine =
    "\xBB\xF5\xB1\xD2\xB6\xD4\xA3\xBA"
    "eos_usd----\xC0\xE0\xD0\xCD\xA3\xBA\xB1\xD2\xB1\xD2\xBD\xBB\xD2\xD7----\xB5\xB1\xC7\xB0\xBC"
    "\xDB\xB8\xF1\xA3\xBA$33.15----\xC9\xCF\xD5\xC7\xD6\xC1\xA3\xBA"
    "40----\xCF\xC2\xB5\xF8\xD6\xC1\xA3\xBA"
    "30----2024\xC4\xEA"
    "3\xD4\xC2"
    "5\xC8\xD5"
    "9\xCA\xB1"
    "7\xB7\xD6"
    "5\xC3\xEB";

class Alert : public ::testing::Test {
 protected:
  void SetUp() override {
    OverrideRunDirectory(dir.Path());
    InstallUi(&ui);
    InstallSound(&sound);
    InstallClock(&clock);
    AlertFlag = 0;
    ui.SetItems(controls::组合框_类型, {FromUtf8("币币交易"), "this_week", "next_week", "quarter"});
    ui.SetInt(controls::组合框_类型, kPropSelection, 0);
    ui.SetText(controls::编辑框_货币对, kPropCaption, "eos_usd");
    ui.SetText(controls::标签_实时价格, kPropCaption, "$33.15");
    ui.SetText(controls::编辑框_上涨至, kPropCaption, "40");
    ui.SetText(controls::编辑框_下跌至, kPropCaption, "30");
    ui.ClearWrites();
  }
  void TearDown() override {
    EXPECT_EQ(EndAllThreads(3s), 0);
    InstallClock(nullptr);
    InstallSound(nullptr);
    InstallUi(nullptr);
    OverrideRunDirectory("");
  }

  // Starts RaiseAlert (or another routine that never returns) on a worker
  // and waits until it sleeps in its first delay.
  ThreadHandle StartWaiting(std::function<void()> routine) {
    ThreadHandle h = StartThread(std::move(routine));
    EXPECT_NE(h, 0u);
    EXPECT_TRUE(clock.WaitForPendingTimers(1, 3s));
    return h;
  }

  // Lets the running delay's second pass and waits for the next delay.
  void NextSecond() {
    clock.Advance(1s);
    ASSERT_TRUE(clock.WaitForPendingTimers(1, 3s));
  }

  TempDir dir;
  std::string log = dir / "Warning.txt";
  FakeUi ui;
  FakeSound sound;
  FakeClock clock{{2024, 3, 5, 9, 7, 5}};
};

Write Colour(std::string_view label, std::int64_t value) {
  return {std::string(label), kPropBackColor, -1, {}, value};
}

}  // namespace

TEST_F(Alert, FirstLineCreatesTheLogWithTheExactBytes) {
  AppendAlertLog();
  EXPECT_EQ(ReadBytes(log), kLine + "\r\n");
  EXPECT_NE(kLine.find(FromUtf8("----当前价格：$33.15----")), std::string::npos);
}

TEST_F(Alert, TimeTextFollowsTheSecondMinuteAndHour) {
  struct Row {
    text::DateTime at;
    const char* text;
  } rows[] = {
      {{2024, 3, 5, 9, 7, 5}, "2024年3月5日9时7分5秒"},
      {{2024, 3, 5, 9, 7, 0}, "2024年3月5日9时7分"},
      {{2024, 3, 5, 10, 0, 0}, "2024年3月5日10时"},
      {{2024, 3, 5, 0, 0, 0}, "2024年3月5日"},
      {{2024, 12, 31, 23, 59, 59}, "2024年12月31日23时59分59秒"},
      {{2024, 3, 5, 0, 0, 7}, "2024年3月5日0时0分7秒"},
  };
  for (const Row& row : rows) {
    fs::remove(log);
    clock.SetLocal(row.at);
    AppendAlertLog();
    std::string bytes = ReadBytes(log);
    std::string tail = "----" + FromUtf8(row.text) + "\r\n";
    EXPECT_TRUE(bytes.size() > tail.size() && bytes.ends_with(tail)) << row.text;
    EXPECT_EQ(bytes.find("\r\n"), bytes.size() - 2) << row.text;  // one line
  }
}

TEST_F(Alert, NewLineGoesFirstAndOldBytesFollowUnchanged) {
  std::string old;
  for (int i = 0; old.size() <= 4096 * 3; ++i) {
    old += FromUtf8("货币对：btc_usd----类型：quarter 第") + std::to_string(i) + "\r\n";
  }
  old += "no line end at the very end";
  WriteBytes(log, old);
  ui.SetInt(controls::组合框_类型, kPropSelection, 3);  // the item selected now counts
  AppendAlertLog();
  std::string bytes = ReadBytes(log);
  ASSERT_GT(bytes.size(), old.size());
  EXPECT_EQ(bytes.substr(bytes.size() - old.size()), old);
  std::string line = bytes.substr(0, bytes.size() - old.size());
  EXPECT_EQ(line.find("\r\n"), line.size() - 2);
  EXPECT_NE(line.find(FromUtf8("----类型：quarter----")), std::string::npos);
}

TEST_F(Alert, RaiseAlertTakesItsStepsInOrder) {
  ThreadHandle h = StartWaiting([] { RaiseAlert(FromUtf8("下")); });
  EXPECT_EQ(AlertFlag, 1);
  EXPECT_TRUE(sound.Playing());
  EXPECT_EQ(sound.Path(), FromFsPath(dir / "553680.mp3"));
  EXPECT_EQ(sound.Count(), -1);
  EXPECT_EQ(ReadBytes(log), kLine + "\r\n");
  std::vector<Write> expected = {
      {std::string(controls::主窗口), kPropAlwaysOnTop, -1, {}, 1},
      {std::string(controls::主窗口), kPropKeepTitleActive, -1, {}, 1},
      {std::string(controls::状态条1), -1, 1, FromUtf8("正在提醒..."), 0},
      Colour(controls::标签_下跌至, 65280),
      Colour(controls::标签_实时价格, 65280),
  };
  EXPECT_EQ(ui.Writes(), expected);
  EndThread(h);
  EXPECT_TRUE(JoinThread(h, 3s));
}

TEST_F(Alert, UnwritableLogGetsNoLineAndTheAlertGoesOn) {
  struct Row {
    const char* what;
    std::function<void()> setUp;
    std::function<void()> check;
  } rows[] = {
      {"read-only",
       [&] {
         WriteBytes(log, "history\r\n");
         chmod(log.c_str(), 0444);
       },
       [&] {
         EXPECT_EQ(ReadBytes(log), "history\r\n");
         struct stat st {};
         stat(log.c_str(), &st);
         EXPECT_EQ(st.st_mode & 0777, 0444u);
       }},
      {"directory", [&] { fs::create_directory(log); },
       [&] {
         EXPECT_TRUE(fs::is_directory(log));
         EXPECT_TRUE(fs::is_empty(log));
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(log);
    row.setUp();
    ui.ClearWrites();
    AlertFlag = 0;
    ThreadHandle h = StartWaiting([] { RaiseAlert(FromUtf8("上")); });
    row.check();
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"Warning.txt"});
    EXPECT_EQ(ui.StatusText(controls::状态条1, 1), FromUtf8("正在提醒..."));
    EXPECT_TRUE(sound.Playing());
    EXPECT_EQ(AlertFlag, 1);
    EXPECT_TRUE(ui.Boxes().empty());
    EndThread(h);
    EXPECT_TRUE(JoinThread(h, 3s));
  }
}

TEST_F(Alert, LockedLogGetsNoLineAndTheAlertGoesOn) {
  WriteBytes(log, "history\r\n");
  int other = open(log.c_str(), O_RDONLY);
  ASSERT_EQ(flock(other, LOCK_EX), 0);
  ThreadHandle h = StartWaiting([] { RaiseAlert(FromUtf8("上")); });
  EXPECT_EQ(ReadBytes(log), "history\r\n");
  EXPECT_EQ(ui.StatusText(controls::状态条1, 1), FromUtf8("正在提醒..."));
  EndThread(h);
  EXPECT_TRUE(JoinThread(h, 3s));
  close(other);
}

TEST_F(Alert, FlashingShowsTheColourThenTheDefaultEachSecond) {
  struct Row {
    const char* direction;
    std::string_view label;
    std::int64_t colour;
  } rows[] = {
      {"上", controls::标签_上涨至, 255},
      {"下", controls::标签_下跌至, 65280},
      {"涨", controls::标签_下跌至, 65280},
      {"", controls::标签_下跌至, 65280},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.direction);
    ui.ClearWrites();
    std::string direction = FromUtf8(row.direction);
    std::size_t timersBefore = clock.Requested().size();
    ThreadHandle h = StartWaiting([direction] { FlashAlertLabels(direction); });
    std::vector<Write> expected;
    for (int second = 0; second < 4; ++second) {
      std::int64_t value = second % 2 == 0 ? row.colour : kDefaultColor;
      expected.push_back(Colour(row.label, value));
      expected.push_back(Colour(controls::标签_实时价格, value));
      EXPECT_EQ(ui.Writes(), expected) << "second " << second;
      if (second < 3) NextSecond();
    }
    auto timers = clock.Requested();
    ASSERT_EQ(timers.size(), timersBefore + 4);
    for (std::size_t i = timersBefore; i < timers.size(); ++i) EXPECT_EQ(timers[i], 1s);

    // Stop, in the middle of a second: the worker leaves its delay at once
    // and changes nothing more.
    EndThread(h);
    EXPECT_TRUE(JoinThread(h, 3s));
    clock.Advance(5s);
    EXPECT_EQ(ui.Writes(), expected);
  }
}
