// Every udisks2 D-Bus name the host backend uses, in one place: the service,
// its object paths, interfaces, methods, properties and error names.
#pragma once

namespace pomrel::host::udisks2 {

inline constexpr const char* kService = "org.freedesktop.UDisks2";
inline constexpr const char* kRootPath = "/org/freedesktop/UDisks2";
// An object path property that refers to no object.
inline constexpr const char* kNoObject = "/";

inline constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";
inline constexpr const char* kGetManagedObjects = "GetManagedObjects";

inline constexpr const char* kBlock = "org.freedesktop.UDisks2.Block";
inline constexpr const char* kBlockDevice = "Device";  // ay, "/dev/sdb"
inline constexpr const char* kBlockDrive = "Drive";    // o

inline constexpr const char* kPartition = "org.freedesktop.UDisks2.Partition";
inline constexpr const char* kPartitionTable = "Table";  // o, the disk's block object

inline constexpr const char* kFilesystem = "org.freedesktop.UDisks2.Filesystem";
inline constexpr const char* kMountPoints = "MountPoints";  // aay
inline constexpr const char* kUnmount = "Unmount";

inline constexpr const char* kEncrypted = "org.freedesktop.UDisks2.Encrypted";
inline constexpr const char* kCleartextDevice = "CleartextDevice";  // o
inline constexpr const char* kLock = "Lock";

inline constexpr const char* kLoop = "org.freedesktop.UDisks2.Loop";
inline constexpr const char* kLoopDelete = "Delete";

inline constexpr const char* kDrive = "org.freedesktop.UDisks2.Drive";
inline constexpr const char* kMediaRemovable = "MediaRemovable";  // b
inline constexpr const char* kMediaAvailable = "MediaAvailable";  // b
inline constexpr const char* kCanPowerOff = "CanPowerOff";        // b
inline constexpr const char* kEject = "Eject";
inline constexpr const char* kPowerOff = "PowerOff";

inline constexpr const char* kErrorDeviceBusy = "org.freedesktop.UDisks2.Error.DeviceBusy";
inline constexpr const char* kErrorNotMounted = "org.freedesktop.UDisks2.Error.NotMounted";
inline constexpr const char* kErrorNotAuthorized = "org.freedesktop.UDisks2.Error.NotAuthorized";
inline constexpr const char* kErrorNotAuthorizedCanObtain =
    "org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain";
inline constexpr const char* kErrorNotAuthorizedDismissed =
    "org.freedesktop.UDisks2.Error.NotAuthorizedDismissed";
inline constexpr const char* kErrorTimedOut = "org.freedesktop.UDisks2.Error.TimedOut";
inline constexpr const char* kErrorDBusTimeout = "org.freedesktop.DBus.Error.Timeout";
inline constexpr const char* kErrorDBusNoReply = "org.freedesktop.DBus.Error.NoReply";

}  // namespace pomrel::host::udisks2
