// The kernel module that drives the card reader: fixed when Pomrel is built
// (the CMake option POMREL_DRIVER_MODULE), so that the privileged helper
// never takes a module's name from anyone.
#pragma once

namespace pomrel::host {

inline constexpr const char* kDriverModule = POMREL_DRIVER_MODULE;

}  // namespace pomrel::host
