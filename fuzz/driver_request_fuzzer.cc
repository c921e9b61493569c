// The privileged helper's request reader: what arrives on its standard
// input, split into chunks as the reads of a pipe may split it.
//
// Input: one control byte, then the bytes the caller sends. The control byte
// is the size of the chunks fed (1 to 256).
//
// Invariant, checked against a model that reads the whole input at once:
// the reader yields one request per '\n'-terminated line, in order, kLoad
// exactly for "load" and kUnload exactly for "unload", kUnknown for other
// lines of printable ASCII up to kMaxRequestLength, and stops for good at the
// first line that is longer or holds another byte (also an unfinished one
// already longer), which it reports as kMalformed. Until then it holds an
// unfinished line exactly when the input ends in one.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/linux/driver_control.h"

namespace pomrel::fuzz {
namespace {

using host::kMaxRequestLength;
using host::Request;

std::vector<Request> model(std::string_view input) {
  std::vector<Request> requests;
  for (;;) {
    const std::size_t end = input.find('\n');
    const std::string_view line = input.substr(0, end);
    if (end == std::string_view::npos) {
      if (line.size() > kMaxRequestLength) requests.push_back(Request::kMalformed);
      return requests;
    }
    bool printable = line.size() <= kMaxRequestLength;
    for (const char c : line) printable = printable && c >= 0x20 && c <= 0x7E;
    if (!printable) {
      requests.push_back(Request::kMalformed);
      return requests;
    }
    requests.push_back(line == "load"     ? Request::kLoad
                       : line == "unload" ? Request::kUnload
                                          : Request::kUnknown);
    input.remove_prefix(end + 1);
  }
}

void runOne(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const std::size_t chunk = std::size_t{data[0]} + 1;
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);

  host::RequestReader reader;
  std::vector<Request> got;
  for (std::size_t at = 0; at < input.size(); at += chunk) {
    reader.feed(input.substr(at, chunk));
    while (const std::optional<Request> request = reader.next()) got.push_back(*request);
  }
  check(got == model(input), "the reader's requests differ from the model's");
  if (got.empty() || got.back() != Request::kMalformed) {
    const std::size_t lastEnd = input.rfind('\n');
    const bool tail = input.size() != (lastEnd == std::string_view::npos ? 0 : lastEnd + 1);
    check(reader.midLine() == tail, "an unfinished line held or not as the input says");
  }
}

}  // namespace
}  // namespace pomrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  pomrel::fuzz::runOne(data, size);
  return 0;
}
