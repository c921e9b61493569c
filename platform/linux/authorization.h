// Authorization on a Linux desktop: the administrator right is the running
// privileged helper pomrel-driverctl, started through pkexec, whose polkit
// agent is the desktop's own administrator prompt.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "platform/authorization.h"
#include "platform/linux/pkexec_helper.h"

namespace pomrel::host {

inline constexpr const char* kPkexecPath = "/usr/bin/pkexec";

// create makes a session and asks nothing. copyRights for
// kAuthorizationRightExecute ("system.privilege.admin") with
// kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights runs
// `pkexec <helper>` once per session (the prompt); the session holds the
// right while that helper runs. Without interaction only a held right is
// granted (errAuthorizationInteractionNotAllowed otherwise; without
// kAuthorizationFlagExtendRights errAuthorizationDenied). Any other right is
// denied. pkexec's outcomes are those of startPkexecHelper
// (platform/linux/pkexec_helper.h).
//
// executeWithPrivileges serves exactly two tools: "/sbin/kextload" and
// "/sbin/kextunload" with the one argument `pluginPath`. It sends the
// helper's "load" or "unload" request and returns at once; the process handle
// waits for the helper's answer, whose termination status is 0 for "ok" and
// 1 for an error (its reason the failure reason, also written to
// `diagnostics`), -1 if the helper ended without answering. The helper
// answers in turn, so waiting for one answer takes in those before it; each
// handle's exit descriptor watches the helper's socket (readable while an
// answer waits to be read, and once the helper has ended).
// Anything else is errAuthorizationToolExecuteFailure and sends nothing. A
// helper that has ended meanwhile (it ends when idle for long) is started
// again through pkexec, which may ask again.
//
// free closes the helper's input, which ends it; it is reaped then, or at a
// later call or the destructor if it is still busy. All calls belong to one
// thread.
class HostAuthorization : public Authorization {
 public:
  HostAuthorization(std::string helperPath, std::string pluginPath, Diagnostics diagnostics,
                    std::string pkexecPath = kPkexecPath);
  ~HostAuthorization() override;
  HostAuthorization(const HostAuthorization&) = delete;
  HostAuthorization& operator=(const HostAuthorization&) = delete;

  OSStatus create(const AuthorizationRights* rights, const AuthorizationEnvironment* environment,
                  AuthorizationFlags flags, AuthorizationRef* authorization) override;
  OSStatus copyRights(AuthorizationRef authorization, const AuthorizationRights* rights,
                      const AuthorizationEnvironment* environment,
                      AuthorizationFlags flags) override;
  OSStatus executeWithPrivileges(AuthorizationRef authorization, const char* pathToTool,
                                 AuthorizationFlags options, char* const* arguments,
                                 std::unique_ptr<PrivilegedProcess>* process) override;
  OSStatus free(AuthorizationRef authorization, AuthorizationFlags flags) override;

  // The helper's process id while `authorization` holds the right, else -1.
  [[nodiscard]] pid_t helperPid(AuthorizationRef authorization) const;

 private:
  class Session;
  class Answer;

  Session* find(AuthorizationRef authorization) const;
  OSStatus startHelper(Session& session);
  void reapEndedHelpers();

  std::string helperPath_;
  std::string pluginPath_;
  Diagnostics diagnostics_;
  std::string pkexecPath_;
  std::vector<std::unique_ptr<Session>> sessions_;
  // Helpers of freed sessions that had not ended yet.
  std::vector<std::shared_ptr<PkexecHelper>> ending_;
};

}  // namespace pomrel::host
