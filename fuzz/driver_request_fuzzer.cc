// The privileged helper's request reader and serving loop. Input: one control
// byte (the chunk size less one), then the bytes sent. The reader, fed in
// chunks as the reads of a pipe may split them, must agree with model(), which
// reads the input whole; the first kilobyte, sent whole through a socket pair,
// must be served as the model says: "ready", an answer per request, the action
// for kLoad and kUnload, and kExitMalformed after a malformed or unfinished
// line, else kExitInputClosed.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/driverctl/request_server.h"

using namespace pomrel::host;  // NOLINT(google-build-using-namespace)

static std::vector<Request> model(std::string_view input) {
  std::vector<Request> requests;
  for (std::size_t end = 0; (end = input.find('\n')) != std::string_view::npos;) {
    const std::string_view line = input.substr(0, end);
    bool printable = line.size() <= kMaxRequestLength;
    for (const char c : line) printable = printable && c >= 0x20 && c <= 0x7E;
    if (!printable) return requests.push_back(Request::kMalformed), requests;
    requests.push_back(line == "load"     ? Request::kLoad
                       : line == "unload" ? Request::kUnload
                                          : Request::kUnknown);
    input.remove_prefix(end + 1);
  }
  if (input.size() > kMaxRequestLength) requests.push_back(Request::kMalformed);
  return requests;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t chunk = std::size_t{data[0]} + 1;
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  pomrel::host::RequestReader reader;
  std::vector<Request> got;
  for (std::size_t at = 0; at < input.size(); at += chunk) {
    reader.feed(input.substr(at, chunk));
    while (const std::optional<Request> request = reader.next()) got.push_back(*request);
  }
  if (got != model(input)) std::abort();  // the reader and the model disagree

  // All answers fit the socket's buffer, so the loop never waits to write.
  const std::string_view sent = input.substr(0, 1024);
  std::string expected = "ready\n";
  const std::vector<Request> requests = model(sent);
  for (const Request request : requests) {
    expected += answerLine(request == Request::kLoad     ? ""
                           : request == Request::kUnload ? "busy"
                           : request == Request::kMalformed
                               ? "malformed request"
                               : "unknown request: only \"load\" and \"unload\" are served") +
                "\n";
  }
  const bool malformed = (!requests.empty() && requests.back() == Request::kMalformed) ||
                         (!sent.empty() && sent.back() != '\n');
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0 ||
      ::write(ends[0], sent.data(), sent.size()) != static_cast<ssize_t>(sent.size())) {
    std::abort();
  }
  ::shutdown(ends[0], SHUT_WR);
  std::vector<Request> acted;
  const int status = serveRequests(
      ends[1], ends[1],
      [&](Request request) {
        acted.push_back(request);
        return request == Request::kLoad ? "" : "busy";
      },
      std::chrono::seconds(5), std::chrono::seconds(5));
  ::close(ends[1]);
  std::string answers;
  char buffer[4096];
  for (ssize_t n = 0; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) {
    answers.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(ends[0]);
  std::vector<Request> actions = requests;
  std::erase_if(actions, [](Request r) { return r != Request::kLoad && r != Request::kUnload; });
  if (answers != expected || acted != actions ||
      status != (malformed ? kExitMalformed : kExitInputClosed)) {
    std::abort();  // the serving loop and the model disagree
  }
  return 0;
}
