#include "platform/linux/diskutil/eject.h"

#include <algorithm>
#include <map>
#include <ostream>
#include <string_view>

#include "media/eject_report.h"
#include "platform/linux/diskutil/udisks2_names.h"

namespace pomrel::host::diskutil {

namespace {

const UdisksObject* find(const UdisksObjects& objects, const std::string& path) {
  if (path == udisks2::kNoObject) return nullptr;
  const auto found = std::find_if(objects.begin(), objects.end(),
                                  [&](const UdisksObject& o) { return o.path == path; });
  return found != objects.end() ? &*found : nullptr;
}

// `text` on one line, each control character replaced by `replacement`, so
// that nothing udisks2 or a program says can pass for a report line.
std::string printable(std::string_view text, char replacement = ' ') {
  std::string line(text);
  std::replace_if(
      line.begin(), line.end(),
      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == '\x7f'; }, replacement);
  return line;
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
  }
}

std::string describe(const CallResult& result) {
  if (classify(result) == Outcome::kTimedOut) return "udisks2 did not answer in time";
  return printable(result.message.empty() ? result.errorName : result.message);
}

void writeCause(std::ostream& errors, const char* cause) {
  errors << kCauseTag << "\t" << cause << "\n";
}

const char* causeOf(const CallResult& result) {
  switch (classify(result)) {
    case Outcome::kTimedOut:
      return kCauseNoAnswer;
    case Outcome::kNotAuthorized:
      return kCauseNotAuthorized;
    default:
      return kCauseFailed;
  }
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
  if (result.errorName == udisks2::kErrorNotAuthorized ||
      result.errorName == udisks2::kErrorNotAuthorizedCanObtain ||
      result.errorName == udisks2::kErrorNotAuthorizedDismissed) {
    return Outcome::kNotAuthorized;
  }
  return Outcome::kFailed;
}

EjectPlan planEject(const UdisksObjects& objects, const std::string& kernelName,
                    const DiskFacts& facts) {
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
  if (!facts.system.empty()) {
    plan.refusal =
        device + " holds the system's own files (" + facts.system + ") and is not ejected";
  }

  if (disk->isLoop) {
    plan.action = MediumAction::kDeleteLoop;
    plan.actionPath = disk->path;
  } else if (const UdisksObject* drive = find(objects, disk->drive); drive && drive->isDrive) {
    // The removable flag, not Ejectable (the SCSI removable bit, which
    // readers often get wrong), tells a reader with a card from a card.
    if (facts.underMarkedReader || (drive->mediaRemovable && drive->mediaAvailable)) {
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
    writeCause(errors,
               classify(asked) == Outcome::kTimedOut ? kCauseNoAnswer : kCauseNoDiskService);
    return kNoDisk;
  }
  const DiskFacts facts = host.diskFacts(kernelName);
  const EjectPlan plan = planEject(objects, kernelName, facts);
  if (!plan.found) {
    errors << "pomrel-diskutil: udisks2 knows no disk /dev/" << printable(kernelName) << "\n";
    return kNoDisk;
  }
  // Told apart from a disk gone (above), which the caller looks up again.
  if (!facts.isCard) {
    errors << kEjectFailPhrase << "\n/dev/" << printable(kernelName)
           << " is not marked as the card's disk (udev property POMREL_SERVICE) and is not "
              "ejected\n";
    writeCause(errors, kCauseNotCard);
    return kVolumeFailed;
  }
  if (!plan.refusal.empty()) {
    errors << kEjectFailPhrase << "\n" << printable(plan.refusal) << "\n";
    writeCause(errors, kCauseSystemDisk);
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
    if (classify(result) != Outcome::kBusy) {
      writeCause(errors, causeOf(result));
      return kVolumeFailed;
    }
    // One line per program, however many of the volume's mount points it holds.
    std::map<long, std::string> holders;
    for (const std::string& point : unmount.mountPoints) {
      for (const Holder& holder : host.holders(point)) holders.emplace(holder.pid, holder.name);
    }
    for (const auto& [pid, name] : holders) {
      errors << kHolderTag << "\t" << pid << "\t" << printable(name, '?') << "\n";
    }
    return kVolumeFailed;
  }

  // From here on the card is safe to pull: failures are told, not the phrase.
  for (const std::string& path : plan.locks) {
    const CallResult result = host.call(path, udisks2::kEncrypted, udisks2::kLock);
    if (classify(result) != Outcome::kDone) {
      errors << "pomrel-diskutil: unmounted, but could not lock an encrypted volume: "
             << describe(result) << "\n";
      writeCause(errors, causeOf(result));
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
    writeCause(errors, causeOf(result));
    return kMediumFailed;
  }
  return kEjected;
}

}  // namespace pomrel::host::diskutil
