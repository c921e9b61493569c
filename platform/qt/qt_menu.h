// Menus of the interface resource, as the core sees them.
#pragma once

#include <QAction>
#include <QMenu>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <memory>
#include <vector>

#include "platform/menu.h"
#include "platform/qt/qt_run_loop.h"

namespace pomrel::qt {

// A menu item over a QAction. Its action in selector form comes from the
// action's dynamic property "action".
class QtMenuItem final : public MenuItem {
 public:
  // `validated`: whether the item's target is the menu's validator, so that
  // the validator decides its enabled state each time the menu opens.
  QtMenuItem(QAction* action, bool validated);

  [[nodiscard]] std::string action() const override;
  [[nodiscard]] bool isEnabled() const override;
  void setEnabled(bool enabled) override;

  [[nodiscard]] bool isValidated() const { return validated_; }
  void setValidated(bool validated) { validated_ = validated; }
  [[nodiscard]] QAction* qAction() const { return action_; }

 private:
  QPointer<QAction> action_;
  bool validated_;
};

// A menu over a QMenu. Each time the menu is about to show, whether as its
// own window or drawn by a desktop's status notifier host from its D-Bus
// export, every item whose target is the validator is enabled exactly when
// the validator says so.
//
// The run loop is out of its default mode while the menu's own window is on
// screen, and only then. A host that draws the menu says when it is about to
// show it but need not say when it closed it (some hosts never do), so a
// host-drawn menu holds no message back: waiting for its closing could hold
// the removal watch back for good.
class QtMenu final : public QObject, public Menu {
 public:
  // `runLoop` may be null. The items are the menu's actions other than
  // separators and submenus, in order.
  QtMenu(QMenu* menu, QtRunLoop* runLoop);
  ~QtMenu() override;
  QtMenu(const QtMenu&) = delete;
  QtMenu& operator=(const QtMenu&) = delete;

  // Not owned; null leaves every item as it is.
  void setValidator(MenuValidator* validator) { validator_ = validator; }

  // Runs the validation now; the menu does so itself before it shows.
  void validate();

  [[nodiscard]] QMenu* qMenu() const { return menu_; }
  [[nodiscard]] const std::vector<std::unique_ptr<QtMenuItem>>& items() const { return items_; }
  [[nodiscard]] QtMenuItem* itemFor(const QAction* action) const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void windowShown();
  void windowHidden();

  QPointer<QMenu> menu_;
  QtRunLoop* runLoop_;
  MenuValidator* validator_ = nullptr;
  std::vector<std::unique_ptr<QtMenuItem>> items_;
  bool holdingMode_ = false;
  QMetaObject::Connection showConnection_;
};

}  // namespace pomrel::qt
