#include "platform/linux/diskutil/disk_facts.h"

#include "media/sxs_driver.h"
#include "platform/linux/registry.h"
#include "platform/linux/udev_device.h"

namespace pomrel::host::diskutil {

DiskFacts readDiskFacts(const std::string& kernelName, const SystemTables& system) {
  DiskFacts facts;
  Udev udev;
  if (const UdevDevice disk = udev.device("block", kernelName)) {
    facts.isCard = disk.property(kServiceProperty) == kSxSMediaServiceName;
    // What a rule marks as a reader: a USB reader's interface, or the PCI
    // function of a card that is itself the device.
    facts.underMarkedReader =
        disk.parentWith("usb", "usb_interface").property(kReaderProperty) == "1" ||
        disk.parentWith("pci").property(kReaderProperty) == "1";
    facts.system = systemUseBelow(udev, disk, system).what;
  }
  return facts;
}

}  // namespace pomrel::host::diskutil
