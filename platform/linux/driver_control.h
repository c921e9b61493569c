// The conversation between Pomrel and its privileged helper pomrel-driverctl,
// which loads and unloads the card reader's kernel module as root.
//
// The helper reads requests on its standard input and writes answers on its
// standard output, one line each ('\n'-terminated). Once it has checked who
// started it, it writes "ready". It then serves requests until its input
// ends:
//   "load"   -> loads the one module it was built for
//   "unload" -> unloads it
// Each request gets one answer: "ok", or "error <reason>" (printable ASCII,
// one line). No request carries a name, a path or an argument: anything but
// the two words is refused with an error answer, and a line that is not
// printable ASCII or longer than kMaxRequestLength ends the helper.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace pomrel::host {

inline constexpr const char* kReadyAnswer = "ready";
inline constexpr const char* kOkAnswer = "ok";
inline constexpr const char* kErrorAnswerPrefix = "error ";
inline constexpr const char* kLoadRequest = "load";
inline constexpr const char* kUnloadRequest = "unload";

// Longest request line, its '\n' not counted.
inline constexpr std::size_t kMaxRequestLength = 64;
// Longest answer line, its '\n' not counted; longer reasons are cut.
inline constexpr std::size_t kMaxAnswerLength = 256;

// With no request begun for this long the helper ends: a root process does
// not wait for ever on a caller that has gone quiet. Pomrel starts it again
// (asking again) when it next needs it.
inline constexpr std::chrono::milliseconds kHelperIdleBound = std::chrono::minutes(30);
// A request line begun must be finished within this.
inline constexpr std::chrono::milliseconds kRequestLineBound = std::chrono::seconds(5);

// The helper's exit statuses. pkexec itself uses 126 (the prompt was
// dismissed) and 127 (not authorized, or an error), so none of ours does.
enum HelperExit : int {
  kExitInputClosed = 0,  // the caller closed its end: the normal end
  kExitMalformed = 2,    // a line that is not printable ASCII or too long
  kExitIdle = 3,         // no request within kHelperIdleBound, or a line left unfinished
  kExitRefused = 4,      // started by someone it does not serve, or not as root
  kExitBroken = 5,       // its descriptors or output failed
};

enum class Request { kLoad, kUnload, kUnknown, kMalformed };

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
// `idleBound` and `lineBound` as kHelperIdleBound and kRequestLineBound.
int serveRequests(int in, int out, const ModuleAction& action, std::chrono::milliseconds idleBound,
                  std::chrono::milliseconds lineBound);

}  // namespace pomrel::host
