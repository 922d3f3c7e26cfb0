// The main window as the program builds it, under Qt's offscreen platform.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <cstdlib>

#include "app/MainWindow.h"
#include "monitor/Globals.h"
#include "platform/sys/RunDir.h"
#include "platform/ui/Application.h"
#include "platform/ui/StatusBar.h"
#include "platform/ui/Ui.h"

namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

struct WelcomeSeen {
  bool shown = false;
  bool windowVisibleMeanwhile = true;
  QString title, text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  int buttons = 0;
};

QWidget* MainWindow() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->objectName() == U("主窗口")) return w;
  }
  return nullptr;
}

class MainWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (const char* dir = std::getenv("ZANTREL_RUN_DIR")) platform::OverrideRunDirectory(dir);
    AlertFlag = 7;
    app_ = new platform::Application;
    // Answers the welcome box as a user would, noting what it showed.
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      seen_.shown = true;
      QWidget* main = MainWindow();
      seen_.windowVisibleMeanwhile = main && main->isVisible();
      seen_.title = box->windowTitle();
      seen_.text = box->text();
      seen_.icon = box->icon();
      seen_.buttons = static_cast<int>(box->buttons().size());
      box->button(QMessageBox::Ok)->click();
      poll->stop();
      poll->deleteLater();
    });
    poll->start(10);
    loaded_ = app_->LoadWindow(MainWindowDescription());
    window_ = MainWindow();
  }
  static void TearDownTestSuite() {
    delete app_;
    app_ = nullptr;
  }

  template <class T>
  static T* Control(const char* name) {
    return window_ ? window_->findChild<T*>(U(name), Qt::FindDirectChildrenOnly) : nullptr;
  }

  static inline platform::Application* app_ = nullptr;
  static inline bool loaded_ = false;
  static inline QWidget* window_ = nullptr;
  static inline WelcomeSeen seen_;
};

TEST_F(MainWindowTest, WelcomeBoxComesFirstThenTheWindow) {
  ASSERT_TRUE(loaded_);
  ASSERT_TRUE(seen_.shown);
  EXPECT_FALSE(seen_.windowVisibleMeanwhile);
  EXPECT_EQ(seen_.title, U("信息"));
  EXPECT_EQ(seen_.text, U("欢迎大家使用Zantrel，该软件支持全平台所有币种，且支持合约行情预警！\n"
                          "如需使用币币交易请将分类设为‘币币交易’！\n"
                          "使用说明：https://zantrel.example/"));
  EXPECT_EQ(seen_.icon, QMessageBox::Information);
  EXPECT_EQ(seen_.buttons, 1);
  ASSERT_NE(window_, nullptr);
  EXPECT_TRUE(window_->isVisible());
  EXPECT_EQ(AlertFlag.load(), 0);
}

TEST_F(MainWindowTest, WindowFrame) {
  ASSERT_NE(window_, nullptr);
  EXPECT_EQ(window_->windowTitle(), U("Zantrel"));
  // No window manager here: the client area is the outer size.
  EXPECT_EQ(window_->size(), QSize(335, 173));
  EXPECT_EQ(window_->minimumSize(), window_->maximumSize());
  QRect screen = window_->screen()->availableGeometry();
  EXPECT_EQ(window_->geometry().center().x() / 2, screen.center().x() / 2);
  EXPECT_EQ(window_->geometry().center().y() / 2, screen.center().y() / 2);
  Qt::WindowFlags flags = window_->windowFlags();
  EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_FALSE(window_->windowIcon().isNull());
}

