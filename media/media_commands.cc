// The disable and enable commands of the status menu.
#include "app/app_controller.h"
#include "media/sxs_driver.h"

namespace pomrel {

namespace {

// Marks a command as running for as long as it exists.
class RunningCommand {
 public:
  explicit RunningCommand(bool& running) : running_(running) { running_ = true; }
  ~RunningCommand() { running_ = false; }
  RunningCommand(const RunningCommand&) = delete;
  RunningCommand& operator=(const RunningCommand&) = delete;

 private:
  bool& running_;
};

}  // namespace

bool AppController::beginMediaCommand() {
  platform_.application.activateIgnoringOtherApps(true);
  if (!fileIsExist(kSxSPluginPath)) {
    showAlert("MSG_NotInstall");
    return false;
  }
  if (m_AuthRef == nullptr) initAuthorization();
  // A cancelled or refused prompt ends the command silently.
  return m_AuthRef != nullptr;
}

// The administrator prompt and the alerts run nested event loops; a command
// sent from one of them while another runs is refused, as the two would
// otherwise act on the card and the authorization at once.
void AppController::disableMedia(void* /*sender*/) {
  if (m_CommandRunning) return;
  const RunningCommand running(m_CommandRunning);
  if (!beginMediaCommand()) return;
  // Unarmed from here on, so the watch cannot start a second disable while
  // the eject and the unload run.
  clearServiceNotification();
  if (!ejectDisk()) {
    registerServiceNotification();
    return;
  }
  // The disk is gone but a driver still running may yet touch the card:
  // the user must not pull it, and there is no media left to watch.
  if (!exec_kextunload()) {
    showAlert("MSG_UnloadFail");
    return;
  }
  showAlert("MSG_RemoveSafely");
}

void AppController::enableMedia(void* /*sender*/) {
  if (m_CommandRunning) return;
  const RunningCommand running(m_CommandRunning);
  if (!beginMediaCommand()) return;
  if (!getSxSDisk(nullptr)) exec_kextunload();
  exec_kextload();
  // The driver registers the card's media service about a second after the
  // load.
  platform_.clock.sleep(1);
  platform_.clock.usleep(10000);
  registerServiceNotification();
}

}  // namespace pomrel
