// The controller's life cycle, its launch sequence, the status menu's
// validation and the dispatch of action messages by name.
#include "app/app_controller.h"

#include "media/sxs_driver.h"

namespace pomrel {

namespace {

constexpr const char* kStatusImageName = "Pomrel16mono";
constexpr std::string_view kDisableMediaAction = "disableMedia:";
constexpr std::string_view kEnableMediaAction = "enableMedia:";

// The actions the interface resource may send, by their selector text.
struct ActionEntry {
  std::string_view selector;
  void (AppController::*method)(void* sender);
};
constexpr ActionEntry kActions[] = {
    {kDisableMediaAction, &AppController::disableMedia},
    {kEnableMediaAction, &AppController::enableMedia},
    {"w0_OrderFront:", &AppController::w0_OrderFront},
    {"w0_Ok:", &AppController::w0_Ok},
    {"w0_Cancel:", &AppController::w0_Cancel},
};

const ActionEntry* findAction(std::string_view selector) {
  for (const ActionEntry& entry : kActions) {
    if (entry.selector == selector) return &entry;
  }
  return nullptr;
}

}  // namespace

AppController::AppController(Platform& platform) : platform_(platform) {
  g_NotifyPort = nullptr;
  g_NotifyContext = nullptr;
  g_MatchPort = nullptr;
  g_MatchNotification = 0;
  m_AuthRef = nullptr;
  m_LoginItems = std::make_unique<ZanLoginItems>(platform_.userDefaults, platform_.processInfo);
}

AppController::~AppController() {
  for (const auto& pending : m_PendingLoads) {
    platform_.runLoop.removeSource(pending.get(), kCFRunLoopDefaultMode);
  }
  m_PendingLoads.clear();
  clearMatchingNotification();
  clearServiceNotification();
  if (m_AuthRef != nullptr) {
    platform_.authorization.free(m_AuthRef, kAuthorizationFlagDestroyRights);
    m_AuthRef = nullptr;
  }
  if (m_StatusItem != nullptr) m_StatusItem.reset();
  if (m_LoginItems != nullptr) m_LoginItems.reset();
}

void AppController::applicationDidFinishLaunching(void* /*notification*/) {
  m_StatusItem = platform_.statusBar.statusItemWithLength(NSSquareStatusItemLength);
  m_StatusItem->setTitle("");
  m_StatusItem->setImage(platform_.bundle.imageNamed(kStatusImageName));
  m_StatusItem->setHighlightMode(true);
  m_StatusItem->setMenu(m0_StatusBar);
  loadUserDefaults();
  // Registered before the lookup, so that a card appearing in between is
  // watched either way.
  registerMatchingNotification();
  registerServiceNotification();
}

void AppController::applicationWillTerminate(void* /*notification*/) {}

bool AppController::validateMenuItem(const MenuItem& item) {
  const std::string action = item.action();
  const bool mediaCommand = action == kDisableMediaAction || action == kEnableMediaAction;
  if (mediaCommand && m_CommandRunning) return false;
  if (action == kDisableMediaAction && !getSxSDisk(nullptr)) return false;
  if (action == kEnableMediaAction && getSxSDisk(nullptr)) return false;
  return true;
}

bool AppController::respondsToSelector(std::string_view selector) {
  return findAction(selector) != nullptr;
}

void AppController::performSelector(std::string_view selector, void* sender) {
  if (const ActionEntry* entry = findAction(selector)) (this->*(entry->method))(sender);
}

void AppController::showAlert(const char* messageKey, const std::string& detail) {
  std::string message = platform_.bundle.localizedStringForKey(messageKey);
  if (!detail.empty()) message += "\n\n" + detail;
  platform_.application.runAlertPanel(platform_.bundle.localizedStringForKey("MSG_Title"), message);
}

}  // namespace pomrel
