// Privileged driver control: the administrator right, obtained once and kept,
// and the kernel-extension tools run with it.
#include <string>

#include "app/app_controller.h"
#include "media/sxs_driver.h"

namespace pomrel {

namespace {

AuthorizationItem g_Rights[] = {{kAuthorizationRightExecute, 0, nullptr, 0}};
AuthorizationRights g_RightSet = {1, g_Rights};

// Named but empty: no name or password is ever supplied, so the check that
// uses it succeeds only for a right the prompt has already granted.
AuthorizationItem g_Environment[] = {{"username", 0, nullptr, 0}, {"password", 0, nullptr, 0}};
AuthorizationEnvironment g_EnvironmentSet = {2, g_Environment};

// The text that names why the prompt could not be shown; null for any other
// outcome (a dismissed or refused prompt is the user's own answer).
const char* promptFailureCause(OSStatus status) {
  switch (status) {
    case errAuthorizationNoPrompter:
      return "MSG_AuthFail_NoPrompter";
    case errAuthorizationNoAgent:
      return "MSG_AuthFail_NoAgent";
    case errAuthorizationRefusedByPolicy:
      return "MSG_AuthFail_Policy";
    case errAuthorizationServiceUnavailable:
      return "MSG_AuthFail_NoService";
    default:
      return nullptr;
  }
}

}  // namespace

OSStatus AppController::initAuthorization() {
  Authorization& authorization = platform_.authorization;
  // The prompt runs a nested event loop: until the right is granted the new
  // session stays out of m_AuthRef, so that nothing reached from that loop
  // takes it for an authorization that holds the right.
  AuthorizationRef made = nullptr;
  const OSStatus created =
      authorization.create(nullptr, nullptr, kAuthorizationFlagDefaults, &made);
  if (created != errAuthorizationSuccess || made == nullptr) {
    // Without a session there is nothing to ask a right for.
    if (made != nullptr) authorization.free(made, kAuthorizationFlagDestroyRights);
    return created != errAuthorizationSuccess ? created : errAuthorizationInvalidRef;
  }

  const OSStatus asked = authorization.copyRights(
      made, &g_RightSet, nullptr,
      kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights);
  const OSStatus status = authorization.copyRights(made, &g_RightSet, &g_EnvironmentSet,
                                                   kAuthorizationFlagExtendRights);
  if (status != errAuthorizationSuccess) {
    authorization.free(made, kAuthorizationFlagDestroyRights);
    // Without this the command would end with nothing on screen, as if the
    // click had been lost.
    if (const char* cause = promptFailureCause(asked)) {
      Bundle& bundle = platform_.bundle;
      platform_.application.runAlertPanel(bundle.localizedStringForKey("MSG_Title"),
                                          bundle.localizedStringForKey("MSG_AuthFail") + "\n\n" +
                                              bundle.localizedStringForKey(cause));
    }
    return status;
  }
  if (m_AuthRef != nullptr) authorization.free(m_AuthRef, kAuthorizationFlagDestroyRights);
  m_AuthRef = made;
  return status;
}

bool AppController::sudoCommand(const char* pathToTool, char* const* arguments,
                                std::unique_ptr<PrivilegedProcess>* process) {
  return platform_.authorization.executeWithPrivileges(m_AuthRef, pathToTool,
                                                       kAuthorizationFlagDefaults, arguments,
                                                       process) == errAuthorizationSuccess;
}

void AppController::LoadAnswer::perform() { controller_.takeLoadAnswers(); }

bool AppController::exec_kextload() {
  if (m_AuthRef == nullptr) return false;
  std::string plugin(kSxSPluginPath);
  char* const arguments[] = {plugin.data(), nullptr};
  std::unique_ptr<PrivilegedProcess> load;
  if (sudoCommand(kKextLoadPath, arguments, &load) && load != nullptr) {
    auto& pending =
        m_PendingLoads.emplace_back(std::make_unique<LoadAnswer>(*this, std::move(load)));
    // Without a descriptor its end is taken only after an unload's wait.
    if (pending->descriptor() >= 0) {
      platform_.runLoop.addSource(pending.get(), kCFRunLoopDefaultMode);
    }
  }
  return true;
}

void AppController::takeLoadAnswers() {
  // Taken off the list and the loop before any alert, whose event loop could
  // reach this again.
  std::vector<std::string> failures;
  std::erase_if(m_PendingLoads, [&](const std::unique_ptr<LoadAnswer>& pending) {
    PrivilegedProcess& load = pending->process();
    if (!load.waitUntilExit(std::chrono::milliseconds(0))) return false;
    if (load.terminationStatus() != 0) failures.push_back(load.failureReason());
    platform_.runLoop.removeSource(pending.get(), kCFRunLoopDefaultMode);
    return true;
  });
  for (const std::string& reason : failures) showAlert("MSG_LoadFail", reason);
}

bool AppController::exec_kextunload() {
  if (m_AuthRef == nullptr) return false;
  std::string plugin(kSxSPluginPath);
  char* const arguments[] = {plugin.data(), nullptr};
  std::unique_ptr<PrivilegedProcess> unload;
  // Waited for so that the plug-in is out before the card is declared safe
  // to remove or the plug-in is loaded again.
  if (!sudoCommand(kKextUnloadPath, arguments, &unload) || unload == nullptr) return false;
  const bool unloaded =
      unload->waitUntilExit(kKextUnloadWaitBound) && unload->terminationStatus() == 0;
  takeLoadAnswers();
  return unloaded;
}

bool AppController::fileIsExist(const std::string& path) {
  return platform_.fileManager.fileExistsAtPath(path);
}

}  // namespace pomrel
