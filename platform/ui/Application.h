#pragma once
// The window toolkit for the life of one object, on the thread that creates
// it (the window thread). Creating it makes the run directory the current
// directory and installs the window and sound services behind TheUi() and
// TheSound(); destroying it ends and joins the workers that still run (a
// bounded wait) before the toolkit is torn down.

#include <memory>

#include "platform/ui/Window.h"

namespace platform {

class Application {
 public:
  Application();
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // Creates the window hidden, then its controls; runs the created handler;
  // then shows it. False when the window could not be built.
  bool LoadWindow(const WindowDesc& desc);

  // The message loop: returns when the program's last window has closed.
  int Run();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
