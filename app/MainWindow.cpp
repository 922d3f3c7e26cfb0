#include "app/MainWindow.h"

#include "app/StartStop.h"
#include "app/Texts.h"
#include "monitor/Controls.h"
#include "monitor/Globals.h"
#include "platform/ui/Application.h"
#include "platform/ui/Ui.h"

namespace {

using platform::ControlKind;

text::Text T(std::string_view gbk) { return text::Text(gbk); }

platform::ControlDesc Control(std::string_view name, ControlKind kind, int x, int y, int width,
                              int height, std::string_view content = {}) {
  platform::ControlDesc c;
  c.name = name;
  c.kind = kind;
  c.x = x;
  c.y = y;
  c.width = width;
  c.height = height;
  c.text = T(content);
  return c;
}

}  // namespace

platform::WindowDesc MainWindowDescription() {
  platform::WindowDesc w;
  w.name = controls::主窗口;
  w.caption = T(texts::MainCaption());
  w.outerWidth = 335;
  w.outerHeight = 173;
  w.fixedSize = true;
  w.minimizeButton = true;
  w.maximizeButton = false;
  w.escapeCloses = true;
  w.iconFile = "zantrel.png";

  using C = platform::ControlDesc;
  C browser =
      Control(controls::超文本浏览框1, ControlKind::kBrowser, 528, 80, 80, 40, "zantrel.html");
  C price =
      Control(controls::标签_实时价格, ControlKind::kLabel, 145, 8, 177, 46, texts::PriceNull());
  price.fontPixels = 29;
  price.bold = true;
  C type = Control(controls::组合框_类型, ControlKind::kComboBox, 63, 9, 74, 20);
  type.items = {T(texts::SpotItem()), T(texts::ThisWeekItem()), T(texts::NextWeekItem()),
                T(texts::QuarterItem())};
  C typeLabel = Control(controls::标签2, ControlKind::kLabel, 16, 14, 34, 15, texts::TypeLabel());
  C status = Control(controls::状态条1, ControlKind::kStatusBar, 0, 0, 0, 0);
  status.items = {T(texts::StatusPart0()), T(texts::Ready())};
  status.partWidths = {50, 290};
  C button = Control(controls::按钮1, ControlKind::kPushButton, 142, 65, 180, 50, texts::Start());
  button.onClick = [] { OnStartStopClicked(); };
  C fallLabel =
      Control(controls::标签_下跌至, ControlKind::kLabel, 8, 98, 42, 18, texts::FallToLabel());
  C fallEdit = Control(controls::编辑框_下跌至, ControlKind::kEditBox, 64, 93, 72, 23,
                       texts::DefaultFallTo());
  C riseLabel =
      Control(controls::标签_上涨至, ControlKind::kLabel, 8, 70, 42, 18, texts::RiseToLabel());
  C riseEdit = Control(controls::编辑框_上涨至, ControlKind::kEditBox, 64, 65, 72, 23,
                       texts::DefaultRiseTo());
  C pairEdit =
      Control(controls::编辑框_货币对, ControlKind::kEditBox, 64, 36, 72, 23, texts::DefaultPair());
  C pairLabel = Control(controls::标签1, ControlKind::kLabel, 8, 41, 42, 18, texts::PairLabel());
  w.controls = {browser,   price,    type,      typeLabel, status,   button,
                fallLabel, fallEdit, riseLabel, riseEdit,  pairEdit, pairLabel};
  w.tabOrder = {controls::组合框_类型, controls::编辑框_货币对, controls::编辑框_上涨至,
                controls::编辑框_下跌至, controls::按钮1};
  w.onCreated = OnMainWindowCreated;
  return w;
}

void OnMainWindowCreated() {
  AlertFlag = 0;
  platform::Ui& ui = platform::TheUi();
  ui.SetInt(controls::组合框_类型, platform::kPropSelection, 3);
  text::Text welcome = T(texts::WelcomeLine1());
  welcome += texts::LineBreak();
  welcome += texts::WelcomeLine2();
  welcome += texts::LineBreak();
  welcome += texts::WelcomeLine3();
  ui.MessageBox(welcome, platform::kMbIconInformation, texts::WelcomeTitle());
}

int RunApplication() {
  platform::Application app;
  if (!app.LoadWindow(MainWindowDescription())) return 1;
  app.Run();
  return 0;
}
