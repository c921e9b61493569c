// Helpers for driving Qt headless from tests.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <functional>

#include "platform/run_loop.h"

namespace pomrel::qt::testing {

// Where the build lays out the bundle's resources (Pomrel.app/Contents/Resources).
inline const QString kBundleResources = QStringLiteral(POMREL_TEST_BUNDLE_RESOURCES);

// Runs the event loop until `done` answers true or `limit` has passed.
inline bool processEventsUntil(const std::function<bool()>& done,
                               std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() >= limit.count()) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
  }
  return true;
}

// Long enough for a readable descriptor to be noticed; used only before
// asserting that something did NOT happen, so a slow machine cannot fail it.
inline void settle() {
  processEventsUntil([] { return false; }, std::chrono::milliseconds(100));
}

// Once a modal window is up (from inside its own event loop), calls `act` with it.
inline void whenModal(std::function<void(QWidget*)> act) {
  QTimer::singleShot(0, qApp, [act = std::move(act)]() mutable {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      act(modal);
    } else {
      whenModal(std::move(act));
    }
  });
}

// A run-loop source over a pipe: readable while bytes are pending; performing
// it drains them and counts the call.
class PipeSource final : public RunLoopSource {
 public:
  PipeSource() {
    if (::pipe2(fds_, O_NONBLOCK | O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
  }
  ~PipeSource() override {
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  PipeSource(const PipeSource&) = delete;
  PipeSource& operator=(const PipeSource&) = delete;

  [[nodiscard]] int descriptor() const override { return fds_[0]; }
  void perform() override {
    char buffer[64];
    while (::read(fds_[0], buffer, sizeof buffer) > 0) {
    }
    ++performs;
    if (onPerform) onPerform();
  }
  void signal() const { [[maybe_unused]] const ssize_t written = ::write(fds_[1], "x", 1); }

  int performs = 0;
  std::function<void()> onPerform;

 private:
  int fds_[2] = {-1, -1};
};

}  // namespace pomrel::qt::testing
