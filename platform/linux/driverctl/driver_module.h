// The kernel module that drives the card reader, when the build names one
// (the CMake option POMREL_DRIVER_MODULE), so that the privileged helper
// never takes a module's name from anyone. Empty (the default): the helper
// stops and starts the readers udev marks instead (reader_control.h).
#pragma once

namespace pomrel::host {

inline constexpr const char* kDriverModule = POMREL_DRIVER_MODULE;

}  // namespace pomrel::host
