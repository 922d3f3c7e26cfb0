#include "platform/ui/StatusBar.h"

#include <QEvent>
#include <QPainter>
#include <algorithm>

namespace platform {

StatusBar::StatusBar(std::vector<int> partWidths, QStringList texts, QWidget* parent)
    : QWidget(parent), widths_(std::move(partWidths)), texts_(std::move(texts)) {
  while (texts_.size() < static_cast<qsizetype>(widths_.size())) texts_.append(QString());
  setFocusPolicy(Qt::NoFocus);
  setFixedHeight(std::max(20, fontMetrics().height() + 6));
  parent->installEventFilter(this);
  Dock();
}

void StatusBar::SetPartText(int part, const QString& text) {
  if (part < 0 || part >= PartCount()) return;
  texts_[part] = text;
  auto [left, right] = PartEdges(part);
  update(left, 0, right - left, height());
}

QString StatusBar::PartText(int part) const {
  return part >= 0 && part < PartCount() ? texts_[part] : QString();
}

std::pair<int, int> StatusBar::PartEdges(int part) const {
  int left = 0;
  for (int i = 0; i < part; ++i) left += widths_[static_cast<std::size_t>(i)];
  return {left, left + widths_[static_cast<std::size_t>(part)]};
}

bool StatusBar::eventFilter(QObject* watched, QEvent* event) {
  if (watched == parent() && event->type() == QEvent::Resize) Dock();
  return false;
}

void StatusBar::Dock() {
  auto* p = parentWidget();
  setGeometry(0, p->height() - height(), p->width(), height());
}

void StatusBar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QPalette& pal = palette();
  painter.setPen(pal.color(QPalette::Mid));
  painter.drawLine(0, 0, width() - 1, 0);
  for (int i = 0; i < PartCount(); ++i) {
    auto [left, right] = PartEdges(i);
    // Each part is a sunken field: shadow top-left, light bottom-right.
    QRect field(left, 2, right - left - 2, height() - 3);
    painter.setPen(pal.color(QPalette::Mid));
    painter.drawLine(field.topLeft(), field.topRight());
    painter.drawLine(field.topLeft(), field.bottomLeft());
    painter.setPen(pal.color(QPalette::Light));
    painter.drawLine(field.bottomLeft(), field.bottomRight());
    painter.drawLine(field.topRight(), field.bottomRight());
    painter.setPen(pal.color(QPalette::WindowText));
    painter.drawText(field.adjusted(3, 0, -2, 0), Qt::AlignLeft | Qt::AlignVCenter, texts_[i]);
  }
}

}  // namespace platform
