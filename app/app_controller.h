// The application controller: the application's delegate and the owner of
// all of its state. Its operations are spread over app/ (launch, menu
// validation, preferences) and media/ (card lookup, removal watch, eject,
// privileged driver control, the two commands).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "loginitems/zan_login_items.h"
#include "platform/platform.h"

namespace pomrel {

// The removal watch's notification port; null whenever no watch is armed.
extern IONotificationPortRef g_NotifyPort;

class AppController : public MenuValidator {
 public:
  // init: clears the watch and authorization state and creates the login
  // items store.
  explicit AppController(Platform& platform);
  // dealloc: clears the watch, frees the authorization with its rights
  // destroyed, drops the status item and the login items store.
  ~AppController() override;
  AppController(const AppController&) = delete;
  AppController& operator=(const AppController&) = delete;

  // --- Application delegate ---
  // Creates the status item with the status menu, loads the settings and
  // arms the removal watch.
  void applicationDidFinishLaunching(void* notification);
  void applicationWillTerminate(void* notification);

  // --- Menu validation ---
  // False for "disableMedia:" while no card media is present and for
  // "enableMedia:" while it is; true for every other action.
  bool validateMenuItem(const MenuItem& item) override;

  // --- Actions, by their selector text ---
  // Whether `selector` (such as "disableMedia:") names an action of the
  // controller.
  static bool respondsToSelector(std::string_view selector);
  // Sends the action `selector` with `sender`. Precondition:
  // respondsToSelector(selector).
  void performSelector(std::string_view selector, void* sender);

  // --- Preferences ---
  void loadUserDefaults();
  void saveUserDefaults();
  void w0_OrderFront(void* sender);
  void w0_Ok(void* sender);
  void w0_Cancel(void* sender);

  // --- Card media lookup ---
  // True when the card media service exists and its BSD name fits; then, if
  // `name` is not null, its 256 bytes hold the name, a NUL and zeros. False
  // otherwise, with `name` untouched. Precondition: `name` is null or points
  // to kBSDNameBufferSize writable bytes.
  bool getSxSDisk(char* name);

  // --- Removal watch ---
  // True when a new watch on the card media service has been armed; false
  // when one is armed already or none could be (no card).
  bool registerServiceNotification();
  void clearServiceNotification();
  // The reaction to the card media service's termination.
  void completeDeviceNotification();

  // --- Eject ---
  // True when no card media service is left; false after the user was shown
  // "MSG_EjectFail".
  bool ejectDisk();

  // --- Privileged driver control ---
  OSStatus initAuthorization();
  // True when the tool was started with administrator rights. `arguments`
  // is null-terminated.
  bool sudoCommand(const char* pathToTool, char* const* arguments);
  // False only without authorization.
  bool exec_kextload();
  bool exec_kextunload();
  bool fileIsExist(const std::string& path);

  // --- Commands ---
  void disableMedia(void* sender);
  void enableMedia(void* sender);

  // Outlets, connected by the interface loader; not owned.
  Menu* m0_StatusBar = nullptr;
  Button* w0_LoginItem = nullptr;
  Window* w0_Window = nullptr;

  // State, readable for inspection.
  [[nodiscard]] const std::shared_ptr<StatusItem>& statusItem() const { return m_StatusItem; }
  [[nodiscard]] bool isAddLoginItem() const { return m_IsAddLoginItem; }
  [[nodiscard]] AuthorizationRef authRef() const { return m_AuthRef; }
  [[nodiscard]] ZanLoginItems* loginItems() const { return m_LoginItems.get(); }

 private:
  // Shows the alert with title "MSG_Title" and the message of `messageKey`.
  void showAlert(const char* messageKey);

  std::shared_ptr<StatusItem> m_StatusItem;
  bool m_IsAddLoginItem = false;
  AuthorizationRef m_AuthRef = nullptr;
  std::unique_ptr<ZanLoginItems> m_LoginItems;

  Platform& platform_;
};

}  // namespace pomrel
