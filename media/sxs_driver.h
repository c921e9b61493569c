// What the system relies on from the SxS memory card driver, gathered once.
#pragma once

#include <cstddef>

namespace pomrel {

// The driver's plug-in bundle: tested for existence, loaded and unloaded.
inline constexpr const char* kSxSPluginPath =
    "/System/Library/Extensions/SxS Memory Card.kext/Contents/Plugins/SxS Memory Card 64.kext";

// The registry name of the service the driver publishes while a card's media
// is available.
inline constexpr const char* kSxSMediaServiceName = "SxS Media";

// The media service's property holding the disk's BSD name (such as disk2),
// a string of at most 255 bytes in UTF-8.
inline constexpr const char* kSxSBSDNameKey = "BSD Name";

// Size of a BSD name buffer, terminating NUL included.
inline constexpr std::size_t kBSDNameBufferSize = 256;

inline constexpr const char* kDiskUtilPath = "/usr/sbin/diskutil";
inline constexpr const char* kKextLoadPath = "/sbin/kextload";
inline constexpr const char* kKextUnloadPath = "/sbin/kextunload";

}  // namespace pomrel
