#pragma once
// The application shell's own texts, as GBK bytes.

#include <string_view>

namespace texts {

std::string_view MainCaption();
std::string_view PriceNull();
std::string_view TypeLabel();
std::string_view FallToLabel();
std::string_view RiseToLabel();
std::string_view PairLabel();
std::string_view SpotItem();
std::string_view ThisWeekItem();
std::string_view NextWeekItem();
std::string_view QuarterItem();
std::string_view StatusPart0();
std::string_view Ready();
std::string_view Start();
std::string_view DefaultFallTo();
std::string_view DefaultRiseTo();
std::string_view DefaultPair();
std::string_view WelcomeTitle();
std::string_view WelcomeLine1();
std::string_view WelcomeLine2();
std::string_view WelcomeLine3();
std::string_view LineBreak();

}  // namespace texts
