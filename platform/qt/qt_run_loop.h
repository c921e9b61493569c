// The application's run loop over Qt's event loop.
#pragma once

#include <QObject>
#include <vector>

#include "platform/run_loop.h"

class QSocketNotifier;

namespace pomrel::qt {

// Delivers each installed source from Qt's event loop as soon as its
// descriptor becomes readable, with no polling, timer or thread of its own.
//
// The loop leaves its default mode while a status menu is open, a modal
// alert is up or the administrator prompt is shown: the parts of the front
// end that run those call enterNonDefaultMode / leaveNonDefaultMode (or hold a
// NonDefaultModeScope). Meanwhile no source is performed; a source that
// became readable is performed once the loop is back in its default mode,
// because its descriptor is still readable then.
//
// Main thread only.
class QtRunLoop final : public RunLoop {
 public:
  QtRunLoop();
  ~QtRunLoop() override;
  QtRunLoop(const QtRunLoop&) = delete;
  QtRunLoop& operator=(const QtRunLoop&) = delete;

  void addSource(RunLoopSource* source, RunLoopMode mode) override;
  void removeSource(RunLoopSource* source, RunLoopMode mode) override;

  // Nested: the loop is back in its default mode when every enter has been
  // matched by a leave. A leave without an enter does nothing.
  void enterNonDefaultMode();
  void leaveNonDefaultMode();
  [[nodiscard]] bool inDefaultMode() const { return nonDefaultDepth_ == 0; }

  [[nodiscard]] std::size_t sourceCount() const { return installed_.size(); }

 private:
  struct Installed {
    RunLoopSource* source;
    QSocketNotifier* notifier;
  };

  void deliver(RunLoopSource* source, QSocketNotifier* notifier);
  void setNotifiersEnabled(bool enabled);

  // Parent of the notifiers, so that one removed from inside its own
  // delivery (and so deleted later) is still freed with the loop.
  QObject notifierOwner_;
  std::vector<Installed> installed_;
  int nonDefaultDepth_ = 0;
};

// Holds `runLoop` (which may be null) out of its default mode for the
// scope's lifetime.
class NonDefaultModeScope {
 public:
  explicit NonDefaultModeScope(QtRunLoop* runLoop) : runLoop_(runLoop) {
    if (runLoop_ != nullptr) runLoop_->enterNonDefaultMode();
  }
  ~NonDefaultModeScope() {
    if (runLoop_ != nullptr) runLoop_->leaveNonDefaultMode();
  }
  NonDefaultModeScope(const NonDefaultModeScope&) = delete;
  NonDefaultModeScope& operator=(const NonDefaultModeScope&) = delete;

 private:
  QtRunLoop* runLoop_;
};

}  // namespace pomrel::qt
