#include "platform/linux/authorization.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string_view>
#include <utility>

#include "platform/linux/driverctl_protocol.h"
#include "platform/posix/process_runner.h"

namespace pomrel::host {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr const char* kLoadTool = "/sbin/kextload";
constexpr const char* kUnloadTool = "/sbin/kextunload";
// pkexec's statuses: the prompt was dismissed; not authorized, or an error.
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorized = 127;
// How long an ended helper (its input closed, or pkexec after its answer)
// may take to exit before it is left to be reaped later.
constexpr std::chrono::milliseconds kExitBound = std::chrono::seconds(2);
// What of pkexec's standard error is kept to name the reason of a refusal.
constexpr std::size_t kKeptErrorText = 4096;

bool hasFlag(AuthorizationFlags flags, AuthorizationFlags flag) { return (flags & flag) == flag; }

int millisecondsUntil(SteadyClock::time_point deadline) {
  const auto left = deadline - SteadyClock::now();
  if (left <= SteadyClock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<std::chrono::milliseconds::rep>(ms, INT_MAX));
}

std::string_view firstLine(std::string_view text) {
  text = text.substr(0, text.find('\n'));
  return text.empty() ? std::string_view("no reason given") : text;
}

// pkexec keeps almost nothing of its caller's environment; what it keeps is
// given explicitly, and a SHELL that pkexec does not know cannot make it
// refuse.
std::vector<std::string> pkexecEnvironment() {
  std::vector<std::string> kept = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
  for (char** variable = environ; *variable != nullptr; ++variable) {
    const std::string_view entry = *variable;
    if (entry.starts_with("LANG=") || entry.starts_with("LANGUAGE=") || entry.starts_with("LC_")) {
      kept.emplace_back(entry);
    }
  }
  return kept;
}

}  // namespace

// A started pkexec, then the helper it became: its process, the socket that
// is its standard input and output, and the pipe of its standard error.
class HostAuthorization::Helper {
 public:
  enum class Read { kLine, kEnded, kTimedOut };

  Helper(pid_t pid, posix::UniqueFd channel, posix::UniqueFd errors, std::ostream& diagnostics)
      : pid_(pid),
        pidfd_(posix::openPidfd(pid)),
        channel_(std::move(channel)),
        errors_(std::move(errors)),
        diagnostics_(diagnostics) {}

  [[nodiscard]] pid_t pid() const { return pid_; }
  [[nodiscard]] const std::string& errorText() const { return errorText_; }
  // From now on what the helper writes to standard error goes to ours.
  void forwardErrors() { forwarding_ = true; }

