// The dialog driver: a test drives the updater window with the event loop
// run until a condition holds, and a file picker that answers from a script.
#pragma once

#include <QCoreApplication>
#include <QString>
#include <chrono>
#include <functional>
#include <thread>

#include "CUpdaterDlg.h"

namespace fwflash::testing {

// Runs the event loop until `done` holds, `seconds` at most.
template <typename Pred>
bool waitUntil(Pred done, int seconds = 30) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    // Sleep between rounds: a spinning test thread would starve the
    // device and client threads of this process on a loaded machine.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Offers `next` when it is set (else the user cancels), and remembers what
// the dialog proposed.
struct ScriptedPicker : FilePicker {
  void pick(QWidget*, const QString& current, std::function<void(const QString&)> chosen) override {
    offered = current;
    if (!next.isEmpty()) chosen(next);
  }
  QString next;
  QString offered;
};

}  // namespace fwflash::testing
