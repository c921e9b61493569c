// The card readers under umockdev: the privileged helper's stop and start of
// the marked readers, the plug-in's presence, and pomrel-diskutil's rules. The
// testbed holds a USB SxS reader with a card, a USB stick, a PCI SxS card and a
// loop device; with no kernel behind it, a write to a driver's files does what
// the kernel would (an unbind removes the `driver` link, a probe makes it).
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/linux/diskutil/disk_facts.h"
#include "platform/linux/diskutil/eject.h"
#include "platform/linux/diskutil/rule.h"
#include "platform/linux/driverctl/reader_control.h"
#include "platform/linux/file_manager.h"
#include "platform/posix/file_reader.h"
#include "tests/linux/umockdev_testbed.h"

namespace pomrel::host {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

const std::string kPci = "/devices/pci0000:00/0000:00:1c.0/0000:03:00.0";
const std::string kUsb = "/devices/pci0000:00/0000:00:14.0/usb1/";
const std::string kReader = kUsb + "1-1/1-1:1.0";
const std::string kScsi = kReader + "/host6/target6:0:0/6:0:0:0";
const std::string kStick = kUsb + "1-2/1-2:1.0";
// Each device as umockdev records it, its lines separated by ';'.
const Strings kDevices{
    "P: " + kUsb +
        "1-1;E: SUBSYSTEM=usb;E: DEVTYPE=usb_device;A: idVendor=054c;"
        "A: idProduct=02d8;A: serial=0123\"AB*",
    "P: " + kReader +
        ";E: SUBSYSTEM=usb;E: DEVTYPE=usb_interface;E: POMREL_READER=1;"
        "A: bInterfaceNumber=00",
    "P: " + kReader + "/host6;E: SUBSYSTEM=scsi;E: DEVTYPE=scsi_host",
    "P: " + kScsi + ";E: SUBSYSTEM=scsi;E: DEVTYPE=scsi_device",
    "P: " + kScsi +
        "/block/sdb;E: SUBSYSTEM=block;E: DEVTYPE=disk;E: MAJOR=8;E: MINOR=16;"
        "E: DEVNAME=/dev/sdb;E: POMREL_SERVICE=SxS Media",
    "P: " + kScsi +
        "/block/sdb/sdb1;E: SUBSYSTEM=block;E: DEVTYPE=partition;E: MAJOR=8;"
        "E: MINOR=17;E: DEVNAME=/dev/sdb1",
    "P: " + kUsb + "1-2;E: SUBSYSTEM=usb;E: DEVTYPE=usb_device;A: idVendor=0781",
    "P: " + kStick + ";E: SUBSYSTEM=usb;E: DEVTYPE=usb_interface",
    "P: " + kStick +
        "/host7/target7:0:0/7:0:0:0/block/sdc;E: SUBSYSTEM=block;E: DEVTYPE=disk;"
        "E: MAJOR=8;E: MINOR=32;E: DEVNAME=/dev/sdc",
    "P: " + kPci + ";E: SUBSYSTEM=pci;A: vendor=0x104d;A: device=0x905c",
    "P: " + kPci +
        "/block/sdd;E: SUBSYSTEM=block;E: DEVTYPE=disk;E: MAJOR=8;E: MINOR=48;"
        "E: DEVNAME=/dev/sdd",
    std::string("P: /devices/virtual/block/loop0;E: SUBSYSTEM=block;E: DEVTYPE=disk;") +
        "E: MAJOR=7;E: MINOR=0;E: DEVNAME=/dev/loop0",
};
// The devices bound to a driver: their paths and their drivers' folders.
const std::map<std::string, std::pair<std::string, std::string>> kDriverOf{
    {"1-1:1.0", {kReader, "/sys/bus/usb/drivers/usb-storage"}},
    {"6:0:0:0", {kScsi, "/sys/bus/scsi/drivers/sd"}},
    {"1-2:1.0", {kStick, "/sys/bus/usb/drivers/usb-storage"}},
    {"0000:03:00.0", {kPci, "/sys/bus/pci/drivers/sxs"}},
};
// The stick's and the loop device's filesystems are always mounted.
const std::string kMounts =
    "21 1 8:32 / /media/stick rw - ext4 /dev/sdc rw\n"
    "22 1 7:0 / /media/image rw - ext4 /dev/loop0 rw\n";

class ReaderTest : public UmockdevTest {
 protected:
  // The devices again, each with its driver, and the drivers' files empty.
  void reset() {
    umockdev_testbed_clear(testbed_);
    addDevices(kDevices);
    for (const auto& [name, device] : kDriverOf) bind(name, true);
    for (const char* bus : {"usb", "pci"})
      std::ofstream(root_ + "/sys/bus/" + bus + "/drivers_probe") << "";
    writes_.clear();
    mounts_ = kMounts;
    kernelActs_ = true;
  }
  void bind(const std::string& name, bool bound) {
    const auto& [device, driver] = kDriverOf.at(name);
    const fs::path link = root_ + "/sys" + device + "/driver";
    fs::remove(link);
    if (!bound) return;
    fs::create_directories(root_ + driver);
    std::ofstream(root_ + driver + "/unbind") << "";
    fs::create_symlink(fs::relative(root_ + driver, link.parent_path()), link);
  }
  void mark(const std::string& device, const char* value) {
    umockdev_testbed_set_property(testbed_, ("/sys" + device).c_str(), "POMREL_READER", value);
  }

