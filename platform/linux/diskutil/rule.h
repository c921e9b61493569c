// The udev rules that mark a card reader the installed rules do not know,
// printed for the disk of a card in it ("pomrel-diskutil rule sdb").
#pragma once

#include <iosfwd>
#include <string>

#include "platform/linux/system_disk.h"

namespace pomrel::host::diskutil {

// Writes to `out` two udev rules for the reader that holds disk `name` (a
// kernel name, such as "sdb"; a partition stands for its disk): one marks
// the reader's own device with POMREL_READER="1" (its USB interface, or its
// PCI function), the other its whole disks with POMREL_SERVICE="SxS Media".
// Both match the reader by its USB vendor, product and serial number (when
// it has one; without its trailing whitespace, which udev drops before it
// matches), or by its PCI slot, vendor and device, so they fit
// /etc/udev/rules.d as they are and match that reader (and, without a serial
// number, its identical twins) alone. Returns 0; or, having written why to
// `errors`, kNoDisk for a disk udev does not know, one with no USB or PCI
// device above it (a loop device, a virtual disk), or one where any device
// the rules match holds the system's own disk (systemUseBelow, with
// `system`'s tables): the disk itself, or another disk of the same
// controller.
int printReaderRules(const std::string& name, std::ostream& out, std::ostream& errors,
                     const SystemTables& system = {});

}  // namespace pomrel::host::diskutil
