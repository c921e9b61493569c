// The eject of a card's disk through udisks2, as pomrel-diskutil does it,
// apart from the bus: what udisks2 and udev answered goes in, the calls to
// make come out, so the choices and the reporting can be checked without a
// bus.
//
// The eject refuses a disk that udev does not mark as the card's
// (POMREL_SERVICE): a kernel name can be reused between Pomrel's lookup and
// the eject. It refuses a disk that holds the system's own files, as
// systemUseBelow (platform/linux/system_disk.h) tells them: a system mount
// point, active swap or the system's ZFS pool on the disk or on a volume built
// on it. Otherwise it unmounts every mounted filesystem of the disk, of its
// partitions and of their unlocked encrypted volumes (innermost first, never
// forced or lazy), locks those encrypted volumes, then takes the medium out:
// - a loop device, which has no drive, is detached;
// - a disk under a card reader that udev marks (POMREL_READER="1" on its USB
//   interface or PCI function) has its medium ejected, never its drive
//   powered off: udisks2's power-off disables the reader's USB port until it
//   is plugged in again, so no Enable could bring it back;
// - another drive whose medium is removable and present has its medium
//   ejected;
// - otherwise the drive is powered off where udisks2 says it can be (a card
//   that is itself the device).
// A refusal, or a filesystem that will not unmount, ends the eject with the
// phrase "Volume failed to eject" on standard error. Once every filesystem is
// unmounted the card is safe, so a failure after that is reported without
// the phrase. Every failure but a busy volume also writes a cause line, and
// a busy volume a line per program that holds it (media/eject_report.h); the
// tool's other lines never hold a control character, so none can pass for
// such a line.
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace pomrel::host::diskutil {

// What the core looks for in the tool's standard error.
inline constexpr const char* kEjectFailPhrase = "Volume failed to eject";

// Exit statuses; none is 126 or 127, which pkexec and shells use.
enum ExitStatus : int {  // NOLINT(performance-enum-size): exit statuses, which are ints
  kEjected = 0,
  kVolumeFailed = 1,  // a filesystem is still mounted; the phrase was written
  kNoDisk = 2,        // udisks2 could not be asked, or does not know the disk
  kMediumFailed = 3,  // unmounted and safe, but locking or the drive action failed
  kUsage = 64,
};

// One udisks2 object, reduced to what the eject needs. Object paths that
// refer to nothing are "/".
struct UdisksObject {
  std::string path;
  bool isBlock = false;
  std::string device;  // Block.Device without its trailing NUL: "/dev/sdb"
  std::string drive = "/";
  std::string partitionTable = "/";  // Partition.Table: the disk a partition is on
  bool isFilesystem = false;
  std::vector<std::string> mountPoints;
  bool isEncrypted = false;
  std::string cleartext = "/";  // Encrypted.CleartextDevice: "/" while locked
  bool isLoop = false;
  bool isDrive = false;
  bool mediaRemovable = false;
  bool mediaAvailable = false;
  bool canPowerOff = false;
};
using UdisksObjects = std::vector<UdisksObject>;

// The answer to one D-Bus call: success, or the error's name and message.
struct CallResult {
  bool ok = true;
  std::string errorName;
  std::string message;
};

enum class Outcome : std::uint8_t {
  kDone,           // succeeded, or there was nothing to do (NotMounted)
  kBusy,           // DeviceBusy: something holds the volume
  kTimedOut,       // no answer in time
  kNotAuthorized,  // udisks2 (polkit) refused the action to this user
  kFailed,         // anything else
};
// The one mapping from udisks2's and D-Bus's error names to outcomes.
Outcome classify(const CallResult& result);

enum class MediumAction : std::uint8_t { kNone, kDeleteLoop, kEject, kPowerOff };

struct Unmount {
  std::string path;  // the filesystem's object
  std::vector<std::string> mountPoints;
};

// What udev and sysfs say about the disk.
struct DiskFacts {
  bool isCard = false;             // it carries POMREL_SERVICE="SxS Media"
  bool underMarkedReader = false;  // its reader carries POMREL_READER="1"
  // What of the running system the disk holds ("sda2: mounted at /home");
  // "" when nothing.
  std::string system;
};

// A program that holds a volume.
struct Holder {
  long pid = 0;
  std::string name;
};

struct EjectPlan {
  bool found = false;
  // When not empty, why nothing may be done (the disk holds the system).
  std::string refusal;
  std::vector<Unmount> unmounts;   // innermost first
  std::vector<std::string> locks;  // unlocked encrypted volumes' objects
  MediumAction action = MediumAction::kNone;
  std::string actionPath;  // the loop's block object, or the drive
};

// What to do for the disk whose kernel name is `kernelName` ("sdb").
EjectPlan planEject(const UdisksObjects& objects, const std::string& kernelName,
                    const DiskFacts& facts);

// What the eject needs from the system.
class EjectHost {
 public:
  virtual ~EjectHost() = default;
  // udisks2's objects (GetManagedObjects).
  virtual CallResult managedObjects(UdisksObjects& objects) = 0;
  // Calls `method` of `interface` on the object at `path` with empty options.
  virtual CallResult call(const std::string& path, const char* interface, const char* method) = 0;
  virtual DiskFacts diskFacts(const std::string& kernelName) = 0;
  // The programs holding the filesystem mounted at `mountPoint`.
  virtual std::vector<Holder> holders(const std::string& mountPoint) = 0;
  virtual void pause(std::chrono::milliseconds duration) = 0;
};

// udisks2 can answer DeviceBusy for a moment while it cleans up after
// itself, so a busy unmount is tried once more after this pause.
inline constexpr std::chrono::milliseconds kBusyRetryPause{250};

// Ejects the disk `kernelName`, writing failures to `errors`; returns the
// exit status.
ExitStatus ejectDisk(EjectHost& host, const std::string& kernelName, std::ostream& errors);

}  // namespace pomrel::host::diskutil
