// Volume eject: the disk utility is run on the card's disk until the card
// media service has gone.
#include <string>
#include <string_view>
#include <vector>

#include "app/app_controller.h"
#include "media/sxs_driver.h"

namespace pomrel {

namespace {

// What the tool wrote to its standard error, read as text: it ends at the
// first NUL byte.
std::string_view errorText(const std::string& standardError) {
  const std::string_view bytes(standardError);
  return bytes.substr(0, bytes.find('\0'));
}

}  // namespace

bool AppController::ejectDisk() {
  for (int attempts = 0;; ++attempts) {
    char name[kBSDNameBufferSize];
    if (!getSxSDisk(name)) return true;
    // The card is still there after the last allowed run: give up the way a
    // reported failure does rather than run the tool for ever.
    if (attempts == kEjectAttemptLimit) break;

    const ProcessResult result =
        platform_.processes.run(kDiskUtilPath, {"eject", std::string(name)}, ejectToolTimeout_);
    if (!result.launched || result.timedOut) break;
    if (errorText(result.standardError).find(kEjectFailPhrase) != std::string_view::npos) break;
  }
  showAlert("MSG_EjectFail");
  return false;
}

}  // namespace pomrel
