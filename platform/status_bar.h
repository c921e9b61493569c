// The system status bar and its items.
#pragma once

#include <memory>
#include <string>

#include "platform/bundle.h"
#include "platform/menu.h"

namespace pomrel {

// The length of a status item that is exactly as wide as the bar is high.
inline constexpr double NSSquareStatusItemLength = -2.0;

// An item in the status bar. It exists (and shows) for as long as a reference
// to it is held.
class StatusItem {
 public:
  virtual ~StatusItem() = default;

  [[nodiscard]] virtual double length() const = 0;
  virtual void setTitle(const std::string& title) = 0;
  // A null image leaves the item without an image.
  virtual void setImage(std::shared_ptr<Image> image) = 0;
  // Whether the item highlights while its menu is open.
  virtual void setHighlightMode(bool highlight) = 0;
  // The menu that a click opens; not owned, must outlive the item.
  virtual void setMenu(Menu* menu) = 0;
};

class StatusBar {
 public:
  virtual ~StatusBar() = default;
  // A new item of `length` (for example NSSquareStatusItemLength), never null.
  virtual std::shared_ptr<StatusItem> statusItemWithLength(double length) = 0;
};

}  // namespace pomrel