  // What a request answers, or what the rule command prints (and its
  // status, when it fails).
  std::string act(const std::string& request) {
    const std::string mountInfo = root_ + "/mountinfo";
    std::ofstream(mountInfo) << mounts_;
    ReaderControl control{[this](const std::string& path, const std::string& value) {
                            writes_.push_back(path + " <- " + value);
                            const int error = writeSysfsAttribute(path, value);
                            EXPECT_EQ(posix::readFile(root_ + path, 4096).bytes, value) << path;
                            if (error == 0 && kernelActs_) bind(value, path.ends_with("_probe"));
                            return error;
                          },
                          mountInfo, std::chrono::milliseconds(100)};
    if (request == "unload") return unbindReaders(control);
    if (request == "load") return bindReaders(control);
    if (request.starts_with("facts ")) {  // what pomrel-diskutil eject learns of a disk
      const diskutil::DiskFacts facts = diskutil::readDiskFacts(request.substr(6));
      return "card " + std::to_string(facts.isCard) + ", reader " +
             std::to_string(facts.underMarkedReader);
    }
    std::ostringstream out;
    const int status = diskutil::printReaderRules(request, out, out, mountInfo);
    return status == 0 ? out.str() : std::to_string(status) + " " + out.str();
  }

  Strings writes_;
  std::string mounts_;
  bool kernelActs_ = true;
};

TEST_F(ReaderTest, TheMarkedReaderAloneIsStoppedAndStartedAndItsRulesPrinted) {
  const std::string unbindReader = "/sys" + kReader + "/driver/unbind <- 1-1:1.0";
  const std::string probeReader = "/sys/bus/usb/drivers_probe <- 1-1:1.0";
  const std::string readerRules =
      "# Pomrel: the USB card reader 054c:02d8, which holds sdb.\n"
      "# The reader's own device, which Pomrel stops and starts:\n"
      "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_interface\", ATTRS{idVendor}==\"054c\", "
      "ATTRS{idProduct}==\"02d8\", ATTRS{serial}==\"0123?AB?\", ATTR{bInterfaceNumber}==\"00\", "
      "ENV{POMREL_READER}=\"1\"\n# Its disks, the card:\n"
      "SUBSYSTEM==\"block\", ENV{DEVTYPE}==\"disk\", SUBSYSTEMS==\"usb\", "
      "ATTRS{idVendor}==\"054c\", ATTRS{idProduct}==\"02d8\", ATTRS{serial}==\"0123?AB?\", "
      "ENV{POMREL_SERVICE}=\"SxS Media\"\n";
  struct Case {
    const char* what;
    std::function<void()> arrange;
    std::string request;
    std::string answer;  // "" for success; else a part of the answer or of the rules
    Strings writes;
    bool installed = true;
  };
  const auto unbound = [this](const char* name) { return [this, name] { bind(name, false); }; };
  const auto mounted = [this](const char* line) { return [this, line] { mounts_ += line; }; };
  const auto pciOnly = [this] { mark(kReader, "0"), mark(kPci, "1"); };
  // clang-format off
  const std::vector<Case> cases{
      {"the reader stops", {}, "unload", "", {unbindReader}},
      {"the reader starts", unbound("1-1:1.0"), "load", "", {probeReader}},
      {"a stopped reader is not stopped again", unbound("1-1:1.0"), "unload", "", {}},
      {"a started reader is not probed again", {}, "load", "", {}},
      {"a mounted card", mounted("30 1 8:17 / /media/card rw - ext4 /dev/sdb1 rw\n"), "unload",
       "sdb1 below the reader 1-1:1.0 is mounted at /media/card", {}},
      {"a mounted card without a number of its own",
       mounted("30 1 0:55 / /media/card rw - btrfs /dev/sdb1 rw\n"), "unload", "is mounted", {}},
      {"a marked USB device, not its interface", [this] { mark(kUsb + "1-1", "1"); }, "unload",
       "neither a USB interface nor a PCI function: 1-1 (usb/usb_device)", {}},
      {"nothing marked", [this] { mark(kReader, "0"); }, "unload", "", {}, false},
      {"the PCI card stops", pciOnly, "unload", "",
       {"/sys" + kPci + "/driver/unbind <- 0000:03:00.0"}},
      {"the PCI card starts", [&] { pciOnly(); bind("0000:03:00.0", false); }, "load", "",
       {"/sys/bus/pci/drivers_probe <- 0000:03:00.0"}},
      {"the kernel keeps it bound", [this] { kernelActs_ = false; }, "unload",
       "the reader 1-1:1.0 still has a driver", {unbindReader}},
      {"the kernel does not bind it", [this] { kernelActs_ = false; bind("1-1:1.0", false); },
       "load", "the reader 1-1:1.0 has no driver after 100 ms", {probeReader}},
      {"the card, under a marked reader", {}, "facts sdb", "card 1, reader 1", {}},
      {"a stick, under no marked reader", {}, "facts sdc", "card 0, reader 0", {}},
      {"the rules for the reader", {}, "sdb", readerRules, {}},
      {"a partition stands for its disk", {}, "sdb1", "holds sdb.\n", {}},
      {"the rules for the PCI card", {}, "sdd", "SUBSYSTEM==\"pci\", ATTR{vendor}==\"0x104d\", "
       "ATTR{device}==\"0x905c\", ENV{POMREL_READER}=\"1\"\n", {}},
      {"the system's disk below", mounted("31 1 8:48 / / rw - ext4 /dev/sdd rw\n"), "sdd",
       "2 pomrel-diskutil: the device that holds sdd also holds sdd (mounted at /)", {}},
      {"a loop device", {}, "loop0", "2 pomrel-diskutil: loop0 has no USB or PCI device above it",
       {}},
      {"no such disk", {}, "sdz", "2 pomrel-diskutil: udev knows no disk named sdz", {}},
  };
  // clang-format on
  for (const Case& c : cases) {
    reset();
    if (c.arrange) c.arrange();
    const std::string answer = act(c.request);
    EXPECT_TRUE(c.answer.empty() ? answer.empty() : answer.find(c.answer) != std::string::npos)
        << c.what << ": " << answer;
    EXPECT_EQ(writes_, c.writes) << c.what;
    EXPECT_EQ(HostFileManager("/plug-in", "").fileExistsAtPath("/plug-in"), c.installed) << c.what;
  }
}

}  // namespace
}  // namespace pomrel::host
