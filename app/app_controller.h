// The application controller: the application's delegate and the owner of
// all of its state. Its operations are spread over app/ (launch, menu
// validation, preferences) and media/ (card lookup, removal watch, eject,
// privileged driver control, the two commands).
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "loginitems/zan_login_items.h"
#include "media/media_bounds.h"
#include "media/removal_watch.h"
#include "platform/platform.h"
#include "platform/window.h"

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
  // Creates the status item with the status menu, loads the settings,
  // registers for the card media service's appearance and arms the removal
  // watch.
  void applicationDidFinishLaunching(void* notification);
  void applicationWillTerminate(void* notification);

  // --- Menu validation ---
  // False for "disableMedia:" while no card media is present, for
  // "enableMedia:" while it is, and for both while one of them is running;
  // true for every other action.
  bool validateMenuItem(const MenuItem& item) override;

  // --- Actions, by their selector text ---
  // Whether `selector` (such as "disableMedia:") names an action of the
  // controller.
  static bool respondsToSelector(std::string_view selector);
  // Sends the action `selector` with `sender`. Precondition:
  // respondsToSelector(selector).
  void performSelector(std::string_view selector, void* sender);

  // --- Preferences ---
  // Reads the launch-at-login setting ("AddLoginItem", false when absent).
  void loadUserDefaults();
  // Brings the login window's list in line with the setting, then stores it.
  void saveUserDefaults();
  // Opens the preferences window with the checkbox showing the setting.
  void w0_OrderFront(void* sender);
  // Closes the window and saves the checkbox's state as the setting; the
  // mixed state counts as ticked.
  void w0_Ok(void* sender);
  // Closes the window; the setting is unchanged.
  void w0_Cancel(void* sender);

  // --- Card media lookup ---
  // True when the card media service exists and its BSD name fits; then, if
  // `name` is not null, its 256 bytes hold the name, a NUL and zeros. False
  // otherwise, with `name` untouched. Precondition: `name` is null or points
  // to kBSDNameBufferSize writable bytes.
  bool getSxSDisk(char* name);

  // --- Removal watch ---
  // True when a new watch on the card media service has been armed; false
  // when one is armed already or none could be (no card, or the registry
  // refused), in which case nothing of the attempt is left behind.
  bool registerServiceNotification();
  // Disarms the watch, if any: after it returns the callback is never
  // entered for that watch again.
  void clearServiceNotification();
  // The reaction to the card media service's termination: clears the watch,
  // then runs the disable command.
  void completeDeviceNotification();
  // Registers for the appearance of a card media service (its first match),
  // so that every card that appears is watched. True when newly registered;
  // false when registered already or the registry refused, leaving nothing.
  bool registerMatchingNotification();
  // Ends that registration, if any.
  void clearMatchingNotification();
  // The reaction to a card media service that appeared: arms the removal
  // watch, unless a command is running.
  void serviceAppeared();

  // --- Eject ---
  // True when no card media service is left; false after the user was shown
  // why not: the message for the cause the disk utility reported (see
  // media/eject_report.h), or else "MSG_EjectFail" when it reported "Volume
  // failed to eject" (followed by the programs it named as holding the
  // card), could not be started, ran longer than the tool timeout, or the
  // card stayed through kEjectAttemptLimit runs. A cause ends the eject at
  // once.
  bool ejectDisk();
  // The longest one disk utility run may take (kEjectToolTimeout unless set).
  void setEjectToolTimeout(std::chrono::milliseconds timeout) { ejectToolTimeout_ = timeout; }

  // --- Privileged driver control ---
  // Obtains the administrator right, prompting the user, and only once it is
  // granted stores the authorization in m_AuthRef (which is untouched
  // until then, the prompt included). Returns the status of the
  // non-interactive check of the right; unless it is 0 the new authorization
  // has been freed, and when the prompt could not be shown at all the user
  // has been shown "MSG_AuthFail" with its cause. When no authorization
  // could be created, returns that failure without asking for any right.
  OSStatus initAuthorization();
  // True when the tool was started with administrator rights; returns once
  // it has started. `arguments` is null-terminated. When `process` is not
  // null it receives the handle with which to wait for the tool.
  bool sudoCommand(const char* pathToTool, char* const* arguments,
                   std::unique_ptr<PrivilegedProcess>* process = nullptr);
  // Starts the load tool on the driver plug-in and returns at once, not
  // waiting for it. False only without authorization (then nothing is run).
  // Its end is taken on the run loop when it comes (takeLoadAnswers).
  bool exec_kextload();
  // Takes the end of each load still pending whose tool has ended, without
  // waiting: a load that failed is shown as "MSG_LoadFail" followed by the
  // tool's reason.
  void takeLoadAnswers();
  // Runs the unload tool on the driver plug-in and waits for it, at most
  // kKextUnloadWaitBound. True when it finished with status 0, so the
  // plug-in is out; false without authorization (then nothing is run), or
  // when the tool could not be started, failed, or was still running at the
  // bound (it is left running). A load still pending is not waited for on
  // its own: the unload follows it (the helper answers in turn, so its wait
  // takes the load's end in on the way) and its end is taken right after
  // the unload's wait, so a Stop or Start chosen while a load is pending
  // waits no longer than the unload's bound and loses no answer.
  bool exec_kextunload();
  // Whether anything exists at `path`.
  bool fileIsExist(const std::string& path);

  // --- Commands ---
  // Each does nothing when sent while one of the two is running (from the
  // nested event loop of its prompt or alerts).
  // Ejects the card's disk, unloads the driver plug-in and tells the user
  // that the card can be removed ("MSG_RemoveSafely"), or, when the plug-in
  // could not be unloaded, that the card must stay in ("MSG_UnloadFail").
  void disableMedia(void* sender);
  // Loads the driver plug-in and re-arms the removal watch.
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
  friend void DeviceNotification(void* refcon, io_service_t service, natural_t messageType,
                                 void* messageArgument);

  // Shows the alert with title "MSG_Title" and the message of `messageKey`,
  // followed by `detail` in a paragraph of its own when there is one.
  void showAlert(const char* messageKey, const std::string& detail = {});
  class LoadAnswer;

  // The opening shared by the two commands: brings the application forward,
  // shows "MSG_NotInstall" when the driver's plug-in is missing, and obtains
  // the administrator right if none is held. True when the command may go on.
  bool beginMediaCommand();

  std::shared_ptr<StatusItem> m_StatusItem;
  bool m_IsAddLoginItem = false;
  AuthorizationRef m_AuthRef = nullptr;
  std::unique_ptr<ZanLoginItems> m_LoginItems;
  // Whether disableMedia or enableMedia is running.
  bool m_CommandRunning = false;
  // The loads started and not yet ended, each a source on the run loop.
  std::vector<std::unique_ptr<LoadAnswer>> m_PendingLoads;

  Platform& platform_;
  std::chrono::milliseconds ejectToolTimeout_ = kEjectToolTimeout;
};

// A started load, watched on the run loop until its tool has ended.
class AppController::LoadAnswer final : public RunLoopSource {
 public:
  LoadAnswer(AppController& controller, std::unique_ptr<PrivilegedProcess> process)
      : controller_(controller), process_(std::move(process)) {}
  [[nodiscard]] int descriptor() const override { return process_->exitDescriptor(); }
  // Takes the ended loads' answers, which may destroy this source: nothing
  // of it is touched after.
  void perform() override;
  [[nodiscard]] PrivilegedProcess& process() const { return *process_; }

 private:
  AppController& controller_;
  std::unique_ptr<PrivilegedProcess> process_;
};

}  // namespace pomrel