TEST_F(MainWindowTest, ControlsAsTabled) {
  ASSERT_NE(window_, nullptr);
  struct Row {
    const char* name;
    const char* kind;
    QRect geometry;
    const char* content;
  };
  // Stacking order, first on top. The status bar docks and has no content
  // of its own here (its parts are checked below).
  const Row rows[] = {
      {"超文本浏览框1", "QTextBrowser", {528, 80, 80, 40}, nullptr},
      {"标签_实时价格", "QLabel", {145, 8, 177, 46}, "null"},
      {"组合框_类型", "QComboBox", {63, 9, 74, 20}, "quarter"},
      {"标签2", "QLabel", {16, 14, 34, 15}, "类型："},
      {"状态条1", "StatusBar", {}, nullptr},
      {"按钮1", "QPushButton", {142, 65, 180, 50}, "启动"},
      {"标签_下跌至", "QLabel", {8, 98, 42, 18}, "下跌至："},
      {"编辑框_下跌至", "QLineEdit", {64, 93, 72, 23}, "5"},
      {"标签_上涨至", "QLabel", {8, 70, 42, 18}, "上涨至："},
      {"编辑框_上涨至", "QLineEdit", {64, 65, 72, 23}, "7"},
      {"编辑框_货币对", "QLineEdit", {64, 36, 72, 23}, "eos_usd"},
      {"标签1", "QLabel", {8, 41, 42, 18}, "货币对："},
  };
  QList<QWidget*> stack;  // bottom first, as Qt keeps siblings
  for (QObject* child : window_->children()) {
    if (auto* w = qobject_cast<QWidget*>(child); w && !w->objectName().isEmpty()) stack.append(w);
  }
  ASSERT_EQ(stack.size(), static_cast<qsizetype>(std::size(rows)));
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE(row.name);
    auto* w = Control<QWidget>(row.name);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(stack.indexOf(w), static_cast<qsizetype>(std::size(rows) - 1 - i));
    if (std::string_view(row.kind) == "StatusBar") {
      EXPECT_NE(dynamic_cast<platform::StatusBar*>(w), nullptr);
    } else {
      EXPECT_STREQ(w->metaObject()->className(), row.kind);
    }
    if (!row.geometry.isNull()) {
      EXPECT_EQ(w->geometry(), row.geometry);
    }
    EXPECT_TRUE(w->isVisibleTo(window_));
    EXPECT_TRUE(w->isEnabled());
    QString content;
    if (auto* label = qobject_cast<QLabel*>(w)) {
      content = label->text();
      EXPECT_FALSE(label->wordWrap());
      EXPECT_EQ(label->alignment(), Qt::AlignLeft | Qt::AlignVCenter);
      EXPECT_FALSE(label->autoFillBackground());
      EXPECT_EQ(label->focusPolicy(), Qt::NoFocus);
    } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
      content = edit->text();
      EXPECT_TRUE(edit->hasFrame());
      EXPECT_EQ(edit->echoMode(), QLineEdit::Normal);
      EXPECT_GT(edit->maxLength(), 1 << 20);
    } else if (auto* button = qobject_cast<QPushButton*>(w)) {
      content = button->text();
      EXPECT_FALSE(button->isDefault());
      EXPECT_FALSE(button->autoDefault());
    } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
      content = combo->currentText();
    }
    if (row.content) {
      EXPECT_EQ(content, U(row.content));
    }
  }
}

TEST_F(MainWindowTest, PriceLabelFontIsLargeAndBold) {
  auto* price = Control<QLabel>("标签_实时价格");
  auto* other = Control<QLabel>("标签1");
  ASSERT_TRUE(price && other);
  EXPECT_EQ(price->font().pixelSize(), 29);
  EXPECT_EQ(price->font().weight(), QFont::Bold);
  EXPECT_EQ(other->font().pixelSize(), QApplication::font().pixelSize());
  EXPECT_EQ(other->font().weight(), QFont::Normal);
}

TEST_F(MainWindowTest, ComboOffersTheMarketsWithQuarterSelected) {
  auto* combo = Control<QComboBox>("组合框_类型");
  ASSERT_NE(combo, nullptr);
  EXPECT_TRUE(combo->isEditable());
  QStringList items;
  for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
  EXPECT_EQ(items, (QStringList{U("币币交易"), U("this_week"), U("next_week"), U("quarter")}));
  EXPECT_EQ(combo->currentIndex(), 3);
  EXPECT_EQ(platform::TheUi().GetInt("组合框_类型", platform::kPropSelection), 3);
  EXPECT_EQ(platform::TheUi().ComboItemText("组合框_类型", 3), text::FromUtf8("quarter"));
}

TEST_F(MainWindowTest, StatusBarDockedWithTwoParts) {
  auto* bar = window_ ? window_->findChild<platform::StatusBar*>(U("状态条1")) : nullptr;
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar->PartCount(), 2);
  EXPECT_EQ(bar->PartText(0), U("状态："));
  EXPECT_EQ(bar->PartText(1), U("就绪"));
  EXPECT_EQ(bar->PartEdges(0), std::make_pair(0, 50));
  EXPECT_EQ(bar->PartEdges(1), std::make_pair(50, 340));
  EXPECT_EQ(bar->x(), 0);
  EXPECT_EQ(bar->width(), window_->width());
  EXPECT_EQ(bar->y() + bar->height(), window_->height());
  EXPECT_EQ(bar->focusPolicy(), Qt::NoFocus);
}

TEST_F(MainWindowTest, BrowserShowsTheShippedPageOutsideTheClientArea) {
  auto* browser = Control<QTextBrowser>("超文本浏览框1");
  ASSERT_NE(browser, nullptr);
  EXPECT_GE(browser->x(), window_->width());
  EXPECT_TRUE(browser->source().isLocalFile());
  EXPECT_TRUE(browser->toPlainText().contains(U("Zantrel"))) << "the page did not load";
}

TEST_F(MainWindowTest, EnterKeepsFocusTabFollowsTheInputs) {
  auto* pair = Control<QLineEdit>("编辑框_货币对");
  ASSERT_NE(pair, nullptr);
  QApplication::setActiveWindow(window_);
  pair->setFocus();
  QTest::keyClick(pair, Qt::Key_Return);
  EXPECT_EQ(QApplication::focusWidget(), pair);
  EXPECT_EQ(pair->nextInFocusChain()->objectName(), U("编辑框_上涨至"));
}

}  // namespace
