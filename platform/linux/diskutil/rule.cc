#include "platform/linux/diskutil/rule.h"

#include <fnmatch.h>

#include <ostream>
#include <vector>

#include "platform/linux/diskutil/eject.h"
#include "platform/linux/registry.h"
#include "platform/linux/udev_device.h"

namespace pomrel::host::diskutil {
namespace {

// A value as a udev match. udev drops an attribute's trailing whitespace
// before it matches a pattern that does not end in whitespace itself, so the
// pattern leaves it out too. Characters that would end the string or act as
// a pattern (and any outside printable ASCII) match as '?', any one
// character.
std::string matchValue(std::string value) {
  value.erase(value.find_last_not_of(" \t\n\r") + 1);
  std::string match;
  for (const char c : value) {
    const bool plain = c > 0x20 && c < 0x7F && c != '"' && c != '\\' && c != '*' && c != '?' &&
                       c != '[' && c != ']' && c != '|';
    match += plain ? c : '?';
  }
  return match;
}

std::string attributeMatch(const char* key, const UdevDevice& device, const char* name) {
  const std::string value = matchValue(device.attribute(name).value_or(""));
  if (value.empty()) return "";
  return std::string(", ") + key + "{" + name + "}==\"" + value + "\"";
}

// The USB devices that the rules printed for `usb` match: itself first, then
// those of the same vendor and product whose serial number fits the printed
// one.
std::vector<UdevDevice> sameUsbDevices(Udev& udev, const UdevDevice& usb) {
  std::vector<UdevDevice> same =
      udev.devicesWithAttribute("usb", "idVendor", usb.attribute("idVendor").value_or(""));
  const std::string serial = matchValue(usb.attribute("serial").value_or(""));
  std::erase_if(same, [&](const UdevDevice& other) {
    std::string theirs = other.attribute("serial").value_or("");
    theirs.erase(theirs.find_last_not_of(" \t\n\r") + 1);
    return other.sysPath() == usb.sysPath() ||
           other.attribute("idProduct") != usb.attribute("idProduct") ||
           (!serial.empty() && ::fnmatch(serial.c_str(), theirs.c_str(), 0) != 0);
  });
  same.insert(same.begin(), udev.deviceAt(usb.sysPath()));
  return same;
}

}  // namespace

int printReaderRules(const std::string& name, std::ostream& out, std::ostream& errors,
                     const SystemTables& system) {
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
  std::vector<UdevDevice> matched;  // the devices above disks that the rules match
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
    matched = sameUsbDevices(udev, usb);
  } else if (pci) {
    // The slot too: identical functions (a second controller of the same
    // model) are other devices.
    const std::string slot = "==\"" + matchValue(pci.sysName()) + "\"";
    const std::string device =
        attributeMatch("ATTRS", pci, "vendor") + attributeMatch("ATTRS", pci, "device");
    reader = "SUBSYSTEM==\"pci\", KERNEL" + slot + attributeMatch("ATTR", pci, "vendor") +
             attributeMatch("ATTR", pci, "device");
    above = ", SUBSYSTEMS==\"pci\", KERNELS" + slot + device;
    what = "the PCI card " + pci.sysName();
    matched.push_back(udev.deviceAt(pci.sysPath()));
  } else {
    errors << "pomrel-diskutil: " << disk.sysName()
           << " has no USB or PCI device above it (a loop device, or a virtual disk), so no "
              "card reader holds it\n";
    return kNoDisk;
  }
  // Neither the rules nor what they mark may touch the system's own disk.
  for (const UdevDevice& device : matched) {
    const SystemUse use = systemUseBelow(udev, device, system);
    if (!use) continue;
    errors << "pomrel-diskutil: ";
    if (use.disk.empty()) {
      errors << use.what;
    } else if (use.disk == disk.sysName()) {
      errors << disk.sysName() << " is the system's own disk (" << use.what
             << "), not a card in a reader";
    } else if (device.sysPath() == (interface ? usb : pci).sysPath()) {
      errors << "the device that holds " << disk.sysName() << " also holds the system's own disk "
             << use.disk << " (" << use.what << "): it is the system's disk controller, not a "
             << "card reader";
    } else {
      errors << "the rules for " << disk.sysName() << " would also match " << device.sysName()
             << ", which holds the system's own disk " << use.disk << " (" << use.what << ")";
    }
    errors << "; no rules are printed\n";
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
