// The privileged helper's side of its conversation with Pomrel: reading
// request lines, writing answers, and the serving loop. The protocol itself
// is in platform/linux/driverctl_protocol.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/driverctl_protocol.h"

namespace pomrel::host {

enum class Request : std::uint8_t { kLoad, kUnload, kUnknown, kMalformed };

// What one complete request line (without its '\n') asks for: kLoad and
// kUnload for exactly the two words, kMalformed for a line longer than
// kMaxRequestLength or holding a byte outside printable ASCII (0x20-0x7E),
// kUnknown for any other line.
Request parseRequest(std::string_view line);

// Splits a byte stream into request lines. `feed` appends bytes; `next`
// takes the next request once its whole line is held, or at once when the
// line held is already too long to be one (so a caller that never sends a
// '\n' cannot make it hold more than it was fed at once plus
// kMaxRequestLength). Once a malformed request has been taken, nothing more
// is.
class RequestReader {
 public:
  void feed(std::string_view bytes);
  std::optional<Request> next();
  // Whether part of a line is held (a request has begun).
  [[nodiscard]] bool midLine() const { return !held_.empty(); }

 private:
  std::string held_;
  bool broken_ = false;
};

// The answer line for a result: "ok" when `error` is empty, else
// "error <error>" with every byte outside printable ASCII made '?' and cut to
// kMaxAnswerLength. Without the '\n'.
std::string answerLine(std::string_view error);

// The module action the helper performs: "" on success, else the reason.
using ModuleAction = std::function<std::string(Request request)>;

// Serves requests from descriptor `in`, answering on `out`, until the input
// ends or must be given up; returns the helper's exit status. Writes "ready"
// first. kUnknown requests are answered with an error and serving goes on.
// `idleBound` and `lineBound` as kHelperIdleBound and kRequestLineBound;
// each answer too must be written within `lineBound` (`out` is made
// non-blocking), so a caller that sends requests and never reads the
// answers ends the helper (kExitBroken) instead of holding it in a write.
int serveRequests(int in, int out, const ModuleAction& action, std::chrono::milliseconds idleBound,
                  std::chrono::milliseconds lineBound);

}  // namespace pomrel::host
