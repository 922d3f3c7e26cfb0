#include "monitor/Alert.h"

#include <cstdint>

#include "monitor/Controls.h"
#include "monitor/Globals.h"
#include "monitor/PumpingDelay.h"
#include "monitor/Texts.h"
#include "platform/clock/Clock.h"
#include "platform/files/Files.h"
#include "platform/sys/RunDir.h"
#include "platform/ui/Sound.h"
#include "platform/ui/Ui.h"

namespace {

constexpr std::int64_t kRed = 255;
constexpr std::int64_t kGreen = 65280;

}  // namespace

void RaiseAlert(std::string_view direction) {
  platform::Ui& ui = platform::TheUi();
  AlertFlag = 1;
  ui.SetInt(controls::主窗口, platform::kPropAlwaysOnTop, 1);
  ui.SetInt(controls::主窗口, platform::kPropKeepTitleActive, 1);
  platform::TheSound().Play(platform::InRunDirectory(gbk::kAlertSound), -1);
  AppendAlertLog();
  ui.SetStatusText(controls::状态条1, 1, gbk::kAlerting);
  FlashAlertLabels(direction);
}

void AppendAlertLog() {
  platform::Ui& ui = platform::TheUi();
  text::Text path = platform::InRunDirectory(gbk::kAlertLog);

  // A search that failed says nothing about the log: creating it then could
  // stand in for a history that is only out of reach for a moment. An absent
  // log is created only where no file of that name exists.
  platform::FoundFile found = platform::FindFile(path);
  if (found.result == platform::FindResult::kAbsent) platform::CreateNewFile(path, {});
  platform::File log;
  if (found.result != platform::FindResult::kFailed) log = platform::File::OpenForUpdate(path);

  int selected = static_cast<int>(ui.GetInt(controls::组合框_类型, platform::kPropSelection));
  text::Text type = ui.ComboItemText(controls::组合框_类型, selected);
  text::Text time = text::TimeToText(platform::TheClock().LocalNow());
  text::Text pair = ui.GetText(controls::编辑框_货币对, platform::kPropCaption);
  text::Text price = ui.GetText(controls::标签_实时价格, platform::kPropCaption);
  text::Text rise = ui.GetText(controls::编辑框_上涨至, platform::kPropCaption);
  text::Text fall = ui.GetText(controls::编辑框_下跌至, platform::kPropCaption);

  text::Text line;
  for (std::string_view piece :
       {gbk::kLogPair, std::string_view(pair), gbk::kLogType, std::string_view(type),
        gbk::kLogPrice, std::string_view(price), gbk::kLogRise, std::string_view(rise),
        gbk::kLogFall, std::string_view(fall), gbk::kLogTime, std::string_view(time)}) {
    line.append(piece);
  }
  log.InsertLine(line);
}

void FlashAlertLabels(std::string_view direction) {
  const bool up = direction == gbk::kUp;
  const std::string_view threshold = up ? controls::标签_上涨至 : controls::标签_下跌至;
  const std::int64_t colour = up ? kRed : kGreen;
  for (;;) {
    for (std::int64_t value : {colour, platform::kDefaultColor}) {
      platform::TheUi().SetInt(threshold, platform::kPropBackColor, value);
      platform::TheUi().SetInt(controls::标签_实时价格, platform::kPropBackColor, value);
      PumpingDelay(1, kDelaySeconds);
    }
  }
}
