// Compiled with GBK as the execution character set: these literals are the
// program's run-time bytes. Only <string_view>-level headers may come in.
#include "monitor/Texts.h"

namespace gbk {

extern const std::string_view kUp = "上";
extern const std::string_view kDown = "下";

extern const std::string_view kLogPair = "货币对：";
extern const std::string_view kLogType = "----类型：";
extern const std::string_view kLogPrice = "----当前价格：";
extern const std::string_view kLogRise = "----上涨至：";
extern const std::string_view kLogFall = "----下跌至：";
extern const std::string_view kLogTime = "----";

extern const std::string_view kAlerting = "正在提醒...";

extern const std::string_view kAlertSound = "553680.mp3";
extern const std::string_view kAlertLog = "Warning.txt";

}  // namespace gbk