  // The next line the helper wrote, without its '\n'.
  Read readLine(std::chrono::milliseconds bound, std::string* line) {
    const auto deadline = SteadyClock::now() + bound;
    for (;;) {
      const std::size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        *line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return Read::kLine;
      }
      if (!channel_.valid()) return Read::kEnded;
      if (buffer_.size() > kMaxAnswerLength) {
        // Not our helper's way of answering: it is given up.
        close();
        return Read::kEnded;
      }
      std::array<pollfd, 2> watch{{{channel_.get(), POLLIN, 0}, {errors_.get(), POLLIN, 0}}};
      const int ready = ::poll(watch.data(), watch.size(), millisecondsUntil(deadline));
      if (ready < 0 && errno != EINTR) return Read::kTimedOut;
      if (ready == 0) return Read::kTimedOut;
      if (ready < 0) continue;
      if (watch[1].revents != 0) takeErrors();
      if (watch[0].revents != 0) {
        std::array<char, 512> chunk;
        const ssize_t got = ::recv(channel_.get(), chunk.data(), chunk.size(), MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
          takeErrors();
          channel_.reset();
        } else if (got > 0) {
          buffer_.append(chunk.data(), static_cast<std::size_t>(got));
        }
      }
    }
  }

  // False when the helper is no longer there to receive it.
  bool send(std::string_view request) {
    if (!channel_.valid()) return false;
    std::string line(request);
    line += '\n';
    std::string_view left = line;
    while (!left.empty()) {
      const ssize_t sent = ::send(channel_.get(), left.data(), left.size(), MSG_NOSIGNAL);
      if (sent < 0) {
        if (errno == EINTR) continue;
        close();
        return false;
      }
      left.remove_prefix(static_cast<std::size_t>(sent));
    }
    ++sent_;
    return true;
  }
  [[nodiscard]] std::uint64_t requestsSent() const { return sent_; }
  // How request number `sequence` ended, as a tool's exit status: 0 for "ok",
  // 1 for an error answer, -1 while unanswered or when the helper ended
  // without answering.
  [[nodiscard]] int resultOf(std::uint64_t sequence) const {
    return sequence <= results_.size() ? results_[sequence - 1] : -1;
  }

  // Takes answers in order until that of request number `sequence` (from 1)
  // is in, or the helper has ended. False at the bound.
  bool waitForAnswer(std::uint64_t sequence, std::chrono::milliseconds bound) {
    const auto deadline = SteadyClock::now() + bound;
    while (results_.size() < sequence) {
      std::string line;
      const auto left = std::chrono::milliseconds(millisecondsUntil(deadline));
      switch (readLine(left, &line)) {
        case Read::kTimedOut:
          return false;
        case Read::kEnded:
          // Requests it took with it are of unknown outcome.
          results_.resize(sent_, -1);
          return true;
        case Read::kLine:
          results_.push_back(line == kOkAnswer ? 0 : 1);
          if (line.starts_with(kErrorAnswerPrefix)) {
            diagnostics_ << "Pomrel: pomrel-driverctl: "
                         << std::string_view(line).substr(std::strlen(kErrorAnswerPrefix))
                         << std::endl;
          }
          break;
      }
    }
    return true;
  }

  // Ends the conversation: the helper sees the end of its input and exits.
  void close() { channel_.reset(); }

  // Waits at most `bound` for the process to exit; true once it is reaped.
  bool reap(std::chrono::milliseconds bound) {
    if (reaped_) return true;
    if (!posix::waitForChild(pid_, pidfd_, bound, &waitStatus_)) return false;
    reaped_ = true;
    pidfd_.reset();
    takeErrors();
    errors_.reset();
    return true;
  }
  [[nodiscard]] int waitStatus() const { return waitStatus_; }

  // Kills pkexec while it still waits for the prompt's answer (it runs with
  // our real user id until then, so the signal is ours to send).
  void kill() { ::kill(pid_, SIGKILL); }

 private:
  void takeErrors() {
    std::array<char, 512> chunk;
    while (errors_.valid()) {
      const ssize_t got = ::read(errors_.get(), chunk.data(), chunk.size());
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        if (got == 0) errors_.reset();
        return;
      }
      const std::string_view text(chunk.data(), static_cast<std::size_t>(got));
      if (forwarding_) {
        diagnostics_ << text << std::flush;
      } else {
        errorText_.append(
            text.substr(0, kKeptErrorText - std::min(kKeptErrorText, errorText_.size())));
      }
    }
  }

  const pid_t pid_;
  posix::UniqueFd pidfd_;
  posix::UniqueFd channel_;
  posix::UniqueFd errors_;
  std::ostream& diagnostics_;
  std::string buffer_;
  std::string errorText_;
  bool forwarding_ = false;
  std::uint64_t sent_ = 0;
  std::vector<int> results_;
  bool reaped_ = false;
  int waitStatus_ = -1;
};

class HostAuthorization::Session : public AuthorizationSession {
 public:
  // Set while the session holds the right: the running helper.
  std::shared_ptr<Helper> helper;
};

// The end of one request: the helper's answer to it.
class HostAuthorization::Answer : public PrivilegedProcess {
 public:
  Answer(std::shared_ptr<Helper> helper, std::uint64_t sequence)
      : helper_(std::move(helper)), sequence_(sequence) {}
  bool waitUntilExit(std::chrono::milliseconds bound) override {
    return helper_->waitForAnswer(sequence_, bound);
  }
  [[nodiscard]] int terminationStatus() const override { return helper_->resultOf(sequence_); }

