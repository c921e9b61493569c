#include "platform/linux/diskutil/eject.h"

#include <algorithm>
#include <ostream>

#include "platform/linux/diskutil/udisks2_names.h"

namespace pomrel::host::diskutil {

namespace {

// Mount points that make a disk the system's own: unmounting them is refused
// whatever a udev rule says about the disk.
constexpr const char* kSystemMountPoints[] = {"/", "/boot", "/usr", "/var", "/home"};

const UdisksObject* find(const UdisksObjects& objects, const std::string& path) {
  if (path == udisks2::kNoObject) return nullptr;
  const auto found = std::find_if(objects.begin(), objects.end(),
                                  [&](const UdisksObject& o) { return o.path == path; });
  return found != objects.end() ? &*found : nullptr;
}

// Adds `block`'s mounted filesystems (its unlocked volume's first) and its
// unlocked volume to `plan`.
void addVolume(const UdisksObjects& objects, const UdisksObject& block, EjectPlan& plan) {
  if (block.isEncrypted) {
    if (const UdisksObject* cleartext = find(objects, block.cleartext)) {
      addVolume(objects, *cleartext, plan);
      plan.locks.push_back(block.path);
    }
  }
  if (block.isFilesystem && !block.mountPoints.empty()) {
    plan.unmounts.push_back({block.path, block.mountPoints});
    for (const std::string& point : block.mountPoints) {
      if (std::find(std::begin(kSystemMountPoints), std::end(kSystemMountPoints), point) !=
          std::end(kSystemMountPoints)) {
        plan.refusal = block.device + " is mounted at " + point +
                       ": the disk holds the system's own files and is not ejected";
      }
    }
  }
}

std::string describe(const CallResult& result) {
  if (classify(result) == Outcome::kTimedOut) return "udisks2 did not answer in time";
  return result.message.empty() ? result.errorName : result.message;
}

}  // namespace

Outcome classify(const CallResult& result) {
  if (result.ok || result.errorName == udisks2::kErrorNotMounted) return Outcome::kDone;
  if (result.errorName == udisks2::kErrorDeviceBusy) return Outcome::kBusy;
  if (result.errorName == udisks2::kErrorTimedOut ||
      result.errorName == udisks2::kErrorDBusTimeout ||
      result.errorName == udisks2::kErrorDBusNoReply) {
    return Outcome::kTimedOut;
  }
  return Outcome::kFailed;
}

EjectPlan planEject(const UdisksObjects& objects, const std::string& kernelName) {
  EjectPlan plan;
  const std::string device = "/dev/" + kernelName;
  const auto disk = std::find_if(objects.begin(), objects.end(), [&](const UdisksObject& o) {
    return o.isBlock && o.device == device;
  });
  if (disk == objects.end()) return plan;
  plan.found = true;

  for (const UdisksObject& object : objects) {
    if (object.isBlock && object.partitionTable == disk->path) addVolume(objects, object, plan);
  }
  addVolume(objects, *disk, plan);

  if (disk->isLoop) {
    plan.action = MediumAction::kDeleteLoop;
    plan.actionPath = disk->path;
  } else if (const UdisksObject* drive = find(objects, disk->drive); drive && drive->isDrive) {
    // The removable flag, not Ejectable (the SCSI removable bit, which
    // readers often get wrong), tells a reader with a card from a card.
    if (drive->mediaRemovable && drive->mediaAvailable) {
      plan.action = MediumAction::kEject;
    } else if (drive->canPowerOff) {
      plan.action = MediumAction::kPowerOff;
    }
    if (plan.action != MediumAction::kNone) plan.actionPath = drive->path;
  }
  return plan;
}

ExitStatus ejectDisk(EjectHost& host, const std::string& kernelName, std::ostream& errors) {
  UdisksObjects objects;
  if (const CallResult asked = host.managedObjects(objects); !asked.ok) {
    errors << "pomrel-diskutil: cannot ask udisks2 about the disks: " << describe(asked) << "\n";
    return kNoDisk;
  }
  const EjectPlan plan = planEject(objects, kernelName);
  if (!plan.found) {
    errors << "pomrel-diskutil: udisks2 knows no disk /dev/" << kernelName << "\n";
    return kNoDisk;
  }
  if (!plan.refusal.empty()) {
    errors << kEjectFailPhrase << "\n" << plan.refusal << "\n";
    return kVolumeFailed;
  }

  for (const Unmount& unmount : plan.unmounts) {
    CallResult result = host.call(unmount.path, udisks2::kFilesystem, udisks2::kUnmount);
    if (classify(result) == Outcome::kBusy) {
      host.pause(kBusyRetryPause);
      result = host.call(unmount.path, udisks2::kFilesystem, udisks2::kUnmount);
    }
    if (classify(result) == Outcome::kDone) continue;
    errors << kEjectFailPhrase << "\n" << describe(result) << "\n";
    for (const std::string& point : unmount.mountPoints) {
      for (const std::string& holder : host.holders(point)) {
        errors << "In use by " << holder << "\n";
      }
    }
    return kVolumeFailed;
  }

  // From here on the card is safe to pull: failures are told, not the phrase.
  for (const std::string& path : plan.locks) {
    const CallResult result = host.call(path, udisks2::kEncrypted, udisks2::kLock);
    if (classify(result) != Outcome::kDone) {
      errors << "pomrel-diskutil: unmounted, but could not lock an encrypted volume: "
             << describe(result) << "\n";
      return kMediumFailed;
    }
  }
  const char* interface = nullptr;
  const char* method = nullptr;
  switch (plan.action) {
    case MediumAction::kNone:
      return kEjected;
    case MediumAction::kDeleteLoop:
      interface = udisks2::kLoop;
      method = udisks2::kLoopDelete;
      break;
    case MediumAction::kEject:
      interface = udisks2::kDrive;
      method = udisks2::kEject;
      break;
    case MediumAction::kPowerOff:
      interface = udisks2::kDrive;
      method = udisks2::kPowerOff;
      break;
  }
  const CallResult result = host.call(plan.actionPath, interface, method);
  if (classify(result) != Outcome::kDone) {
    errors << "pomrel-diskutil: unmounted, but " << method << " failed: " << describe(result)
           << "\n";
    return kMediumFailed;
  }
  return kEjected;
}

}  // namespace pomrel::host::diskutil
