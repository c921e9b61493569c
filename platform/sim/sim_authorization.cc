#include "platform/sim/sim_authorization.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/posix/process_runner.h"
#include "simulator/admin_accounts.h"
#include "simulator/privilege.h"

namespace pomrel::sim {

namespace {

constexpr int kPromptAttempts = 3;
constexpr const char* kToolSearchPath = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
// What of a tool's standard error is read once it has ended: the stand-in
// tools write a line, and a pipe holds far more than this.
constexpr std::size_t kErrorTextKept = 4096;

bool hasFlag(AuthorizationFlags flags, AuthorizationFlags flag) { return (flags & flag) == flag; }

}  // namespace

class SimAuthorization::Session : public AuthorizationSession {
 public:
  bool holdsAdministratorRight = false;
};

// A started tool, shared by the handle given to the caller (if any) and by
// the list that reaps it once the handle is gone. While it runs, its pidfd
// is a source on the run loop, which reaps it as soon as it ends.
struct SimAuthorization::Child final : RunLoopSource {
  Child(pid_t childPid, posix::UniqueFd childPidfd, posix::UniqueFd errorPipe, RunLoop* loop)
      : pid(childPid), pidfd(std::move(childPidfd)), errors(std::move(errorPipe)), runLoop(loop) {
    if (runLoop != nullptr && pidfd.valid()) runLoop->addSource(this, kCFRunLoopDefaultMode);
  }
  ~Child() override { unwatch(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  [[nodiscard]] int descriptor() const override { return pidfd.get(); }
  void perform() override { wait(std::chrono::milliseconds(0)); }

  bool wait(std::chrono::milliseconds bound) {
    if (reaped) return true;
    if (!posix::waitForChild(pid, pidfd, bound, &waitStatus)) return false;
    reaped = true;
    // Off the loop before the descriptor it watches is closed.
    unwatch();
    pidfd.reset();
    takeErrors();
    return true;
  }

  // What the tool left in its standard error pipe, passed on to ours; its
  // first line is kept as the reason of a failure.
  void takeErrors() {
    std::string text(kErrorTextKept, '\0');
    const ssize_t got = errors.valid() ? ::read(errors.get(), text.data(), text.size()) : -1;
    errors.reset();
    if (got <= 0) return;
    text.resize(static_cast<std::size_t>(got));
    std::fwrite(text.data(), 1, text.size(), stderr);
    reason = text.substr(0, text.find('\n'));
  }

  void unwatch() {
    if (runLoop != nullptr) runLoop->removeSource(this, kCFRunLoopDefaultMode);
    runLoop = nullptr;
  }

  const pid_t pid;
  posix::UniqueFd pidfd;
  posix::UniqueFd errors;
  RunLoop* runLoop;
  bool reaped = false;
  int waitStatus = -1;
  std::string reason;
};

class SimAuthorization::Handle : public PrivilegedProcess {
 public:
  explicit Handle(std::shared_ptr<Child> child)
      : child_(std::move(child)),
        exit_(child_->pidfd.valid() ? ::fcntl(child_->pidfd.get(), F_DUPFD_CLOEXEC, 0) : -1) {}
  bool waitUntilExit(std::chrono::milliseconds bound) override { return child_->wait(bound); }
  [[nodiscard]] int terminationStatus() const override {
    const int status = child_->waitStatus;
    return child_->reaped && status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  [[nodiscard]] std::string failureReason() const override {
    return terminationStatus() != 0 ? child_->reason : std::string();
  }
  // A process descriptor stays readable once the process has ended, reaped
  // or not.
  [[nodiscard]] int exitDescriptor() const override { return exit_.get(); }

 private:
  std::shared_ptr<Child> child_;
  posix::UniqueFd exit_;
};

SimAuthorization::SimAuthorization(const MachinePaths& paths, CredentialsPrompt& prompt,
                                   RunLoop* runLoop)
    : paths_(paths), prompt_(prompt), runLoop_(runLoop) {}

SimAuthorization::~SimAuthorization() { reapExitedChildren(); }

SimAuthorization::Session* SimAuthorization::find(AuthorizationRef authorization) const {
  if (authorization == nullptr) return nullptr;
  // Compared by address only: a freed reference is never dereferenced.
  for (const auto& session : sessions_) {
    if (session.get() == authorization) return session.get();
  }
  return nullptr;
}

void SimAuthorization::reapExitedChildren() {
  std::erase_if(children_, [](const std::shared_ptr<Child>& child) {
    return child->wait(std::chrono::milliseconds(0));
  });
}

OSStatus SimAuthorization::create(const AuthorizationRights* rights,
                                  const AuthorizationEnvironment* environment,
                                  AuthorizationFlags flags, AuthorizationRef* authorization) {
  reapExitedChildren();
  if (authorization == nullptr) return errAuthorizationInvalidRef;
  *authorization = nullptr;
  sessions_.push_back(std::make_unique<Session>());
  AuthorizationRef made = sessions_.back().get();
  if (rights != nullptr && rights->count > 0) {
    const OSStatus status = copyRights(made, rights, environment, flags);
    if (status != errAuthorizationSuccess) {
      sessions_.pop_back();
      return status;
    }
  }
  *authorization = made;
  return errAuthorizationSuccess;
}

OSStatus SimAuthorization::askForCredentials() {
  // A machine without administrator accounts has nobody who may grant the
  // right, so the prompt is not shown.
  if (::access(adminAccountsPath(paths_.root()).c_str(), F_OK) != 0) {
    return errAuthorizationRefusedByPolicy;
  }
  const std::string home = paths_.userHome();
  // The login name first; after a wrong try, the name that was typed, so
  // that an administrator who is not the user need not type it again.
  std::string name = home.substr(home.rfind('/') + 1);
  for (int attempt = 1; attempt <= kPromptAttempts; ++attempt) {
    std::optional<Credentials> answer = prompt_.ask(name, attempt);
    if (!answer) return errAuthorizationCanceled;
    name = answer->name;
    const bool accepted = checkAdminPassword(paths_.root(), answer->name, answer->password);
    wipeSecret(answer->password);
    if (accepted) return errAuthorizationSuccess;
  }
  return errAuthorizationDenied;
}

OSStatus SimAuthorization::copyRights(AuthorizationRef authorization,
                                      const AuthorizationRights* rights,
                                      const AuthorizationEnvironment*, AuthorizationFlags flags) {
  reapExitedChildren();
  Session* session = find(authorization);
  if (session == nullptr) return errAuthorizationInvalidRef;
  if (rights == nullptr || rights->count == 0) return errAuthorizationSuccess;
  if (rights->items == nullptr) return errAuthorizationDenied;
  for (std::uint32_t i = 0; i < rights->count; ++i) {
    const char* name = rights->items[i].name;
    if (name == nullptr || std::strcmp(name, kAuthorizationRightExecute) != 0) {
      return errAuthorizationDenied;
    }
  }
  if (session->holdsAdministratorRight) return errAuthorizationSuccess;
  // Without leave to extend, a right not yet held is simply not there.
  if (!hasFlag(flags, kAuthorizationFlagExtendRights)) return errAuthorizationDenied;

  if (!hasFlag(flags, kAuthorizationFlagInteractionAllowed)) {
    return errAuthorizationInteractionNotAllowed;
  }
  const OSStatus status = askForCredentials();
  if (status == errAuthorizationSuccess) session->holdsAdministratorRight = true;
  return status;
}

OSStatus SimAuthorization::executeWithPrivileges(AuthorizationRef authorization,
                                                 const char* pathToTool, AuthorizationFlags,
                                                 char* const* arguments,
                                                 std::unique_ptr<PrivilegedProcess>* process) {
  reapExitedChildren();
  if (process != nullptr) process->reset();
  const Session* session = find(authorization);
  if (session == nullptr) return errAuthorizationInvalidRef;
  if (!session->holdsAdministratorRight) return errAuthorizationDenied;
  if (pathToTool == nullptr || pathToTool[0] != '/') return errAuthorizationToolExecuteFailure;
  std::optional<std::string> token = readPrivilegeToken(paths_.root());
  if (!token) return errAuthorizationToolExecuteFailure;

  // A fixed environment: nothing of the application's (loader variables
  // above all) reaches a tool that runs with the machine's privilege.
  std::string tokenEntry = std::string(kPrivilegeTokenVariable) + "=" + *token;
  wipeSecret(*token);
  std::string machineEntry = "POMREL_MACHINE=" + paths_.root();
  std::string pathEntry = kToolSearchPath;
  const std::vector<char*> envp{pathEntry.data(), machineEntry.data(), tokenEntry.data(), nullptr};

  // posix_spawn does not write to argv; the cast only meets its signature.
  std::vector<char*> argv{const_cast<char*>(pathToTool)};
  for (char* const* argument = arguments; argument != nullptr && *argument != nullptr; ++argument) {
    argv.push_back(*argument);
  }
  argv.push_back(nullptr);

  std::array<int, 2> errors{};
  if (::pipe2(errors.data(), O_CLOEXEC | O_NONBLOCK) != 0)
    return errAuthorizationToolExecuteFailure;
  posix::UniqueFd errorsRead(errors[0]);
  posix::UniqueFd errorsWrite(errors[1]);
  // Only our end is non-blocking: the tool's standard error blocks as a
  // program's does.
  if (::fcntl(errorsWrite.get(), F_SETFL, 0) != 0) return errAuthorizationToolExecuteFailure;
  pid_t pid = 0;
  const int error =
      posix::spawnChild(paths_.resolve(pathToTool), argv, envp.data(),
                        {.input = posix::kNullDescriptor, .error = errorsWrite.get()}, &pid);
  wipeSecret(tokenEntry);
  errorsWrite.reset();
  if (error != 0) return errAuthorizationToolExecuteFailure;

  auto child = std::make_shared<Child>(pid, posix::openPidfd(pid), std::move(errorsRead), runLoop_);
  children_.push_back(child);
  if (process != nullptr) *process = std::make_unique<Handle>(std::move(child));
  return errAuthorizationSuccess;
}

OSStatus SimAuthorization::free(AuthorizationRef authorization, AuthorizationFlags) {
  reapExitedChildren();
  Session* session = find(authorization);
  if (session == nullptr) return errAuthorizationInvalidRef;
  // The rights live in the session, so ending it revokes them whether or not
  // kAuthorizationFlagDestroyRights was given.
  std::erase_if(sessions_,
                [session](const std::unique_ptr<Session>& kept) { return kept.get() == session; });
  return errAuthorizationSuccess;
}

}  // namespace pomrel::sim
