// Compiled with GBK as the execution character set: every literal here is
// the byte text the program shows.
#include "app/Texts.h"

namespace texts {

std::string_view MainCaption() { return "Zantrel"; }
std::string_view PriceNull() { return "null"; }
std::string_view TypeLabel() { return "类型："; }
std::string_view FallToLabel() { return "下跌至："; }
std::string_view RiseToLabel() { return "上涨至："; }
std::string_view PairLabel() { return "货币对："; }
std::string_view SpotItem() { return "币币交易"; }
std::string_view ThisWeekItem() { return "this_week"; }
std::string_view NextWeekItem() { return "next_week"; }
std::string_view QuarterItem() { return "quarter"; }
std::string_view StatusPart0() { return "状态："; }
std::string_view Ready() { return "就绪"; }
std::string_view Start() { return "启动"; }
std::string_view DefaultFallTo() { return "5"; }
std::string_view DefaultRiseTo() { return "7"; }
std::string_view DefaultPair() { return "eos_usd"; }
std::string_view WelcomeTitle() { return "信息"; }
std::string_view WelcomeLine1() {
  return "欢迎大家使用Zantrel，该软件支持全平台所有币种，且支持合约行情预警！";
}
std::string_view WelcomeLine2() { return "如需使用币币交易请将分类设为‘币币交易’！"; }
std::string_view WelcomeLine3() { return "使用说明：https://zantrel.example/"; }
std::string_view LineBreak() { return "\r\n"; }

}  // namespace texts
