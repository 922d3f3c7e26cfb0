#include "platform/ui/QtUi.h"

#include <QApplication>
#include <QComboBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStyledItemDelegate>
#include <QTextBrowser>
#include <QUrl>
#include <QWindow>
#include <algorithm>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <variant>

#include "platform/sys/RunDir.h"
#include "platform/thread/Thread.h"
#include "platform/ui/StatusBar.h"
#include "platform/ui/X11.h"

namespace platform {
namespace {

constexpr const char* kBackColorProperty = "zantrelBackColor";
constexpr const char* kKeepTitleProperty = "zantrelKeepTitleActive";
constexpr std::chrono::milliseconds kFrameQueryTimeout{300};

std::thread::id gGuiThread;

QString ToQt(std::string_view gbk) {
  std::string utf8 = text::ToUtf8(gbk);
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

text::Text FromQt(const QString& s) {
  QByteArray utf8 = s.toUtf8();
  return text::FromUtf8(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
}

QString Utf8Name(std::string_view name) {
  return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

// Combo list items one pixel taller than the font needs.
class TightItemDelegate final : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(option.fontMetrics.height() + 1);
    return size;
  }
};

// Asks for attention whenever a window that should keep its title bar
// active loses activation.
class KeepTitleFilter final : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::WindowDeactivate &&
        watched->property(kKeepTitleProperty).toBool()) {
      auto* w = static_cast<QWidget*>(watched);
      x11::SetNetWmState(static_cast<std::uint32_t>(w->winId()), "_NET_WM_STATE_DEMANDS_ATTENTION",
                         true);
    }
    return false;
  }
};

QString CaptionOf(QWidget* w) {
  if (w->isWindow()) return w->windowTitle();
  if (auto* label = qobject_cast<QLabel*>(w)) return label->text();
  if (auto* edit = qobject_cast<QLineEdit*>(w)) return edit->text();
  if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text();
  if (auto* combo = qobject_cast<QComboBox*>(w)) return combo->currentText();
  return {};
}

void SetCaption(QWidget* w, const QString& s) {
  if (w->isWindow()) {
    w->setWindowTitle(s);
  } else if (auto* label = qobject_cast<QLabel*>(w)) {
    label->setText(s);
  } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
    edit->setText(s);
  } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
    button->setText(s);
  } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
    combo->setEditText(s);
  }
}

// 0x00BBGGRR; 0xFF000000 (the default) gives the parent's button-face colour.
void SetBackColor(QWidget* w, std::int64_t value) {
  w->setProperty(kBackColorProperty, QVariant::fromValue<qint64>(value));
  if (value == kDefaultColor) {
    w->setAutoFillBackground(false);
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, w->parentWidget()
                                       ? w->parentWidget()->palette().color(QPalette::Window)
                                       : QApplication::palette().color(QPalette::Window));
    w->setPalette(pal);
    return;
  }
  auto v = static_cast<std::uint32_t>(value);
  QPalette pal = w->palette();
  pal.setColor(QPalette::Window,
               QColor(static_cast<int>(v & 0xFF), static_cast<int>((v >> 8) & 0xFF),
                      static_cast<int>((v >> 16) & 0xFF)));
  w->setPalette(pal);
  w->setAutoFillBackground(true);
}

// The answer codes for the button pressed, as message-box callers know them.
enum : int {
  kIdOk = 1,
  kIdCancel = 2,
  kIdAbort = 3,
  kIdRetry = 4,
  kIdIgnore = 5,
  kIdYes = 6,
  kIdNo = 7
};

