// Helpers for driving Qt headless from tests.
#pragma once

#include <sys/eventfd.h>

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <functional>

#include "platform/posix/process_runner.h"
#include "platform/run_loop.h"

namespace pomrel::qt::testing {

// Where the build lays out the bundle's resources (Pomrel.app/Contents/Resources).
inline const QString kBundleResources = QStringLiteral(POMREL_TEST_BUNDLE_RESOURCES);

// Long enough for a readable descriptor to be noticed; used only before
// asserting that something did NOT happen, so a slow machine cannot fail it.
inline void settle() { QTest::qWait(100); }

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

// A run-loop source over an eventfd: readable once signalled; performing it
// drains it and counts the call.
class TestSource final : public RunLoopSource {
 public:
  [[nodiscard]] int descriptor() const override { return fd_.get(); }
  void perform() override {
    eventfd_t value = 0;
    ::eventfd_read(fd_.get(), &value);
    ++performs;
    if (onPerform) onPerform();
  }
  void signal() const { ::eventfd_write(fd_.get(), 1); }

  int performs = 0;
  std::function<void()> onPerform;

 private:
  posix::UniqueFd fd_{::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
};

}  // namespace pomrel::qt::testing
