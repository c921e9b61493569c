// The disable and enable commands of the status menu.
#include "app/app_controller.h"
#include "media/sxs_driver.h"

namespace pomrel {

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

void AppController::disableMedia(void* /*sender*/) {
  if (!beginMediaCommand()) return;
  // Unarmed from here on, so the watch cannot start a second disable while
  // the eject and the unload run.
  clearServiceNotification();
  if (!ejectDisk()) {
    registerServiceNotification();
    return;
  }
  exec_kextunload();
  showAlert("MSG_RemoveSafely");
}

void AppController::enableMedia(void* /*sender*/) {
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
