#pragma once
// Runs the window thread's events until `done` answers true or the time is up.

#include <QCoreApplication>
#include <chrono>
#include <thread>

namespace testing_ui {

template <class Fn>
bool PumpUntil(Fn done, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace testing_ui
