#pragma once
// The names of the main window and its controls, as the window description
// names them. A name is the control's kind and purpose; the constant has the
// same spelling as the name it holds.

#include <string_view>

namespace controls {

inline constexpr std::string_view 主窗口 = "主窗口";
inline constexpr std::string_view 超文本浏览框1 = "超文本浏览框1";
inline constexpr std::string_view 标签_实时价格 = "标签_实时价格";
inline constexpr std::string_view 组合框_类型 = "组合框_类型";
inline constexpr std::string_view 标签2 = "标签2";
inline constexpr std::string_view 状态条1 = "状态条1";
inline constexpr std::string_view 按钮1 = "按钮1";
inline constexpr std::string_view 标签_下跌至 = "标签_下跌至";
inline constexpr std::string_view 编辑框_下跌至 = "编辑框_下跌至";
inline constexpr std::string_view 标签_上涨至 = "标签_上涨至";
inline constexpr std::string_view 编辑框_上涨至 = "编辑框_上涨至";
inline constexpr std::string_view 编辑框_货币对 = "编辑框_货币对";
inline constexpr std::string_view 标签1 = "标签1";

}  // namespace controls
