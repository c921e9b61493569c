// The privileged helper's request reader: what arrives on its standard
// input, split into chunks as the reads of a pipe may split it.
//
// Input: one control byte (the chunk size less one), then the bytes sent.
// Invariant, against a model that reads the whole input at once: one request
// per '\n'-terminated line, in order, kLoad exactly for "load" and kUnload
// exactly for "unload", kUnknown for other lines of printable ASCII up to
// kMaxRequestLength; the reader stops for good at the first line that is
// longer or holds another byte (an unfinished one already longer too),
// reporting it as kMalformed.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "platform/linux/driverctl/request_server.h"

using pomrel::host::kMaxRequestLength;
using pomrel::host::Request;

static std::vector<Request> model(std::string_view input) {
  std::vector<Request> requests;
  for (std::size_t end; (end = input.find('\n')) != std::string_view::npos;) {
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
  return 0;
}
