#pragma once
// The window services that the rest of the program calls: numbered control
// properties, combo items, status bar parts and message boxes. Controls are
// named by their UTF-8 names; every text crossing this interface is GBK.
//
// Every call may be made from any thread. A call from a worker is carried to
// the window's thread and waited for; once the worker's end was requested the
// call does nothing visible and throws platform::ThreadEnded.

#include <cstdint>
#include <string_view>

#include "platform/text/Text.h"

namespace platform {

// Property numbers.
inline constexpr int kPropCaption = 8;           // window and label caption, edit box text
inline constexpr int kPropButtonCaption = 10;    // push button caption
inline constexpr int kPropBackColor = 17;        // label background, 0x00BBGGRR
inline constexpr int kPropSelection = 19;        // combo selected index, -1 for none
inline constexpr int kPropAlwaysOnTop = 29;      // window, boolean
inline constexpr int kPropKeepTitleActive = 30;  // window, boolean

// The default background: drawn in the system's button-face colour.
inline constexpr std::int64_t kDefaultColor = 0xFF000000;

// Message box flags.
inline constexpr int kMbOk = 0;
inline constexpr int kMbIconInformation = 64;

class Ui {
 public:
  virtual ~Ui() = default;

  // Properties 8 and 10. A text read is the caller's copy.
  virtual text::Text GetText(std::string_view control, int property) = 0;
  virtual void SetText(std::string_view control, int property, std::string_view value) = 0;
  // Properties 17, 19, 29 and 30 (booleans read 0 or 1).
  virtual std::int64_t GetInt(std::string_view control, int property) = 0;
  virtual void SetInt(std::string_view control, int property, std::int64_t value) = 0;

  // The combo item's text, index from 0; empty outside 0 to count-1.
  virtual text::Text ComboItemText(std::string_view control, int index) = 0;
  // Status bar part text, parts from 0; no such part: nothing.
  virtual void SetStatusText(std::string_view control, int part, std::string_view value) = 0;

  // Shows a box with no owner, modal for the calling thread only, and returns
  // when it is closed. An empty title gives the default title "信息：".
  virtual int MessageBox(std::string_view message, int flags = kMbOk,
                         std::string_view title = {}) = 0;
};

// The window services in use. Until one is installed, a quiet one that reads
// empty values and ignores writes answers.
Ui& TheUi();
// Installs `ui` (not owned; nullptr restores the quiet one).
void InstallUi(Ui* ui);

}  // namespace platform
