// pomrel-diskutil: the host's disk utility. "pomrel-diskutil eject DISK"
// ejects the disk with kernel name DISK through udisks2 (see eject.h);
// "pomrel-diskutil rule DISK" prints the udev rules for the card reader that
// holds it (see rule.h).
#include <cstring>
#include <iostream>
#include <string>

#include "platform/linux/diskutil/eject.h"
#include "platform/linux/diskutil/rule.h"
#include "platform/linux/diskutil/system_host.h"

int main(int argc, char** argv) {
  using namespace pomrel::host::diskutil;
  // A kernel name is one path component of /dev.
  const bool rule = argc == 3 && std::strcmp(argv[1], "rule") == 0;
  const bool usable = argc == 3 && (rule || std::strcmp(argv[1], "eject") == 0) &&
                      argv[2][0] != '\0' && std::strchr(argv[2], '/') == nullptr &&
                      std::strcmp(argv[2], ".") != 0 && std::strcmp(argv[2], "..") != 0;
  if (!usable) {
    std::cerr << "usage: pomrel-diskutil eject DISK   (DISK: a disk's kernel name, such as sdb)\n"
                 "       pomrel-diskutil rule DISK\n";
    return kUsage;
  }
  if (rule) return printReaderRules(argv[2], std::cout, std::cerr);
  SystemEjectHost host;
  return ejectDisk(host, argv[2], std::cerr);
}
