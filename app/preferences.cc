// The launch-at-login setting: stored in the application's user defaults,
// applied to the login window's list, and edited in the preferences window.
#include <memory>

#include "app/app_controller.h"
#include "platform/window.h"

namespace pomrel {

namespace {

constexpr const char* kAddLoginItemKey = "AddLoginItem";

}  // namespace

void AppController::loadUserDefaults() {
  m_IsAddLoginItem = platform_.userDefaults.standardUserDefaults()->boolForKey(kAddLoginItemKey);
}

void AppController::saveUserDefaults() {
  if (m_IsAddLoginItem && !m_LoginItems->isInStartupItems()) m_LoginItems->addToStartupItems();
  if (!m_IsAddLoginItem && m_LoginItems->isInStartupItems()) {
    m_LoginItems->removeFromStartupItems();
  }
  const std::shared_ptr<UserDefaults> defaults = platform_.userDefaults.standardUserDefaults();
  defaults->setBoolForKey(m_IsAddLoginItem, kAddLoginItemKey);
  defaults->synchronize();
}

// The outlets are filled by the interface loader; a missing one is skipped,
// as a message to nothing would be.
void AppController::w0_OrderFront(void* sender) {
  if (w0_LoginItem != nullptr) {
    w0_LoginItem->setState(m_IsAddLoginItem ? NSControlStateValueOn : NSControlStateValueOff);
  }
  platform_.application.activateIgnoringOtherApps(true);
  if (w0_Window != nullptr) {
    w0_Window->center();
    w0_Window->makeKeyAndOrderFront(sender);
  }
}

void AppController::w0_Ok(void* /*sender*/) {
  if (w0_Window != nullptr) w0_Window->close();
  // The mixed state counts as ticked.
  m_IsAddLoginItem = w0_LoginItem != nullptr && w0_LoginItem->state() != NSControlStateValueOff;
  saveUserDefaults();
}

void AppController::w0_Cancel(void* /*sender*/) {
  if (w0_Window != nullptr) w0_Window->close();
}

}  // namespace pomrel
