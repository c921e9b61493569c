// The running application over QApplication: bringing it forward and alert
// panels.
#pragma once

#include "platform/application.h"
#include "platform/qt/qt_run_loop.h"

namespace pomrel::qt {

class QtApplication final : public Application {
 public:
  // The object name of the alert's message box, for tests and tools that
  // look for it.
  static constexpr const char* kAlertObjectName = "pomrel_alert";

  // `runLoop` (may be null) leaves its default mode while an alert is up.
  explicit QtApplication(QtRunLoop* runLoop);

  // Raises and activates every visible window of the application.
  void activateIgnoringOtherApps(bool ignoreOtherApps) override;

  // A modal message box with `title` as its window title, `message` as its
  // text and one default OK button; returns once it has been dismissed.
  void runAlertPanel(const std::string& title, const std::string& message) override;

 private:
  QtRunLoop* runLoop_;
};

}  // namespace pomrel::qt
