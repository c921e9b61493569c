// The application's one run loop, as the core sees it: a place to install
// event sources. The desktop backend drives it from its event loop.
#pragma once

#include <cstdint>

namespace pomrel {

// A source of events delivered on the run loop's thread. A source is owned by
// whoever created it (for example a notification port); the run loop only
// refers to it while it is installed.
class RunLoopSource {
 public:
  virtual ~RunLoopSource() = default;

  // A file descriptor that becomes readable whenever `perform` has work to do.
  // Stays valid for as long as the source exists.
  [[nodiscard]] virtual int descriptor() const = 0;

  // Delivers every pending event to its callbacks. Called by the run loop
  // only while the source is installed and the loop runs in the source's
  // mode. A callback may remove this source from the run loop or destroy its
  // owner: `perform` must cope with both (it stops delivering and touches no
  // freed state).
  virtual void perform() = 0;
};

enum class RunLoopMode : std::uint8_t {
  // Delivered only while the loop waits for ordinary events: not while a menu
  // is being tracked, a modal alert or window is up, or the administrator
  // prompt is shown. Pending events are delivered once the loop is back in
  // this mode.
  kDefault,
};

inline constexpr RunLoopMode kCFRunLoopDefaultMode = RunLoopMode::kDefault;

class RunLoop {
 public:
  virtual ~RunLoop() = default;

  // Installs `source` in `mode`. Installing a source that is already
  // installed does nothing. Precondition: `source` outlives its installation.
  virtual void addSource(RunLoopSource* source, RunLoopMode mode) = 0;

  // Uninstalls `source`; after this returns it is never performed again.
  // Removing a source that is not installed does nothing. Safe to call from
  // inside the source's own `perform`.
  virtual void removeSource(RunLoopSource* source, RunLoopMode mode) = 0;
};

}  // namespace pomrel
