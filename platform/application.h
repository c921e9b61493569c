// The running application: bringing it forward and alert panels.
#pragma once

#include <string>

namespace pomrel {

class Application {
 public:
  virtual ~Application() = default;
  // Brings the application's windows to the front; with `ignoreOtherApps`
  // even when another application is active.
  virtual void activateIgnoringOtherApps(bool ignoreOtherApps) = 0;
  // Shows a modal alert with `title`, `message` and a single default button,
  // and returns once the user has dismissed it.
  virtual void runAlertPanel(const std::string& title, const std::string& message) = 0;
};

}  // namespace pomrel
