#include "platform/linux/pkexec_helper.h"

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
#include <cstring>
#include <utility>

#include "platform/linux/driverctl_protocol.h"

namespace pomrel::host {

namespace {

using SteadyClock = std::chrono::steady_clock;

// pkexec's statuses: the prompt was dismissed; not authorized, or an error.
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorized = 127;
// What of pkexec's standard error is kept to name the reason of a refusal.
constexpr std::size_t kKeptErrorText = 4096;

int millisecondsUntil(SteadyClock::time_point deadline) {
  const auto left = deadline - SteadyClock::now();
  if (left <= SteadyClock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<std::chrono::milliseconds::rep>(ms, INT_MAX));
}

// What pkexec 122 and later (exit 127) write to standard error, by cause.
// The same "Not authorized" ends a failed authentication and a refusing
// rule, so the two cannot be told apart here.
struct Refusal {
  std::string_view said;
  OSStatus cause;
};
constexpr std::array<Refusal, 4> kRefusals = {{
    {"No authentication agent found", errAuthorizationNoAgent},
    {"Not authorized", errAuthorizationRefusedByPolicy},
    // No system bus; polkitd not reachable on it.
    {"Error getting authority", errAuthorizationServiceUnavailable},
    {"Error checking for authorization", errAuthorizationServiceUnavailable},
}};

// The cause of pkexec's refusal and the line of `errors` that names it: the
// line of a known refusal, else the first that is not blank (GLib may write
// a warning before it). Any other refusal (the helper missing, say) is a
// denial.
std::pair<OSStatus, std::string_view> refusalCause(std::string_view errors) {
  std::string_view first;
  while (!errors.empty()) {
    const std::string_view line = errors.substr(0, errors.find('\n'));
    errors.remove_prefix(std::min(errors.size(), line.size() + 1));
    for (const Refusal& refusal : kRefusals) {
      if (line.find(refusal.said) != std::string_view::npos) return {refusal.cause, line};
    }
    if (first.empty()) first = line;
  }
  return {errAuthorizationDenied, first.empty() ? std::string_view("no reason given") : first};
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

PkexecHelper::PkexecHelper(pid_t pid, posix::UniqueFd channel, posix::UniqueFd errors,
                           Diagnostics diagnostics)
    : pid_(pid),
      pidfd_(posix::openPidfd(pid)),
      channel_(std::move(channel)),
      errors_(std::move(errors)),
      diagnostics_(std::move(diagnostics)) {}

PkexecHelper::Read PkexecHelper::readLine(std::chrono::milliseconds bound, std::string* line) {
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

bool PkexecHelper::send(std::string_view request) {
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

bool PkexecHelper::waitForAnswer(std::uint64_t sequence, std::chrono::milliseconds bound) {
  const auto deadline = SteadyClock::now() + bound;
  while (results_.size() < sequence) {
    std::string line;
    const auto left = std::chrono::milliseconds(millisecondsUntil(deadline));
    switch (readLine(left, &line)) {
      case Read::kTimedOut:
        return false;
      case Read::kEnded:
        // Requests it took with it are of unknown outcome.
        results_.resize(sent_, {-1, "pomrel-driverctl ended without answering"});
        return true;
      case Read::kLine:
        if (line == kOkAnswer) {
          results_.push_back({0, {}});
          break;
        }
        if (line.starts_with(kErrorAnswerPrefix)) line.erase(0, std::strlen(kErrorAnswerPrefix));
        diagnostics_("Pomrel: pomrel-driverctl: " + line + "\n");
        results_.push_back({1, std::move(line)});
        break;
    }
  }
  return true;
}

bool PkexecHelper::reap(std::chrono::milliseconds bound) {
  if (reaped_) return true;
  if (!posix::waitForChild(pid_, pidfd_, bound, &waitStatus_)) return false;
  reaped_ = true;
  pidfd_.reset();
  takeErrors();
  errors_.reset();
  return true;
}

posix::UniqueFd PkexecHelper::watchAnswers() const {
  return posix::UniqueFd(channel_.valid() ? ::fcntl(channel_.get(), F_DUPFD_CLOEXEC, 0) : -1);
}

void PkexecHelper::close() {
  // A copy from watchAnswers keeps the socket open: shut down, the helper
  // sees the end of its input all the same, and the copy reads its end.
  if (channel_.valid()) ::shutdown(channel_.get(), SHUT_RDWR);
  channel_.reset();
}

void PkexecHelper::kill() { ::kill(pid_, SIGKILL); }

void PkexecHelper::takeErrors() {
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
      diagnostics_(text);
    } else {
      errorText_.append(
          text.substr(0, kKeptErrorText - std::min(kKeptErrorText, errorText_.size())));
    }
  }
}

OSStatus startPkexecHelper(const std::string& pkexecPath, const std::string& helperPath,
                           const Diagnostics& diagnostics, std::shared_ptr<PkexecHelper>* started,
                           std::shared_ptr<PkexecHelper>* unreaped) {
  if (::access(pkexecPath.c_str(), X_OK) != 0) {
    diagnostics("Pomrel: cannot ask for administrator rights: " + pkexecPath +
                " is missing (install pkexec and polkit)\n");
    return errAuthorizationNoPrompter;
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
  std::string program = pkexecPath;
  std::string helperArgument = helperPath;
  // Without this pkexec 122 tries a text prompt on the controlling terminal
  // when no agent is registered, which a desktop program has not got, and
  // fails without naming the missing agent.
  std::string noTextPrompt = "--disable-internal-agent";
  const std::vector<char*> argv = {program.data(), noTextPrompt.data(), helperArgument.data(),
                                   nullptr};
  pid_t pid = 0;
  const int error = posix::spawnChild(pkexecPath, argv, envp.data(),
                                      {theirs.get(), theirs.get(), errorsWrite.get()}, &pid);
  theirs.reset();
  errorsWrite.reset();
  if (error != 0) {
    diagnostics("Pomrel: cannot run " + pkexecPath + ": " + std::strerror(error) + "\n");
    return errAuthorizationNoPrompter;
  }

  auto helper =
      std::make_shared<PkexecHelper>(pid, std::move(ours), std::move(errorsRead), diagnostics);
  std::string line;
  const PkexecHelper::Read read = helper->readLine(kPromptBound, &line);
  if (read == PkexecHelper::Read::kLine && line == kReadyAnswer) {
    helper->forwardErrors();
    *started = std::move(helper);
    return errAuthorizationSuccess;
  }
  if (read == PkexecHelper::Read::kTimedOut) helper->kill();
  helper->close();
  if (!helper->reap(kHelperExitBound)) {
    *unreaped = helper;
    return read == PkexecHelper::Read::kTimedOut ? errAuthorizationCanceled
                                                 : errAuthorizationDenied;
  }
  const int status = helper->waitStatus();
  if (read == PkexecHelper::Read::kTimedOut ||
      (WIFEXITED(status) && WEXITSTATUS(status) == kPkexecDismissed)) {
    return errAuthorizationCanceled;
  }
  const bool refused = WIFEXITED(status) && WEXITSTATUS(status) == kPkexecNotAuthorized;
  const auto [cause, said] = refusalCause(helper->errorText());
  std::string why = "Pomrel: administrator rights not granted: ";
  if (!refused && WIFEXITED(status)) {
    why += "pomrel-driverctl ended with status " + std::to_string(WEXITSTATUS(status)) + ": ";
  }
  diagnostics(why + std::string(said) + "\n");
  return refused ? cause : errAuthorizationDenied;
}

}  // namespace pomrel::host
