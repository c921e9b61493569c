#include "platform/linux/driverctl/request_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>

namespace pomrel::host {

namespace {

using SteadyClock = std::chrono::steady_clock;

bool printable(char c) { return c >= 0x20 && c <= 0x7E; }

int millisecondsUntil(SteadyClock::time_point deadline) {
  const auto left = deadline - SteadyClock::now();
  if (left <= SteadyClock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<std::chrono::milliseconds::rep>(ms, INT_MAX));
}

// Writes all of `bytes` to `fd` (non-blocking) before `bound` has passed; a
// caller that does not read its answers is not waited for longer. A socket's
// peer that has gone must not kill the helper with SIGPIPE; a pipe's cannot,
// as the helper ignores SIGPIPE.
bool writeAll(int fd, std::string_view bytes, std::chrono::milliseconds bound) {
  const auto deadline = SteadyClock::now() + bound;
  while (!bytes.empty()) {
    ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && errno == ENOTSOCK) sent = ::write(fd, bytes.data(), bytes.size());
    if (sent >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    pollfd watch{fd, POLLOUT, 0};
    const int ready = ::poll(&watch, 1, millisecondsUntil(deadline));
    if (ready == 0) return false;
    if (ready < 0 && errno != EINTR) return false;
  }
  return true;
}

}  // namespace

Request parseRequest(std::string_view line) {
  if (line.size() > kMaxRequestLength || !std::all_of(line.begin(), line.end(), printable)) {
    return Request::kMalformed;
  }
  if (line == kLoadRequest) return Request::kLoad;
  if (line == kUnloadRequest) return Request::kUnload;
  return Request::kUnknown;
}

void RequestReader::feed(std::string_view bytes) {
  if (!broken_) held_.append(bytes);
}

std::optional<Request> RequestReader::next() {
  if (broken_) return std::nullopt;
  const std::size_t end = held_.find('\n');
  if (end == std::string::npos) {
    if (held_.size() <= kMaxRequestLength) return std::nullopt;
    broken_ = true;
    held_.clear();
    return Request::kMalformed;
  }
  const Request request = parseRequest(std::string_view(held_).substr(0, end));
  held_.erase(0, end + 1);
  if (request == Request::kMalformed) {
    broken_ = true;
    held_.clear();
  }
  return request;
}

std::string answerLine(std::string_view error) {
  if (error.empty()) return kOkAnswer;
  std::string line = kErrorAnswerPrefix;
  for (const char c : error.substr(0, kMaxAnswerLength - line.size())) {
    line += printable(c) ? c : '?';
  }
  return line;
}

int serveRequests(int in, int out, const ModuleAction& action, std::chrono::milliseconds idleBound,
                  std::chrono::milliseconds lineBound) {
  // A pipe's write blocks unless its end is non-blocking; the end is the
  // helper's own (pkexec ran it in place of itself).
  if (const int flags = ::fcntl(out, F_GETFL);
      flags < 0 || ::fcntl(out, F_SETFL, flags | O_NONBLOCK) != 0) {
    return kExitBroken;
  }
  const auto writeLine = [out, lineBound](std::string line) {
    line += '\n';
    return writeAll(out, line, lineBound);
  };
  if (!writeLine(kReadyAnswer)) return kExitBroken;
  RequestReader reader;
  auto idleDeadline = SteadyClock::now() + idleBound;
  auto lineDeadline = idleDeadline;
  for (;;) {
    bool answered = false;
    while (const std::optional<Request> request = reader.next()) {
      std::string answer;
      switch (*request) {
        case Request::kMalformed:
          // Told, so that the caller need not wait for an answer in vain.
          writeLine(answerLine("malformed request"));
          return kExitMalformed;
        case Request::kUnknown:
          answer = answerLine("unknown request: only \"load\" and \"unload\" are served");
          break;
        case Request::kLoad:
        case Request::kUnload:
          answer = answerLine(action(*request));
          break;
      }
      if (!writeLine(answer)) return kExitBroken;
      answered = true;
    }
    // The time a module action took counts against neither bound.
    if (answered) {
      idleDeadline = SteadyClock::now() + idleBound;
      lineDeadline = SteadyClock::now() + lineBound;
    }

    pollfd watch{in, POLLIN, 0};
    const int ready =
        ::poll(&watch, 1, millisecondsUntil(reader.midLine() ? lineDeadline : idleDeadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return kExitBroken;
    }
    if (ready == 0) return kExitIdle;

    std::array<char, 256> buffer;
    const ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return kExitBroken;
    }
    if (got == 0) return reader.midLine() ? kExitMalformed : kExitInputClosed;
    if (!reader.midLine()) lineDeadline = SteadyClock::now() + lineBound;
    reader.feed(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
  }
}

}  // namespace pomrel::host