QMessageBox* NewBox(const QString& message, int flags, const QString& title) {
  auto* box = new QMessageBox();
  box->setWindowTitle(title);
  box->setText(message);
  box->setTextFormat(Qt::PlainText);
  switch (flags & 0xF0) {
    case 16:
      box->setIcon(QMessageBox::Critical);
      break;
    case 32:
      box->setIcon(QMessageBox::Question);
      break;
    case 48:
      box->setIcon(QMessageBox::Warning);
      break;
    case 64:
      box->setIcon(QMessageBox::Information);
      break;
    default:
      box->setIcon(QMessageBox::NoIcon);
      break;
  }
  using B = QMessageBox::StandardButton;
  switch (flags & 0x0F) {
    case 1:
      box->setStandardButtons(B::Ok | B::Cancel);
      break;
    case 2:
      box->setStandardButtons(B::Abort | B::Retry | B::Ignore);
      break;
    case 3:
      box->setStandardButtons(B::Yes | B::No | B::Cancel);
      break;
    case 4:
      box->setStandardButtons(B::Yes | B::No);
      break;
    case 5:
      box->setStandardButtons(B::Retry | B::Cancel);
      break;
    default:
      box->setStandardButtons(B::Ok);
      break;
  }
  return box;
}

int ResultOf(QMessageBox* box) {
  QAbstractButton* clicked = box->clickedButton();
  switch (clicked ? box->standardButton(clicked) : QMessageBox::NoButton) {
    case QMessageBox::Ok:
      return kIdOk;
    case QMessageBox::Cancel:
      return kIdCancel;
    case QMessageBox::Abort:
      return kIdAbort;
    case QMessageBox::Retry:
      return kIdRetry;
    case QMessageBox::Ignore:
      return kIdIgnore;
    case QMessageBox::Yes:
      return kIdYes;
    case QMessageBox::No:
      return kIdNo;
    default:
      break;
  }
  // Closed without a button: the box's way out.
  return box->standardButtons().testFlag(QMessageBox::Cancel) ? kIdCancel : kIdOk;
}

QFont FontFor(const ControlDesc& c) {
  QFont font = QApplication::font();
  if (c.fontPixels > 0) font.setPixelSize(c.fontPixels);
  if (c.bold) font.setWeight(QFont::Bold);
  return font;
}

QWidget* MakeControl(const ControlDesc& c, QWidget* window) {
  QWidget* w = nullptr;
  switch (c.kind) {
    case ControlKind::kLabel: {
      auto* label = new QLabel(ToQt(c.text), window);
      label->setTextFormat(Qt::PlainText);
      label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
      label->setWordWrap(false);
      QPalette pal = label->palette();
      pal.setColor(QPalette::WindowText, Qt::black);
      label->setPalette(pal);
      label->setProperty(kBackColorProperty, QVariant::fromValue<qint64>(kDefaultColor));
      w = label;
      break;
    }
    case ControlKind::kEditBox: {
      auto* edit = new QLineEdit(ToQt(c.text), window);
      edit->setMaxLength(std::numeric_limits<int>::max());
      edit->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
      edit->setFrame(true);
      edit->setCursorPosition(0);
      w = edit;
      break;
    }
    case ControlKind::kComboBox: {
      auto* combo = new QComboBox(window);
      combo->setEditable(true);
      combo->setInsertPolicy(QComboBox::NoInsert);
      combo->setCompleter(nullptr);  // typing completes nothing by itself
      combo->lineEdit()->setMaxLength(std::numeric_limits<int>::max());
      combo->setItemDelegate(new TightItemDelegate(combo));
      combo->setMaxVisibleItems(30);
      for (const auto& item : c.items) combo->addItem(ToQt(item));
      combo->setCurrentIndex(-1);
      combo->setEditText(ToQt(c.text));
      w = combo;
      break;
    }
    case ControlKind::kPushButton: {
      auto* button = new QPushButton(ToQt(c.text), window);
      button->setAutoDefault(false);
      button->setDefault(false);
      if (c.onClick) {
        QObject::connect(button, &QPushButton::clicked, button, [handler = c.onClick] {
          // Nothing may unwind through the toolkit's event dispatch.
          try {
            handler();
          } catch (...) {
          }
        });
      }
      w = button;
      break;
    }
    case ControlKind::kStatusBar: {
      QStringList texts;
      for (const auto& t : c.items) texts.append(ToQt(t));
      w = new StatusBar(c.partWidths, texts, window);
      break;
    }
    case ControlKind::kBrowser: {
      auto* browser = new QTextBrowser(window);
      browser->setOpenLinks(false);
      browser->setOpenExternalLinks(false);
      browser->setFocusPolicy(Qt::ClickFocus);  // nobody sees it: Tab should not land there
      if (!c.text.empty()) {
        browser->setSource(
            QUrl::fromLocalFile(QString::fromStdString(ToFsPath(InRunDirectory(c.text)))));
      }
      w = browser;
      break;
    }
  }
  w->setObjectName(Utf8Name(c.name));
  w->setFont(FontFor(c));
  if (c.kind != ControlKind::kStatusBar) w->setGeometry(c.x, c.y, c.width, c.height);
  return w;
}

}  // namespace

