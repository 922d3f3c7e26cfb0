#pragma once
// A window described as data: its caption, size and the table of its
// controls. The platform builds the window from the description.

#include <functional>
#include <string_view>
#include <vector>

#include "platform/text/Text.h"

namespace platform {

enum class ControlKind { kBrowser, kLabel, kComboBox, kStatusBar, kPushButton, kEditBox };

struct ControlDesc {
  std::string_view name;  // UTF-8; also the toolkit's object name
  ControlKind kind;
  int x = 0, y = 0, width = 0, height = 0;  // client coordinates; ignored for a status bar
  text::Text text;                          // caption or edit text; for a browser the page file
  text::TextArray items;                    // combo items; status bar part texts
  std::vector<int> partWidths;              // status bar part widths
  int fontPixels = 0;                       // character height; 0: the default UI font
  bool bold = false;
  std::function<void()> onClick;  // push button; runs on the window's thread
};

struct WindowDesc {
  std::string_view name;  // UTF-8
  text::Text caption;
  int outerWidth = 0, outerHeight = 0;  // including the window manager's frame
  bool fixedSize = true;
  bool minimizeButton = true;
  bool maximizeButton = false;
  bool escapeCloses = true;
  text::Text iconFile;                     // in the run directory; empty: none
  std::vector<ControlDesc> controls;       // stacking order, first on top
  std::vector<std::string_view> tabOrder;  // focusable controls in Tab order
  // Runs after the controls exist and before the window is shown.
  std::function<void()> onCreated;
};

}  // namespace platform
