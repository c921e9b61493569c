// Menus and their items, as loaded from the interface resource.
#pragma once

#include <string>

namespace pomrel {

class MenuItem {
 public:
  virtual ~MenuItem() = default;

  // The item's action as text in selector form, with its trailing colon
  // ("disableMedia:"); empty when the item has no action.
  [[nodiscard]] virtual std::string action() const = 0;

  [[nodiscard]] virtual bool isEnabled() const = 0;
  virtual void setEnabled(bool enabled) = 0;
};

// A menu built by the interface loader. Before the menu shows, the backend
// asks the menu's validator about every item whose target is the validator
// and enables the item exactly when the answer is true.
class Menu {
 public:
  virtual ~Menu() = default;
};

class MenuValidator {
 public:
  virtual ~MenuValidator() = default;
  // Whether `item` is enabled for this opening of the menu.
  virtual bool validateMenuItem(const MenuItem& item) = 0;
};

}  // namespace pomrel
