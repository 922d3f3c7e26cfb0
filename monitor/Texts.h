#pragma once
// The monitor's own texts, as the GBK bytes the program uses at run time.

#include <string_view>

namespace gbk {

// Alert directions.
extern const std::string_view kUp;    // 上
extern const std::string_view kDown;  // 下

// The pieces of an alert log line, around the field texts.
extern const std::string_view kLogPair;   // 货币对：
extern const std::string_view kLogType;   // ----类型：
extern const std::string_view kLogPrice;  // ----当前价格：
extern const std::string_view kLogRise;   // ----上涨至：
extern const std::string_view kLogFall;   // ----下跌至：
extern const std::string_view kLogTime;   // ----

extern const std::string_view kAlerting;  // 正在提醒...

// Files in the run directory.
extern const std::string_view kAlertSound;  // 553680.mp3
extern const std::string_view kAlertLog;    // Warning.txt

}  // namespace gbk