QtUi::QtUi() { gGuiThread = std::this_thread::get_id(); }

QtUi::~QtUi() {
  for (auto& box : workerBoxes_) delete box.data();
  for (auto& [name, w] : controls_) {
    if (w && w->isWindow()) delete w.data();
  }
}

template <class Fn>
auto QtUi::OnGui(Fn fn) -> decltype(fn()) {
  using R = decltype(fn());
  using Value = std::conditional_t<std::is_void_v<R>, std::monostate, R>;
  CheckEnd();
  if (std::this_thread::get_id() == gGuiThread) return fn();

  struct State {
    std::mutex mutex;
    std::condition_variable_any cv;
    bool done = false;
    Value value{};
  };
  auto state = std::make_shared<State>();
  std::stop_token token = CurrentStopToken();
  QMetaObject::invokeMethod(
      &context_,
      [state, token, fn = std::move(fn)]() mutable {
        // A stopped worker's call is dropped at the moment it would apply.
        if (!token.stop_requested()) {
          if constexpr (std::is_void_v<R>) {
            fn();
          } else {
            state->value = fn();
          }
        }
        {
          std::lock_guard lock(state->mutex);
          state->done = true;
        }
        state->cv.notify_all();
      },
      Qt::QueuedConnection);
  {
    std::unique_lock lock(state->mutex);
    state->cv.wait(lock, token, [&] { return state->done; });
  }
  CheckEnd();
  if constexpr (!std::is_void_v<R>) return std::move(state->value);
}

QWidget* QtUi::Find(const std::string& name) const {
  auto it = controls_.find(name);
  return it == controls_.end() ? nullptr : it->second.data();
}

text::Text QtUi::GetText(std::string_view control, int property) {
  return OnGui([this, name = std::string(control), property]() -> text::Text {
    QWidget* w = Find(name);
    if (!w || (property != kPropCaption && property != kPropButtonCaption)) return {};
    return FromQt(CaptionOf(w));
  });
}

void QtUi::SetText(std::string_view control, int property, std::string_view value) {
  OnGui([this, name = std::string(control), property, value = ToQt(value)] {
    QWidget* w = Find(name);
    if (!w || (property != kPropCaption && property != kPropButtonCaption)) return;
    SetCaption(w, value);
  });
}

std::int64_t QtUi::GetInt(std::string_view control, int property) {
  return OnGui([this, name = std::string(control), property]() -> std::int64_t {
    QWidget* w = Find(name);
    if (!w) return 0;
    switch (property) {
      case kPropBackColor: {
        QVariant v = w->property(kBackColorProperty);
        return v.isValid() ? v.value<qint64>() : kDefaultColor;
      }
      case kPropSelection:
        if (auto* combo = qobject_cast<QComboBox*>(w)) return combo->currentIndex();
        return 0;
      case kPropAlwaysOnTop:
      case kPropKeepTitleActive: {
        auto it = windowStates_.find(name + "#" + std::to_string(property));
        return it == windowStates_.end() ? 0 : it->second;
      }
      default:
        return 0;
    }
  });
}

