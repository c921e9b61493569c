#include "platform/linux/diskutil/rule.h"

#include <ostream>

#include "platform/linux/diskutil/eject.h"
#include "platform/linux/mount_table.h"
#include "platform/linux/registry.h"
#include "platform/linux/udev_device.h"

namespace pomrel::host::diskutil {
namespace {

// A value as a udev match: characters that would end the string or act as a
// pattern (and any outside printable ASCII) match as '?', any one character.
std::string matchValue(const std::string& value) {
  std::string match;
  for (const char c : value) {
    const bool plain = c > 0x20 && c < 0x7F && c != '"' && c != '\\' && c != '*' && c != '?' &&
                       c != '[' && c != ']' && c != '|';
    match += plain ? c : '?';
  }
  return match;
}

std::string attributeMatch(const char* key, const UdevDevice& device, const char* name) {
  const std::optional<std::string> value = device.attribute(name);
  if (!value || value->empty()) return "";
  return std::string(", ") + key + "{" + name + "}==\"" + matchValue(*value) + "\"";
}

// The system's own mount points: a device that holds one of them is the
// system's disk controller, never a card reader to be stopped.
bool holdsTheSystem(Udev& udev, const UdevDevice& reader, const std::string& mountInfo,
                    std::string& found) {
  MountTable mounts;
  if (!mounts.read(mountInfo)) return false;
  for (const UdevDevice& block : udev.blockDevicesBelow(reader)) {
    for (const std::string& point : mounts.mountPointsOf(block)) {
      for (const char* system : {"/", "/boot", "/boot/efi", "/usr", "/var"}) {
        if (point == system) {
          found = block.sysName() + " (mounted at " + point + ")";
          return true;
        }
      }
    }
  }
  return false;
}

}  // namespace

int printReaderRules(const std::string& name, std::ostream& out, std::ostream& errors,
                     const std::string& mountInfo) {
  Udev udev;
  UdevDevice disk = udev.device("block", name);
  if (!disk) {
    errors << "pomrel-diskutil: udev knows no disk named " << name << "\n";
    return kNoDisk;
  }
  if (disk.devType() == "partition") disk = disk.parentWith("block", "disk");

  std::string reader;  // the rule's match for the reader's own device
  std::string above;   // the disk rule's match for a device above it
  std::string what;
  const UdevDevice interface = disk.parentWith("usb", "usb_interface");
  const UdevDevice usb = interface.parentWith("usb", "usb_device");
  const UdevDevice pci = disk.parentWith("pci");
  if (interface && usb) {
    // idVendor, idProduct and serial are the USB device's, so the ATTRS keys
    // of each rule match that one parent together, as udev requires. The
    // interface is matched by its number, not by its driver: udev runs the
    // rules again on the kernel's unbind and bind events, and a match on the
    // driver would take the mark away from an unbound reader.
    const std::string device = attributeMatch("ATTRS", usb, "idVendor") +
                               attributeMatch("ATTRS", usb, "idProduct") +
                               attributeMatch("ATTRS", usb, "serial");
    reader = "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_interface\"" + device +
             attributeMatch("ATTR", interface, "bInterfaceNumber");
    above = ", SUBSYSTEMS==\"usb\"" + device;
    what = "the USB card reader " + usb.attribute("idVendor").value_or("?") + ":" +
           usb.attribute("idProduct").value_or("?");
  } else if (pci) {
    const std::string device =
        attributeMatch("ATTRS", pci, "vendor") + attributeMatch("ATTRS", pci, "device");
    reader = "SUBSYSTEM==\"pci\"" + attributeMatch("ATTR", pci, "vendor") +
             attributeMatch("ATTR", pci, "device");
    above = ", SUBSYSTEMS==\"pci\"" + device;
    what = "the PCI card " + pci.sysName();
  } else {
    errors << "pomrel-diskutil: " << disk.sysName()
           << " has no USB or PCI device above it (a loop device, or a virtual disk), so no "
              "card reader holds it\n";
    return kNoDisk;
  }
  if (std::string system; holdsTheSystem(udev, interface ? interface : pci, mountInfo, system)) {
    errors << "pomrel-diskutil: the device that holds " << disk.sysName() << " also holds "
           << system << ": it is the system's disk controller, not a card reader\n";
    return kNoDisk;
  }
  out << "# Pomrel: " << what << ", which holds " << disk.sysName() << ".\n"
      << "# The reader's own device, which Pomrel stops and starts:\n"
      << reader << ", ENV{" << kReaderProperty << "}=\"1\"\n"
      << "# Its disks, the card:\n"
      << "SUBSYSTEM==\"block\", ENV{DEVTYPE}==\"disk\"" << above << ", ENV{" << kServiceProperty
      << "}=\"SxS Media\"\n";
  return 0;
}

}  // namespace pomrel::host::diskutil
