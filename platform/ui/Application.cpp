#include "platform/ui/Application.h"

#include <QApplication>
#include <QWidget>
#include <cstdio>
#include <cstdlib>

#include "platform/sound/SdlSound.h"
#include "platform/sys/RunDir.h"
#include "platform/thread/Thread.h"
#include "platform/ui/QtUi.h"

namespace platform {
namespace {

// Workers get this long to leave when the program ends.
constexpr std::chrono::milliseconds kWorkerExitWait{3000};
// The default user-interface font's character height.
constexpr int kDefaultFontPixels = 12;

}  // namespace

struct Application::Impl {
  int argc = 1;
  char arg0[8] = "zantrel";
  char* argv[2] = {arg0, nullptr};
  std::unique_ptr<QApplication> app;
  std::unique_ptr<QtUi> ui;
  std::unique_ptr<Sound> sound;
};

Application::Application() : impl_(std::make_unique<Impl>()) {
  EnterRunDirectory();
  impl_->app = std::make_unique<QApplication>(impl_->argc, impl_->argv);
  QFont font = QApplication::font();
  font.setPixelSize(kDefaultFontPixels);
  QApplication::setFont(font);
  impl_->ui = std::make_unique<QtUi>();
  InstallUi(impl_->ui.get());
  impl_->sound = MakeSdlSound();
  InstallSound(impl_->sound.get());
  SetThreadEventPump([] { QCoreApplication::processEvents(QEventLoop::AllEvents); });
}

Application::~Application() {
  if (EndAllThreads(kWorkerExitWait) > 0) {
    // A worker that did not leave would touch the toolkit while it is torn
    // down; end the process without tearing anything down.
    std::fflush(nullptr);
    std::_Exit(0);
  }
  SetThreadEventPump({});
  InstallSound(nullptr);
  impl_->sound.reset();
  InstallUi(nullptr);
  impl_->ui.reset();
  impl_->app.reset();
}

bool Application::LoadWindow(const WindowDesc& desc) {
  // The welcome box may be the only window for a while: closing it must not
  // end the program.
  QApplication::setQuitOnLastWindowClosed(false);
  QWidget* window = impl_->ui->Build(desc);
  if (!window) {
    std::fprintf(stderr, "zantrel: the window could not be built\n");
    QApplication::setQuitOnLastWindowClosed(true);
    return false;
  }
  QPointer<QWidget> guard(window);
  if (desc.onCreated) {
    try {
      desc.onCreated();
    } catch (...) {
    }
  }
  if (guard) impl_->ui->Show(window, desc);
  QApplication::setQuitOnLastWindowClosed(true);
  return guard != nullptr;
}

int Application::Run() { return QApplication::exec(); }

}  // namespace platform