void QtUi::SetInt(std::string_view control, int property, std::int64_t value) {
  OnGui([this, name = std::string(control), property, value] {
    QWidget* w = Find(name);
    if (!w) return;
    switch (property) {
      case kPropBackColor:
        if (qobject_cast<QLabel*>(w)) SetBackColor(w, value);
        break;
      case kPropSelection:
        if (auto* combo = qobject_cast<QComboBox*>(w)) {
          combo->setCurrentIndex(
              static_cast<int>(std::clamp<std::int64_t>(value, -1, combo->count() - 1)));
        }
        break;
      case kPropAlwaysOnTop:
        if (w->isWindow()) {
          // The flag on the existing native window: same window, position, size
          // and focus. Re-creating the widget's flags would map a new window.
          if (QWindow* handle = w->windowHandle())
            handle->setFlag(Qt::WindowStaysOnTopHint, value != 0);
          x11::Flush();
          windowStates_[name + "#" + std::to_string(property)] = value != 0;
        }
        break;
      case kPropKeepTitleActive:
        if (w->isWindow()) {
          // X has no "title bar drawn active while inactive"; asking for
          // attention is the nearest state a window manager shows. Window
          // managers ignore it on the active window, so it is asked for
          // again each time the window loses activation (see KeepTitleFilter).
          w->setProperty(kKeepTitleProperty, value != 0);
          if (value == 0 || !w->isActiveWindow()) {
            x11::SetNetWmState(static_cast<std::uint32_t>(w->winId()),
                               "_NET_WM_STATE_DEMANDS_ATTENTION", value != 0);
          }
          windowStates_[name + "#" + std::to_string(property)] = value != 0;
        }
        break;
      default:
        break;
    }
  });
}

text::Text QtUi::ComboItemText(std::string_view control, int index) {
  return OnGui([this, name = std::string(control), index]() -> text::Text {
    auto* combo = qobject_cast<QComboBox*>(Find(name));
    if (!combo || index < 0 || index >= combo->count()) return {};
    return FromQt(combo->itemText(index));
  });
}

void QtUi::SetStatusText(std::string_view control, int part, std::string_view value) {
  OnGui([this, name = std::string(control), part, value = ToQt(value)] {
    if (auto* bar = dynamic_cast<StatusBar*>(Find(name))) bar->SetPartText(part, value);
  });
}

int QtUi::GuiMessageBox(const QString& message, int flags, const QString& title) {
  std::unique_ptr<QMessageBox> box(NewBox(message, flags, title));
  box->setWindowModality(Qt::ApplicationModal);
  box->exec();
  return ResultOf(box.get());
}

int QtUi::MessageBox(std::string_view message, int flags, std::string_view title) {
  CheckEnd();
  QString text = ToQt(message);
  text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  QString caption = title.empty() ? QString::fromUtf8("信息：") : ToQt(title);
  if (std::this_thread::get_id() == gGuiThread) return GuiMessageBox(text, flags, caption);

  // A worker's box is modal for the worker only: a non-modal window on the
  // window thread, which the worker waits for, or for its own end.
  struct State {
    std::mutex mutex;
    std::condition_variable_any cv;
    bool done = false;
    int result = kIdOk;
    QPointer<QMessageBox> box;  // window thread only
  };
  auto state = std::make_shared<State>();
  std::stop_token token = CurrentStopToken();
  QMetaObject::invokeMethod(
      &context_,
      [this, state, token, text, flags, caption] {
        if (token.stop_requested()) return;
        QMessageBox* box = NewBox(text, flags, caption);
        box->setWindowModality(Qt::NonModal);
        state->box = box;
        workerBoxes_.removeAll(nullptr);
        workerBoxes_.append(box);
        QObject::connect(box, &QDialog::finished, box, [state, box] {
          int result = ResultOf(box);
          {
            std::lock_guard lock(state->mutex);
            state->result = result;
            state->done = true;
          }
          state->cv.notify_all();
          box->deleteLater();
        });
        box->show();
      },
      Qt::QueuedConnection);
  {
    std::unique_lock lock(state->mutex);
    if (state->cv.wait(lock, token, [&] { return state->done; })) return state->result;
  }
  // Ended while waiting: the box goes with the worker.
  QMetaObject::invokeMethod(
      &context_,
      [state] {
        if (state->box) {
          state->box->hide();
          state->box->deleteLater();
        }
      },
      Qt::QueuedConnection);
  throw ThreadEnded{};
}

