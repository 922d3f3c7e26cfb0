#pragma once
// A status bar docked along the bottom of its parent's client area, with
// parts of fixed pixel widths and no size grip.

#include <QStringList>
#include <QWidget>
#include <vector>

namespace platform {

class StatusBar final : public QWidget {
 public:
  StatusBar(std::vector<int> partWidths, QStringList texts, QWidget* parent);

  int PartCount() const { return static_cast<int>(widths_.size()); }
  // No such part: nothing.
  void SetPartText(int part, const QString& text);
  QString PartText(int part) const;
  // The left and right edge of a part in the bar's coordinates.
  std::pair<int, int> PartEdges(int part) const;

 protected:
  void paintEvent(QPaintEvent*) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Dock();

  std::vector<int> widths_;
  QStringList texts_;
};

}  // namespace platform
