#pragma once

#include <cstdint>

namespace pomrel {

// Blocking pauses of the calling thread.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual void sleep(unsigned seconds) = 0;
  virtual void usleep(std::uint32_t microseconds) = 0;
};

}  // namespace pomrel
