// pomrel-diskutil: the host's disk utility. "pomrel-diskutil eject NAME"
// ejects the disk with kernel name NAME through udisks2 (see eject.h).
#include <cstring>
#include <iostream>
#include <string>

#include "platform/linux/diskutil/eject.h"
#include "platform/linux/diskutil/system_host.h"

int main(int argc, char** argv) {
  using namespace pomrel::host::diskutil;
  // A kernel name is one path component of /dev.
  const bool usable = argc == 3 && std::strcmp(argv[1], "eject") == 0 && argv[2][0] != '\0' &&
                      std::strchr(argv[2], '/') == nullptr && std::strcmp(argv[2], ".") != 0 &&
                      std::strcmp(argv[2], "..") != 0;
  if (!usable) {
    std::cerr << "usage: pomrel-diskutil eject NAME   (NAME: a disk's kernel name, such as sdb)\n";
    return kUsage;
  }
  SystemEjectHost host;
  return ejectDisk(host, argv[2], std::cerr);
}
