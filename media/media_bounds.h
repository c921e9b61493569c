// Bounds that keep the card commands from waiting on a tool for ever.
#pragma once

#include <chrono>

namespace pomrel {

// The disk utility's report that the volume could not be ejected, looked for
// in its standard error.
inline constexpr const char* kEjectFailPhrase = "Volume failed to eject";

// Disk utility runs per eject before it is given up as failed: a card whose
// media never goes away must not keep the command running for ever.
inline constexpr int kEjectAttemptLimit = 10;

// Longest a single disk utility run may take before it is killed and the
// eject is given up as failed.
inline constexpr std::chrono::milliseconds kEjectToolTimeout = std::chrono::seconds(60);

// Longest the unload command waits for the unload tool to finish, so that
// the plug-in is out before the user is told to remove the card or the
// plug-in is loaded again.
inline constexpr std::chrono::milliseconds kKextUnloadWaitBound = std::chrono::seconds(30);

}  // namespace pomrel
