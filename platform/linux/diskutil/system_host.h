// pomrel-diskutil's EjectHost on the running system: udisks2 on the system
// bus through sd-bus (DBUS_SYSTEM_BUS_ADDRESS, when set, names the bus), and
// the programs that hold a volume found in /proc the way fuser finds them.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/linux/diskutil/eject.h"

struct sd_bus;

namespace pomrel::host::diskutil {

class SystemEjectHost : public EjectHost {
 public:
  SystemEjectHost() = default;
  SystemEjectHost(const SystemEjectHost&) = delete;
  SystemEjectHost& operator=(const SystemEjectHost&) = delete;
  ~SystemEjectHost() override;

  // Connects on the first call.
  CallResult managedObjects(UdisksObjects& objects) override;
  // Allows the desktop's polkit agent to ask the user, when udisks2 wants it.
  CallResult call(const std::string& path, const char* interface, const char* method) override;
  // From udev and sysfs (disk_facts.h).
  DiskFacts diskFacts(const std::string& kernelName) override;
  std::vector<Holder> holders(const std::string& mountPoint) override;
  void pause(std::chrono::milliseconds duration) override;

 private:
  CallResult connect();

  sd_bus* bus_ = nullptr;
};

// The processes with a working folder, root, open file or mapped file on the
// filesystem that holds `mountPoint`, in pid order. Processes whose /proc
// entries this process may not read are not seen.
std::vector<Holder> findHolders(const std::string& mountPoint,
                                const std::string& procRoot = "/proc");

}  // namespace pomrel::host::diskutil
