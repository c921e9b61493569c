// The values the crash-test writer stores: generation n's domain can be told
// apart from every other generation's and from a damaged one.
#pragma once

#include <cstdint>
#include <string>

#include "platform/property_list.h"

namespace pomrel::sim::testing {

inline constexpr const char* kWriterDomain = "writer.domain";

inline PropertyDictionary writerValue(std::int64_t generation) {
  // The payload's size varies with the generation, so a file cut short or
  // mixed from two writes does not parse as any generation's value.
  const std::string payload(static_cast<std::size_t>(100 + generation % 4000), 'x');
  return {{"generation", PropertyInteger::fromSigned(generation)},
          {"payload", payload},
          {"list", PropertyArray{PropertyInteger::fromSigned(-generation), generation % 2 == 0}}};
}

}  // namespace pomrel::sim::testing