QWidget* QtUi::Build(const WindowDesc& desc) {
  Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  if (desc.minimizeButton) flags |= Qt::WindowMinimizeButtonHint;
  if (desc.maximizeButton) flags |= Qt::WindowMaximizeButtonHint;
  auto* window = new QWidget(nullptr, flags);
  window->setObjectName(Utf8Name(desc.name));
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->setWindowTitle(ToQt(desc.caption));
  if (!desc.iconFile.empty()) {
    window->setWindowIcon(QIcon(QString::fromStdString(ToFsPath(InRunDirectory(desc.iconFile)))));
  }

  std::map<std::string, QPointer<QWidget>> made;
  std::vector<QWidget*> order;
  for (const ControlDesc& c : desc.controls) {
    std::string name(c.name);
    if (name.empty() || made.count(name) || name == desc.name) {
      delete window;
      return nullptr;
    }
    QWidget* w = MakeControl(c, window);
    made[name] = w;
    order.push_back(w);
  }
  // Later siblings paint over earlier ones: raise from the bottom up.
  for (auto it = order.rbegin(); it != order.rend(); ++it) (*it)->raise();
  QWidget* previous = nullptr;
  for (std::string_view name : desc.tabOrder) {
    auto it = made.find(std::string(name));
    if (it == made.end()) continue;
    if (previous) QWidget::setTabOrder(previous, it->second);
    previous = it->second;
  }
  if (desc.escapeCloses) {
    auto* esc = new QShortcut(QKeySequence(Qt::Key_Escape), window);
    esc->setContext(Qt::WindowShortcut);
    QObject::connect(esc, &QShortcut::activated, window, &QWidget::close);
  }

  window->installEventFilter(new KeepTitleFilter(window));
  made[std::string(desc.name)] = window;
  for (auto& [name, w] : made) controls_[name] = w;
  window->winId();  // the native window exists now, so its frame can be asked for
  return window;
}

void QtUi::Show(QWidget* window, const WindowDesc& desc) {
  // A window manager draws a fixed-size window with a thinner frame (no
  // resize handle): state the size policy before asking for the frame.
  if (desc.fixedSize) window->setFixedSize(desc.outerWidth, desc.outerHeight);
  x11::FrameExtents frame;
  if (auto extents =
          x11::QueryFrameExtents(static_cast<std::uint32_t>(window->winId()), kFrameQueryTimeout)) {
    frame = *extents;
  }
  int clientWidth = std::max(1, desc.outerWidth - frame.left - frame.right);
  int clientHeight = std::max(1, desc.outerHeight - frame.top - frame.bottom);
  QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
  QRect area =
      screen ? screen->availableGeometry() : QRect(0, 0, desc.outerWidth, desc.outerHeight);
  int left = area.x() + (area.width() - desc.outerWidth) / 2 + frame.left;
  int top = area.y() + (area.height() - desc.outerHeight) / 2 + frame.top;
  if (desc.fixedSize) window->setFixedSize(clientWidth, clientHeight);
  // setGeometry places the client area, so the frame ends up centred.
  window->setGeometry(left, top, clientWidth, clientHeight);
  window->show();
}

}  // namespace platform
