#include "platform/linux/authorization.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/linux/driverctl_protocol.h"

namespace pomrel::host {

namespace {

constexpr const char* kLoadTool = "/sbin/kextload";
constexpr const char* kUnloadTool = "/sbin/kextunload";

bool hasFlag(AuthorizationFlags flags, AuthorizationFlags flag) { return (flags & flag) == flag; }

}  // namespace

class HostAuthorization::Session : public AuthorizationSession {
 public:
  // Set while the session holds the right: the running helper.
  std::shared_ptr<PkexecHelper> helper;
};

// The end of one request: the helper's answer to it.
class HostAuthorization::Answer : public PrivilegedProcess {
 public:
  Answer(std::shared_ptr<PkexecHelper> helper, std::uint64_t sequence)
      : helper_(std::move(helper)), sequence_(sequence), watch_(helper_->watchAnswers()) {}
  bool waitUntilExit(std::chrono::milliseconds bound) override {
    return helper_->waitForAnswer(sequence_, bound);
  }
  [[nodiscard]] int terminationStatus() const override { return helper_->resultOf(sequence_); }
  [[nodiscard]] std::string failureReason() const override { return helper_->reasonOf(sequence_); }
  [[nodiscard]] int exitDescriptor() const override { return watch_.get(); }

 private:
  std::shared_ptr<PkexecHelper> helper_;
  std::uint64_t sequence_;
  posix::UniqueFd watch_;
};

HostAuthorization::HostAuthorization(std::string helperPath, std::string pluginPath,
                                     Diagnostics diagnostics, std::string pkexecPath)
    : helperPath_(std::move(helperPath)),
      pluginPath_(std::move(pluginPath)),
      diagnostics_(std::move(diagnostics)),
      pkexecPath_(std::move(pkexecPath)) {}

HostAuthorization::~HostAuthorization() {
  for (const auto& session : sessions_) {
    if (session->helper == nullptr) continue;
    session->helper->close();
    if (!session->helper->reap(kHelperExitBound)) ending_.push_back(session->helper);
  }
  reapEndedHelpers();
}

HostAuthorization::Session* HostAuthorization::find(AuthorizationRef authorization) const {
  if (authorization == nullptr) return nullptr;
  // Compared by address only: a freed reference is never dereferenced.
  for (const auto& session : sessions_) {
    if (session.get() == authorization) return session.get();
  }
  return nullptr;
}

void HostAuthorization::reapEndedHelpers() {
  std::erase_if(ending_, [](const std::shared_ptr<PkexecHelper>& helper) {
    return helper->reap(std::chrono::milliseconds(0));
  });
}

pid_t HostAuthorization::helperPid(AuthorizationRef authorization) const {
  const Session* session = find(authorization);
  return session != nullptr && session->helper != nullptr ? session->helper->pid() : -1;
}

OSStatus HostAuthorization::create(const AuthorizationRights* rights,
                                   const AuthorizationEnvironment* environment,
                                   AuthorizationFlags flags, AuthorizationRef* authorization) {
  reapEndedHelpers();
  if (authorization == nullptr) return errAuthorizationInvalidRef;
  sessions_.push_back(std::make_unique<Session>());
  *authorization = sessions_.back().get();
  if (rights == nullptr || rights->count == 0) return errAuthorizationSuccess;
  const OSStatus status = copyRights(*authorization, rights, environment, flags);
  if (status != errAuthorizationSuccess) {
    free(*authorization, kAuthorizationFlagDefaults);
    *authorization = nullptr;
  }
  return status;
}

OSStatus HostAuthorization::copyRights(AuthorizationRef authorization,
                                       const AuthorizationRights* rights,
                                       const AuthorizationEnvironment* /*environment*/,
                                       AuthorizationFlags flags) {
  reapEndedHelpers();
  Session* session = find(authorization);
  if (session == nullptr) return errAuthorizationInvalidRef;
  if (rights == nullptr || rights->count == 0) return errAuthorizationSuccess;
  for (std::uint32_t i = 0; i < rights->count; ++i) {
    const char* name = rights->items[i].name;
    if (name == nullptr || std::strcmp(name, kAuthorizationRightExecute) != 0) {
      return errAuthorizationDenied;
    }
  }
  if (session->helper != nullptr) return errAuthorizationSuccess;
  if (!hasFlag(flags, kAuthorizationFlagExtendRights)) return errAuthorizationDenied;
  if (!hasFlag(flags, kAuthorizationFlagInteractionAllowed)) {
    return errAuthorizationInteractionNotAllowed;
  }
  return startHelper(*session);
}

OSStatus HostAuthorization::startHelper(Session& session) {
  std::shared_ptr<PkexecHelper> unreaped;
  const OSStatus status =
      startPkexecHelper(pkexecPath_, helperPath_, diagnostics_, &session.helper, &unreaped);
  if (unreaped != nullptr) ending_.push_back(std::move(unreaped));
  return status;
}

OSStatus HostAuthorization::executeWithPrivileges(AuthorizationRef authorization,
                                                  const char* pathToTool,
                                                  AuthorizationFlags /*options*/,
                                                  char* const* arguments,
                                                  std::unique_ptr<PrivilegedProcess>* process) {
  reapEndedHelpers();
  Session* session = find(authorization);
  if (session == nullptr) return errAuthorizationInvalidRef;
  if (session->helper == nullptr) return errAuthorizationDenied;
  const char* request = nullptr;
  if (pathToTool != nullptr && std::strcmp(pathToTool, kLoadTool) == 0) request = kLoadRequest;
  if (pathToTool != nullptr && std::strcmp(pathToTool, kUnloadTool) == 0) request = kUnloadRequest;
  if (request == nullptr || arguments == nullptr || arguments[0] == nullptr ||
      pluginPath_ != arguments[0] || arguments[1] != nullptr) {
    return errAuthorizationToolExecuteFailure;
  }

  if (!session->helper->send(request)) {
    // It ended (idle for long, or gone): a new one, through pkexec again.
    ending_.push_back(std::exchange(session->helper, nullptr));
    const OSStatus started = startHelper(*session);
    if (started != errAuthorizationSuccess) return started;
    if (!session->helper->send(request)) return errAuthorizationToolExecuteFailure;
  }
  if (process != nullptr) {
    *process = std::make_unique<Answer>(session->helper, session->helper->requestsSent());
  }
  return errAuthorizationSuccess;
}

OSStatus HostAuthorization::free(AuthorizationRef authorization, AuthorizationFlags /*flags*/) {
  reapEndedHelpers();
  const auto found = std::find_if(sessions_.begin(), sessions_.end(), [&](const auto& session) {
    return session.get() == authorization;
  });
  if (found == sessions_.end()) return errAuthorizationInvalidRef;
  if (const std::shared_ptr<PkexecHelper> helper = (*found)->helper) {
    helper->close();
    if (!helper->reap(kHelperExitBound)) ending_.push_back(helper);
  }
  sessions_.erase(found);
  return errAuthorizationSuccess;
}

}  // namespace pomrel::host