 private:
  std::shared_ptr<Helper> helper_;
  std::uint64_t sequence_;
};

HostAuthorization::HostAuthorization(std::string helperPath, std::string pluginPath,
                                     std::ostream& diagnostics, std::string pkexecPath)
    : helperPath_(std::move(helperPath)),
      pluginPath_(std::move(pluginPath)),
      diagnostics_(diagnostics),
      pkexecPath_(std::move(pkexecPath)) {}

HostAuthorization::~HostAuthorization() {
  for (const auto& session : sessions_) {
    if (session->helper == nullptr) continue;
    session->helper->close();
    if (!session->helper->reap(kExitBound)) ending_.push_back(session->helper);
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
  std::erase_if(ending_, [](const std::shared_ptr<Helper>& helper) {
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
  if (::access(pkexecPath_.c_str(), X_OK) != 0) {
    diagnostics_ << "Pomrel: cannot ask for administrator rights: " << pkexecPath_
                 << " is missing (install pkexec and polkit)" << std::endl;
    return errAuthorizationDenied;
  }
  std::array<int, 2> channel{};
  std::array<int, 2> errors{};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel.data()) != 0) {
    return errAuthorizationDenied;
  }
  posix::UniqueFd ours(channel[0]);
  posix::UniqueFd theirs(channel[1]);
  if (::pipe2(errors.data(), O_CLOEXEC | O_NONBLOCK) != 0) return errAuthorizationDenied;
  posix::UniqueFd errorsRead(errors[0]);
  posix::UniqueFd errorsWrite(errors[1]);
  // Only our end is non-blocking: the helper's standard error blocks as a
  // program's does.
  if (::fcntl(errorsWrite.get(), F_SETFL, 0) != 0) return errAuthorizationDenied;

  std::vector<std::string> environment = pkexecEnvironment();
  std::vector<char*> envp;
  envp.reserve(environment.size() + 1);
  for (std::string& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);
  std::string program = pkexecPath_;
  std::string helperPath = helperPath_;
  const std::vector<char*> argv = {program.data(), helperPath.data(), nullptr};
  pid_t pid = 0;
  const int error = posix::spawnChild(pkexecPath_, argv, envp.data(),
                                      {theirs.get(), theirs.get(), errorsWrite.get()}, &pid);
  theirs.reset();
  errorsWrite.reset();
  if (error != 0) {
    diagnostics_ << "Pomrel: cannot run " << pkexecPath_ << ": " << std::strerror(error)
                 << std::endl;
    return errAuthorizationDenied;
  }

  auto helper = std::make_shared<Helper>(pid, std::move(ours), std::move(errorsRead), diagnostics_);
  std::string line;
  const Helper::Read read = helper->readLine(kPromptBound, &line);
  if (read == Helper::Read::kLine && line == kReadyAnswer) {
    helper->forwardErrors();
    session.helper = std::move(helper);
    return errAuthorizationSuccess;
  }
  if (read == Helper::Read::kTimedOut) helper->kill();
  helper->close();
  if (!helper->reap(kExitBound)) {
    ending_.push_back(helper);
    return read == Helper::Read::kTimedOut ? errAuthorizationCanceled : errAuthorizationDenied;
  }
  const int status = helper->waitStatus();
  if (read == Helper::Read::kTimedOut ||
      (WIFEXITED(status) && WEXITSTATUS(status) == kPkexecDismissed)) {
    return errAuthorizationCanceled;
  }
  diagnostics_ << "Pomrel: administrator rights not granted: ";
  if (WIFEXITED(status) && WEXITSTATUS(status) != kPkexecNotAuthorized) {
    diagnostics_ << "pomrel-driverctl ended with status " << WEXITSTATUS(status) << ": ";
  }
  diagnostics_ << firstLine(helper->errorText()) << std::endl;
  return errAuthorizationDenied;
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
  if (const std::shared_ptr<Helper> helper = (*found)->helper) {
    helper->close();
    if (!helper->reap(kExitBound)) ending_.push_back(helper);
  }
  sessions_.erase(found);
  return errAuthorizationSuccess;
}

}  // namespace pomrel::host
