// Windows and controls loaded from the interface resource.
#pragma once

namespace pomrel {

// Check box states.
inline constexpr int NSControlStateValueMixed = -1;
inline constexpr int NSControlStateValueOff = 0;
inline constexpr int NSControlStateValueOn = 1;

class Button {
 public:
  virtual ~Button() = default;
  // One of the NSControlStateValue constants.
  [[nodiscard]] virtual int state() const = 0;
  virtual void setState(int state) = 0;
};

class Window {
 public:
  virtual ~Window() = default;
  // Centres the window on the screen.
  virtual void center() = 0;
  // Shows the window, in front, as the key window. `sender` is passed on
  // untouched and may be null.
  virtual void makeKeyAndOrderFront(void* sender) = 0;
  // Hides the window; it can be shown again.
  virtual void close() = 0;
};

}  // namespace pomrel
