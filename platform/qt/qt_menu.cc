#include "platform/qt/qt_menu.h"

#include <QAction>
#include <QEvent>
#include <QMenu>

namespace pomrel::qt {

QtMenuItem::QtMenuItem(QAction* action, bool validated) : action_(action), validated_(validated) {}

std::string QtMenuItem::action() const {
  if (action_ == nullptr) return {};
  return action_->property("action").toString().toStdString();
}

bool QtMenuItem::isEnabled() const { return action_ != nullptr && action_->isEnabled(); }

void QtMenuItem::setEnabled(bool enabled) {
  if (action_ != nullptr) action_->setEnabled(enabled);
}

QtMenu::QtMenu(QMenu* menu, QtRunLoop* runLoop) : menu_(menu), runLoop_(runLoop) {
  for (QAction* action : menu->actions()) {
    if (action->isSeparator() || action->menu() != nullptr) continue;
    items_.push_back(std::make_unique<QtMenuItem>(action, false));
  }
  // Qt emits aboutToShow both before it shows the menu's window and when a
  // host announces that it is about to draw the menu.
  showConnection_ = connect(menu, &QMenu::aboutToShow, this, [this] { validate(); });
  menu->installEventFilter(this);
}

QtMenu::~QtMenu() {
  disconnect(showConnection_);
  if (menu_ != nullptr) menu_->removeEventFilter(this);
  windowHidden();
}

QtMenuItem* QtMenu::itemFor(const QAction* action) const {
  for (const auto& item : items_) {
    if (item->qAction() == action) return item.get();
  }
  return nullptr;
}

void QtMenu::validate() {
  if (validator_ == nullptr) return;
  for (const auto& item : items_) {
    if (item->isValidated()) item->setEnabled(validator_->validateMenuItem(*item));
  }
}

bool QtMenu::eventFilter(QObject* watched, QEvent* event) {
  if (watched == menu_ && event->type() == QEvent::Show) windowShown();
  if (watched == menu_ && event->type() == QEvent::Hide) windowHidden();
  return QObject::eventFilter(watched, event);
}

void QtMenu::windowShown() {
  if (!holdingMode_ && runLoop_ != nullptr) {
    runLoop_->enterNonDefaultMode();
    holdingMode_ = true;
  }
}

void QtMenu::windowHidden() {
  if (holdingMode_) {
    holdingMode_ = false;
    runLoop_->leaveNonDefaultMode();
  }
}

}  // namespace pomrel::qt
