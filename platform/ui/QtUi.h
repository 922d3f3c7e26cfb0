#pragma once
// The window services on Qt Widgets. Created on the window thread; the
// controls live there and are touched only there. A call from another thread
// is carried over as a queued call and waited for, and that wait also ends
// when the caller's stop token trips.

#include <QList>
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <map>
#include <string>

#include "platform/ui/Ui.h"
#include "platform/ui/Window.h"

class QMessageBox;

namespace platform {

class QtUi final : public Ui {
 public:
  QtUi();
  ~QtUi() override;

  text::Text GetText(std::string_view control, int property) override;
  void SetText(std::string_view control, int property, std::string_view value) override;
  std::int64_t GetInt(std::string_view control, int property) override;
  void SetInt(std::string_view control, int property, std::int64_t value) override;
  text::Text ComboItemText(std::string_view control, int index) override;
  void SetStatusText(std::string_view control, int part, std::string_view value) override;
  int MessageBox(std::string_view message, int flags, std::string_view title) override;

  // Window thread only. Builds the window and its controls, hidden; the
  // window deletes itself when closed.
  QWidget* Build(const WindowDesc& desc);
  // Sizes, centres and shows a built window.
  void Show(QWidget* window, const WindowDesc& desc);

 private:
  template <class Fn>
  auto OnGui(Fn fn) -> decltype(fn());
  QWidget* Find(const std::string& name) const;
  int GuiMessageBox(const QString& message, int flags, const QString& title);

  QObject context_;  // queued calls from workers run in its thread
  std::map<std::string, QPointer<QWidget>> controls_;
  std::map<std::string, std::int64_t> windowStates_;  // "<window>#<property>"
  QList<QPointer<QMessageBox>> workerBoxes_;
};

}  // namespace platform
