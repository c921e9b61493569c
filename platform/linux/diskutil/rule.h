// The udev rules that mark a card reader the installed rules do not know,
// printed for the disk of a card in it ("pomrel-diskutil rule sdb").
#pragma once

#include <iosfwd>
#include <string>

namespace pomrel::host::diskutil {

// Writes to `out` two udev rules for the reader that holds disk `name` (a
// kernel name, such as "sdb"; a partition stands for its disk): one marks
// the reader's own device with POMREL_READER="1" (its USB interface, or its
// PCI function), the other its whole disks with POMREL_SERVICE="SxS Media".
// Both match the reader by its USB vendor, product and serial number (when
// it has one), or by its PCI vendor and device, so they fit
// /etc/udev/rules.d as they are. Returns 0; or, having written why to
// `errors`, kNoDisk for a disk udev does not know, one with no USB or PCI
// device above it (a loop device, a virtual disk), or one whose USB or PCI
// device also holds a system mount point (/, /boot, /usr...: the system's
// disk controller, as the mount table at `mountInfo` says).
int printReaderRules(const std::string& name, std::ostream& out, std::ostream& errors,
                     const std::string& mountInfo = "/proc/self/mountinfo");

}  // namespace pomrel::host::diskutil
