// The pkexec session: pkexec started on the privileged helper, the desktop's
// prompt it shows, and then the conversation with the helper it became.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/authorization.h"
#include "platform/linux/diagnostics.h"
#include "platform/posix/process_runner.h"

namespace pomrel::host {

// How long the desktop's prompt may stay unanswered before the request is
// taken as cancelled.
inline constexpr std::chrono::milliseconds kPromptBound = std::chrono::minutes(5);

// How long an ended helper (its input closed, or pkexec after its answer)
// may take to exit before it is left to be reaped later.
inline constexpr std::chrono::milliseconds kHelperExitBound = std::chrono::seconds(2);

// A started pkexec, then the helper it became: its process, the socket that
// is its standard input and output, and the pipe of its standard error.
// All calls belong to one thread.
class PkexecHelper {
 public:
  enum class Read : std::uint8_t { kLine, kEnded, kTimedOut };

  PkexecHelper(pid_t pid, posix::UniqueFd channel, posix::UniqueFd errors, Diagnostics diagnostics);

  [[nodiscard]] pid_t pid() const { return pid_; }
  [[nodiscard]] const std::string& errorText() const { return errorText_; }
  // From now on what the helper writes to standard error goes to ours.
  void forwardErrors() { forwarding_ = true; }

  // The next line the helper wrote, without its '\n'.
  Read readLine(std::chrono::milliseconds bound, std::string* line);

  // False when the helper is no longer there to receive it.
  bool send(std::string_view request);
  [[nodiscard]] std::uint64_t requestsSent() const { return sent_; }
  // How request number `sequence` ended, as a tool's exit status: 0 for "ok",
  // 1 for an error answer, -1 while unanswered or when the helper ended
  // without answering.
  [[nodiscard]] int resultOf(std::uint64_t sequence) const {
    return sequence <= results_.size() ? results_[sequence - 1].status : -1;
  }
  // The reason of an error answer, or why there was none; "" otherwise.
  [[nodiscard]] std::string reasonOf(std::uint64_t sequence) const {
    return sequence <= results_.size() ? results_[sequence - 1].reason : std::string();
  }
  // A new descriptor of the conversation's socket, readable while an answer
  // waits to be read and once the helper has ended (or the conversation was
  // closed); -1 when it has ended already. The caller owns it.
  [[nodiscard]] posix::UniqueFd watchAnswers() const;

  // Takes answers in order until that of request number `sequence` (from 1)
  // is in, or the helper has ended. False at the bound.
  bool waitForAnswer(std::uint64_t sequence, std::chrono::milliseconds bound);

  // Ends the conversation: the helper sees the end of its input and exits,
  // even while descriptors from watchAnswers are open.
  void close();

  // Waits at most `bound` for the process to exit; true once it is reaped.
  bool reap(std::chrono::milliseconds bound);
  [[nodiscard]] int waitStatus() const { return waitStatus_; }

  // Kills pkexec while it still waits for the prompt's answer (it runs with
  // our real user id until then, so the signal is ours to send).
  void kill();

 private:
  void takeErrors();

  const pid_t pid_;
  posix::UniqueFd pidfd_;
  posix::UniqueFd channel_;
  posix::UniqueFd errors_;
  Diagnostics diagnostics_;
  std::string buffer_;
  std::string errorText_;
  bool forwarding_ = false;
  std::uint64_t sent_ = 0;
  struct Result {
    int status;
    std::string reason;
  };
  std::vector<Result> results_;
  bool reaped_ = false;
  int waitStatus_ = -1;
};

// Runs `pkexecPath --disable-internal-agent helperPath` (the prompt: the
// desktop's polkit agent only, never a text prompt on a terminal) and waits
// for the helper's ready line. errAuthorizationSuccess with the running
// helper in *started; the prompt dismissed or unanswered within kPromptBound
// -> errAuthorizationCanceled; the prompt not shown -> its cause: no pkexec
// (errAuthorizationNoPrompter), no polkit agent (errAuthorizationNoAgent),
// not authorized (errAuthorizationRefusedByPolicy, which a failed
// authentication gives too), no system bus or polkit unreachable on it
// (errAuthorizationServiceUnavailable); any other refusal (the helper
// missing, or refusing to serve) -> errAuthorizationDenied. Each but the
// first two with one line on `diagnostics`, the line of pkexec's that names
// the refusal. A helper that has not exited within kHelperExitBound after a
// failed start is handed back in *unreaped, to be reaped later.
OSStatus startPkexecHelper(const std::string& pkexecPath, const std::string& helperPath,
                           const Diagnostics& diagnostics, std::shared_ptr<PkexecHelper>* started,
                           std::shared_ptr<PkexecHelper>* unreaped);

}  // namespace pomrel::host
