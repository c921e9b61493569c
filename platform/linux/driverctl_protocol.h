// The conversation between Pomrel and its privileged helper pomrel-driverctl,
// which stops and starts the card reader as root.
//
// The helper reads requests on its standard input and writes answers on its
// standard output, one line each ('\n'-terminated). Once it has checked who
// started it, it writes "ready". It then serves requests until its input
// ends:
//   "load"   -> starts the marked card readers (or loads the one module it
//               was built for)
//   "unload" -> stops them (or unloads that module)
// Each request gets one answer: "ok", or "error <reason>" (printable ASCII,
// one line). No request carries a name, a path or an argument: anything but
// the two words is refused with an error answer, and a line that is not
// printable ASCII or longer than kMaxRequestLength ends the helper.
#pragma once

#include <chrono>
#include <cstddef>

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
enum HelperExit : int {  // NOLINT(performance-enum-size): exit statuses, which are ints
  kExitInputClosed = 0,  // the caller closed its end: the normal end
  kExitMalformed = 2,    // a line that is not printable ASCII or too long
  kExitIdle = 3,         // no request within kHelperIdleBound, or a line left unfinished
  kExitRefused = 4,      // started by someone it does not serve, or not as root
  kExitBroken = 5,       // its descriptors or output failed, or its answers went unread
};

}  // namespace pomrel::host
