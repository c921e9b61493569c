// Authorization on the simulated machine: the administrator right is granted
// to a session by checking an administrator's name and password against the
// machine's accounts, and a session holding it may start tools that the
// machine treats as privileged.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/authorization.h"
#include "platform/run_loop.h"
#include "platform/sim/credentials_prompt.h"
#include "platform/sim/machine_paths.h"

namespace pomrel::sim {

// The one right there is: kAuthorizationRightExecute
// ("system.privilege.admin"). Rights belong to their session alone (no
// credential is shared between sessions), so a session's rights end with it
// whatever the flags given to `free`. Asking for a right that is unknown is
// denied.
//
// A right not held is refused without kAuthorizationFlagExtendRights
// (errAuthorizationDenied) and without kAuthorizationFlagInteractionAllowed
// (errAuthorizationInteractionNotAllowed). With both, copyRights asks
// `prompt`, pre-filled with the running user's login name, at most three
// times; each password is wiped as soon as it has been checked. On a machine
// without administrator accounts it asks nothing and answers
// errAuthorizationRefusedByPolicy. The
// environment is not used: names and passwords come from the prompt only.
//
// executeWithPrivileges starts the tool at its path under the machine root
// with exactly the given arguments (argv[0] is the path as given), standard
// input from /dev/null, standard output inherited, standard error into a pipe
// that is read once the tool has ended (passed on to ours; its first line is
// the failure reason; a tool that fills the pipe blocks), no other
// descriptor, and only this environment: PATH=/usr/sbin:/usr/bin:/sbin:/bin,
// POMREL_MACHINE=<root>, POMREL_PRIVILEGE_TOKEN=<the machine's token>. The
// tool is a child of this process, reaped as soon as it ends: its end is a
// source on `runLoop` (when given, in the default mode), so a tool nobody
// waits for is not left defunct. A handle's exit descriptor is a process
// descriptor of its own. Without a run loop, or where the kernel
// offers no process descriptor, a tool whose handle has been dropped (or was
// never asked for) is reaped, without blocking, at each later call and in
// the destructor; one still running when this object is destroyed is left to
// run and is reaped by the system once this process ends.
//
// All calls belong to one thread, as the application's main loop makes them.
class SimAuthorization : public Authorization {
 public:
  // `runLoop`, if not null, must outlive this object and every handle it
  // gave out.
  SimAuthorization(const MachinePaths& paths, CredentialsPrompt& prompt,
                   RunLoop* runLoop = nullptr);
  ~SimAuthorization() override;
  SimAuthorization(const SimAuthorization&) = delete;
  SimAuthorization& operator=(const SimAuthorization&) = delete;

  OSStatus create(const AuthorizationRights* rights, const AuthorizationEnvironment* environment,
                  AuthorizationFlags flags, AuthorizationRef* authorization) override;
  OSStatus copyRights(AuthorizationRef authorization, const AuthorizationRights* rights,
                      const AuthorizationEnvironment* environment,
                      AuthorizationFlags flags) override;
  OSStatus executeWithPrivileges(AuthorizationRef authorization, const char* pathToTool,
                                 AuthorizationFlags options, char* const* arguments,
                                 std::unique_ptr<PrivilegedProcess>* process) override;
  OSStatus free(AuthorizationRef authorization, AuthorizationFlags flags) override;

 private:
  class Session;
  struct Child;
  class Handle;

  Session* find(AuthorizationRef authorization) const;
  OSStatus askForCredentials();
  void reapExitedChildren();

  MachinePaths paths_;
  CredentialsPrompt& prompt_;
  RunLoop* runLoop_;
  std::vector<std::unique_ptr<Session>> sessions_;
  std::vector<std::shared_ptr<Child>> children_;
};

}  // namespace pomrel::sim
