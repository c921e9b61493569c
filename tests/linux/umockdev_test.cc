// The host backend under umockdev, whose testbed of fake devices stands in
// for sysfs and the udev database, and its uevents for udev's monitor: the
// udev registry on block devices, then the card readers (the privileged
// helper's stop and start, the plug-in's presence, pomrel-diskutil's facts and
// rules) beside a USB stick and a loop device, and the claims of block devices
// answering as each case says (host_test.cc shows the real kernel's answers). With no kernel behind
// it, a write to a driver's files does what the kernel would (an unbind removes the `driver` link,
// a probe makes it).
#include <fcntl.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/linux/diskutil/disk_facts.h"
#include "platform/linux/diskutil/eject.h"
#include "platform/linux/diskutil/rule.h"
#include "platform/linux/driverctl/reader_control.h"
#include "platform/linux/file_manager.h"
#include "platform/linux/registry.h"
#include "platform/posix/file_reader.h"
#include "tests/registry_probe.h"

namespace pomrel::host {
namespace {

namespace fs = std::filesystem;
using namespace pomrel::testing;  // NOLINT(google-build-using-namespace)
using Strings = std::vector<std::string>;

// A testbed for each test; skipped outside umockdev's preload library.
class UmockdevTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::strstr(preload, "umockdev-preload") == nullptr) {
      GTEST_SKIP() << "needs umockdev's preload library: run through ctest or umockdev-wrapper";
    }
    testbed_ = umockdev_testbed_new();
    g_autofree gchar* root = umockdev_testbed_get_root_dir(testbed_);
    root_ = root;
  }
  void TearDown() override {
    if (testbed_ != nullptr) g_object_unref(testbed_);
  }

  // Adds devices as umockdev records them, each one's lines separated by ';'.
  void addDevices(const std::vector<std::string>& devices) {
    std::string description;
    for (const std::string& device : devices) description += device + "\n\n";
    std::replace(description.begin(), description.end(), ';', '\n');
    ASSERT_TRUE(umockdev_testbed_add_from_string(testbed_, description.c_str(), nullptr));
  }

  UMockdevTestbed* testbed_ = nullptr;
  std::string root_;  // the testbed's sysfs is its "/sys"
};

constexpr const char* kMedia = "SxS Media";

struct FakeDisk {
  std::string path;     // below /devices: "sdb", "sdb/sdb1"
  std::string service;  // "" for none
  std::string initialized = "100";
  std::string size = "2048";
  std::string type = "disk";
};

class LinuxRegistryTest : public UmockdevTest {
 protected:
  void TearDown() override {
    if (testbed_ != nullptr) clear();
    UmockdevTest::TearDown();
  }
  // No devices and no registry, which must have left no handle.
  void clear() {
    if (registry_) {
      registry_->notificationPortDestroy(port_);
      EXPECT_EQ(registry_->liveHandleCount(), 0u);
    }
    registry_.reset();
    umockdev_testbed_clear(testbed_);
  }

  // Its sysfs path.
  std::string add(const FakeDisk& disk) {
    const std::string path = "/devices/" + disk.path;
    addDevices({"P: " + path + ";E: SUBSYSTEM=block;E: DEVTYPE=" + disk.type +
                ";E: USEC_INITIALIZED=" + disk.initialized + ";A: size=" + disk.size +
                (disk.service.empty() ? "" : ";E: POMREL_SERVICE=" + disk.service)});
    return "/sys" + path;
  }
  void event(const std::string& sysPath, const char* action) {
    umockdev_testbed_uevent(testbed_, sysPath.c_str(), action);
    if (std::strcmp(action, "remove") == 0)
      umockdev_testbed_remove_device(testbed_, sysPath.c_str());
  }
  void change(const std::string& sysPath, const char* property, const char* value) {
    umockdev_testbed_set_property(testbed_, sysPath.c_str(), property, value);
    event(sysPath, "change");
  }

  // The registry, made over the devices added so far.
  LinuxRegistry& registry() {
    if (!registry_) {
      registry_.emplace();
      port_ = registry_->notificationPortCreate();
    }
    return *registry_;
  }
  std::string firstDisk() { return testing::firstDisk(registry(), kMedia); }
  // The registry first: it makes the port.
  io_object_t watch(Inbox& inbox) {
    LinuxRegistry& made = registry();
    return testing::watch(made, port_, kMedia, inbox);
  }
  bool readable() {
    LinuxRegistry& made = registry();
    return testing::readable(made, port_, 0);
  }
  // The testbed's uevents are queued before it returns, so what is due can
  // be delivered at once.
  void deliver() { registry().notificationPortGetRunLoopSource(port_)->perform(); }

  std::optional<LinuxRegistry> registry_;
  IONotificationPortRef port_ = nullptr;
};

TEST_F(LinuxRegistryTest, FindsTheEarliestInitialisedWholeDiskWithAMediumAndTheProperty) {
  struct Case {
    const char* what;
    std::vector<FakeDisk> disks;
    std::string first;
  };
  const std::vector<Case> cases{
      {"nothing", {}, "none"},
      {"the card", {{"sdb", kMedia}}, "sdb"},
      {"no property, another service", {{"sda", ""}, {"sdc", "Other"}}, "none"},
      {"a partition", {{"sdb", ""}, {"sdb/sdb1", kMedia, "100", "2048", "partition"}}, "none"},
      {"no medium", {{"sdb", kMedia, "100", "0"}}, "none"},
      {"several", {{"sdb", kMedia, "300"}, {"sdc", kMedia, "200"}, {"sdd", kMedia, "250"}}, "sdc"},
      {"the earliest has no medium", {{"sdb", kMedia, "300"}, {"sdc", kMedia, "200", "0"}}, "sdb"},
  };
  for (const Case& c : cases) {
    clear();
    for (const FakeDisk& disk : c.disks) add(disk);
    EXPECT_EQ(firstDisk(), c.first) << c.what;
    EXPECT_EQ(firstDisk(), c.first) << c.what << ", asked again";
  }
}

TEST_F(LinuxRegistryTest, AWatchEndsOnceWhenItsDiskGoesOrStopsMatchingAndOnlyThen) {
  struct Case {
    const char* what;
    std::function<void()> act;
    int terminations;
    std::string firstAfter;
  };
  const std::string card = "/sys/devices/sdb";
  std::string other;
  std::string partition;
  const std::vector<Case> cases{
      {"changes that keep it matching; other devices go",
       [&] {
         for (int i = 0; i < 10; ++i) {
           change(card, "ID_FS_TYPE", i % 2 ? "ext4" : "vfat");
           deliver();  // both monitors read: the testbed cannot send past a few unread events
           EXPECT_EQ(firstDisk(), "sdb");
         }
         event(partition, "remove");
         event(other, "remove");
       },
       0, "sdb"},
      {"removed", [&] { event(card, "remove"); }, 1, "none"},
      {"property gone", [&] { change(card, "POMREL_SERVICE", ""); }, 1, "none"},
      {"another service", [&] { change(card, "POMREL_SERVICE", "Other"); }, 1, "none"},
      {"medium gone",
       [&] {
         umockdev_testbed_set_attribute(testbed_, card.c_str(), "size", "0");
         event(card, "change");
       },
       1, "none"},
      {"another device at its path", [&] { change(card, "USEC_INITIALIZED", "900"); }, 1, "sdb"},
      {"an earlier device's removal at its path",
       [&] {
         umockdev_testbed_set_property(testbed_, card.c_str(), "USEC_INITIALIZED", "50");
         umockdev_testbed_uevent(testbed_, card.c_str(), "remove");
         umockdev_testbed_set_property(testbed_, card.c_str(), "USEC_INITIALIZED", "100");
       },
       0, "sdb"},
  };
  for (const Case& c : cases) {
    clear();
    add({"sdb", kMedia});
    partition = add({"sdb/sdb1", "", "100", "2048", "partition"});
    other = add({"sda", ""});
    Inbox inbox;
    const io_object_t registration = watch(inbox);
    c.act();
    deliver();
    EXPECT_FALSE(readable()) << c.what << ": everything waiting is read";
    EXPECT_EQ(inbox.messages.size(), static_cast<std::size_t>(c.terminations)) << c.what;
    EXPECT_EQ(firstDisk(), c.firstAfter) << c.what;
    // Whatever happens next, an ended watch is not told again.
    if (fs::exists(root_ + card)) {
      change(card, "ID_FS_TYPE", "ext4");
      event(card, "remove");
      deliver();
    }
    EXPECT_EQ(inbox.messages, kTerminated) << c.what;
    EXPECT_EQ(registry().knownDeviceCount(), 0u) << c.what << ": removed devices are forgotten";
    registry().release(registration);
  }
}

TEST_F(LinuxRegistryTest, ADiskGoneBeforeItsRegistrationIsToldAndACallbackMayReplaceThePort) {
  add({"sdb", kMedia});
  const std::string later = add({"sdc", kMedia, "200"});
  const io_service_t service = registry().getMatchingService({kMedia});
  event("/sys/devices/sdb", "remove");
  // A fresh port, whose monitor never saw the removal.
  registry().notificationPortDestroy(port_);
  port_ = registry().notificationPortCreate();
  Inbox inbox;
  Inbox next;
  io_object_t registration = 0;
  io_object_t nextRegistration = 0;
  // As the removal watch does: clear everything, then watch again.
  inbox.then = [&] {
    registry().notificationPortDestroy(port_);
    registry().release(registration);
    port_ = registry().notificationPortCreate();
    nextRegistration = watch(next);
  };
  ASSERT_EQ(registry().addInterestNotification(port_, service, kIOGeneralInterest, record, &inbox,
                                               &registration),
            KERN_SUCCESS);
  registry().release(service);
  ASSERT_TRUE(readable()) << "the port woke itself";
  deliver();
  EXPECT_EQ(inbox.messages, kTerminated);
  event(later, "remove");
  deliver();
  EXPECT_EQ(next.messages, kTerminated);
  registry().release(nextRegistration);
}

const std::string kPci = "/devices/pci0000:00/0000:00:1c.0/0000:03:00.0";
const std::string kNoDriverPci = "/devices/pci0000:00/0000:00:1c.1/0000:04:00.0";
const std::string kPciReader = "/devices/pci0000:00/0000:00:1c.2/0000:05:00.0";
const std::string kPciAlias = ";E: MODALIAS=pci:v0000104Dd0000";
const std::string kPciAny = "sv00000000sd00000000bc01sc80i00";
const std::string kUsb = "/devices/pci0000:00/0000:00:14.0/usb1/";
const std::string kReader = kUsb + "1-1/1-1:1.0";
const std::string kScsi = kReader + "/host6/target6:0:0/6:0:0:0";
const std::string kStick = kUsb + "1-2/1-2:1.0";
const std::string kStickDisk = "/host7/target7:0:0/7:0:0:0/block/sdc";
const Strings kDevices{
    "P: " + kUsb +
        "1-1;E: SUBSYSTEM=usb;E: DEVTYPE=usb_device;A: idVendor=054c;"
        "A: idProduct=02d8;A: serial=0123\"AB*",
    "P: " + kReader +
        ";E: SUBSYSTEM=usb;E: DEVTYPE=usb_interface;E: POMREL_READER=1;A: bInterfaceNumber=00;"
        "E: MODALIAS=usb:v054Cp02D8d0100dc00dsc00dp00ic08isc06ip50in00",
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
    "P: " + kStick + kStickDisk +
        ";E: SUBSYSTEM=block;E: DEVTYPE=disk;"
        "E: MAJOR=8;E: MINOR=32;E: DEVNAME=/dev/sdc",
    "P: " + kPci + ";E: SUBSYSTEM=pci;A: vendor=0x104d;A: device=0x905c" + kPciAlias + "905C" +
        kPciAny,
    // The SxS driver's disk is virtual, with no PCI device above it.
    std::string("P: /devices/virtual/block/sxs;E: SUBSYSTEM=block;E: DEVTYPE=disk;") +
        "E: MAJOR=252;E: MINOR=0;E: DEVNAME=/dev/sxs;E: POMREL_SERVICE=SxS Media",
    std::string("P: /devices/virtual/block/sxs/sxs1;E: SUBSYSTEM=block;E: DEVTYPE=partition;") +
        "E: MAJOR=252;E: MINOR=1;E: DEVNAME=/dev/sxs1",
    "P: " + kNoDriverPci + ";E: SUBSYSTEM=pci;A: vendor=0x104d;A: device=0x907f" + kPciAlias +
        "907F" + kPciAny,
    // Another PCI card reader, whose cards' disks are below its function.
    "P: " + kPciReader + ";E: SUBSYSTEM=pci;A: vendor=0x10ec;A: device=0x5227",
    "P: " + kPciReader +
        "/rtsx_pci_sdmmc.0/mmc_host/mmc0/mmc0:0001/block/mmcblk0;E: SUBSYSTEM=block;"
        "E: DEVTYPE=disk;E: MAJOR=179;E: MINOR=0;E: DEVNAME=/dev/mmcblk0",
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
    fs::create_directories(root_ + "/modules");
    std::ofstream(root_ + "/modules/modules.alias")
        << "alias usb:v*p*d*dc*dsc*dp*ic08isc06ip50in* usb_storage\n"
           "alias pci:v0000104Dd0000905Csv*sd*bc*sc*i* sxs\n";
    writes_.clear(), busy_.clear(), claimed_.clear(), log_.clear();
    mounts_ = kMounts;
    swaps_ = "Filename\tType\tSize\tUsed\tPriority\n";
    kernelActs_ = true;
    // Readers often pad their serial number; udev drops the padding.
    umockdev_testbed_set_attribute(testbed_, ("/sys" + kUsb + "1-1").c_str(), "serial",
                                   "0123\"AB* \t ");
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
  // `name` (a virtual disk with a partition, numbers `major`:0 and :1) built
  // on the device at `below`.
  void holder(const std::string& below, const std::string& name, const std::string& major) {
    const std::string path = "/devices/virtual/block/" + name;
    const std::string number = ";E: MAJOR=" + major + ";E: MINOR=";
    addDevices({"P: " + path + ";E: SUBSYSTEM=block;E: DEVTYPE=disk" + number +
                    "0;E: DEVNAME=/dev/" + name,
                "P: " + path + "/" + name + "p1;E: SUBSYSTEM=block;E: DEVTYPE=partition" + number +
                    "1;E: DEVNAME=/dev/" + name + "p1"});
    fs::create_directories(root_ + "/sys" + below + "/holders/" + name);
  }

  // What a request answers, with what it logged, or what the rule command
  // prints (and its status, when it fails).
  std::string act(const std::string& request) {
    const SystemTables tables{root_ + "/mountinfo", root_ + "/swaps"};
    std::ofstream(tables.mountInfo) << mounts_;
    std::ofstream(tables.swaps) << swaps_;
    ReaderControl control{[this](const std::string& path, const std::string& value) {
                            writes_.push_back(path + " <- " + value);
                            for (const int fd : claimed_) EXPECT_NE(::fcntl(fd, F_GETFD), -1);
                            const int error = writeSysfsAttribute(path, value);
                            EXPECT_EQ(posix::readFile(root_ + path, 4096).bytes, value) << path;
                            if (error == 0 && kernelActs_) bind(value, path.ends_with("_probe"));
                            return error;
                          },
                          [this](const std::string& node) {
                            const auto answer = busy_.find(node);
                            if (answer != busy_.end()) return -answer->second;
                            claimed_.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
                            return claimed_.back();
                          },
                          {tables.mountInfo, tables.swaps},
                          [this](std::string_view text) { log_ += text; },
                          std::chrono::milliseconds(100)};
    if (request == "unload" || request == "load") {
      const std::string answer = request == "load" ? bindReaders(control) : unbindReaders(control);
      for (const int fd : claimed_) EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "a claim left held";
      return answer + log_;
    }
    if (request.starts_with("facts ")) {  // what pomrel-diskutil eject learns of a disk
      const diskutil::DiskFacts facts = diskutil::readDiskFacts(request.substr(6), tables);
      return "card " + std::to_string(facts.isCard) + ", reader " +
             std::to_string(facts.underMarkedReader) + ", system '" + facts.system + "'";
    }
    std::ostringstream out;
    const int status = diskutil::printReaderRules(request, out, out, tables);
    return status == 0 ? out.str() : std::to_string(status) + " " + out.str();
  }

  Strings writes_;
  std::map<std::string, int> busy_;  // a device node's claim fails with this errno
  std::vector<int> claimed_;
  std::string log_;
  std::string mounts_;
  std::string swaps_;
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
  // The kernel refuses a disk's claim while one of its partitions is claimed.
  const auto used = [this](const std::string& part, const std::string& line, int error = EBUSY) {
    return [=, this] {
      busy_[part] = busy_[part.substr(0, part.find_last_not_of("0123456789") + 1)] = error;
      mounts_ += line;
    };
  };
  const auto noUnbind = [this] { fs::remove(root_ + "/sys/bus/usb/drivers/usb-storage/unbind"); };
  const std::string inUse = "sdb1 below the reader 1-1:1.0 is in use";
  const std::string sdb1 = kScsi + "/block/sdb/sdb1";
  const auto swap = [this] { swaps_ += "/dev/sdb1\tpartition\t1024\t0\t-2\n"; };
  const auto builtOn = [&](const char* line) {  // dm-0 on sdb1, mounted
    return [&, line] {
      addDevices(
          {"P: /devices/virtual/block/dm-0;E: SUBSYSTEM=block;E: DEVTYPE=disk;"
           "E: MAJOR=254;E: MINOR=0;E: DEVNAME=/dev/dm-0"});
      fs::create_directories(root_ + "/sys/block/sdb/sdb1/holders/dm-0");
      mounted(line)();
    };
  };
  const auto zfsRoot = [&](const char* pool) {  // "/" on ZFS, the pool `pool` on sdb1
    return [&, pool] {
      const std::string partition = "/sys" + kScsi + "/block/sdb/sdb1";
      umockdev_testbed_set_property(testbed_, partition.c_str(), "ID_FS_TYPE", "zfs_member");
      if (*pool) umockdev_testbed_set_property(testbed_, partition.c_str(), "ID_FS_LABEL", pool);
      mounted("32 1 0:25 / / rw - zfs rpool/ROOT/debian rw,xattr\n")();
    };
  };
  const auto twin = [this] {  // the reader without a serial number, and its twin holding /home
    umockdev_testbed_set_attribute(testbed_, ("/sys" + kUsb + "1-1").c_str(), "serial", "");
    addDevices({"P: " + kUsb +
                    "1-3;E: SUBSYSTEM=usb;E: DEVTYPE=usb_device;A: idVendor=054c;"
                    "A: idProduct=02d8",
                "P: " + kUsb +
                    "1-3/1-3:1.0/host8/target8:0:0/8:0:0:0/block/sde;E: SUBSYSTEM=block;"
                    "E: DEVTYPE=disk;E: MAJOR=8;E: MINOR=64;E: DEVNAME=/dev/sde"});
    mounts_ += "33 1 8:64 / /home rw - ext4 /dev/sde rw\n";
  };
  // clang-format off
  const std::vector<Case> cases{
      {"the reader stops", {}, "unload", "", {unbindReader}},
      {"the reader starts", unbound("1-1:1.0"), "load", "", {probeReader}},
      {"a stopped reader is not stopped again", unbound("1-1:1.0"), "unload", "", {}},
      {"a started reader is not probed again", {}, "load", "", {}},
      {"a mounted card", used("/dev/sdb1", "30 1 8:17 / /media/card rw - ext4 /dev/sdb1 rw\n"),
       "unload", inUse + ": mounted at /media/card", {}},
      {"a mounted card without a number of its own",
       used("/dev/sdb1", "30 1 0:55 / /media/card rw - btrfs /dev/sdb1 rw\n"), "unload",
       inUse + ": mounted at /media/card", {}},
      {"the card's swap, claimed", [&] { used("/dev/sdb1", "")(); swap(); }, "unload",
       inUse + ": swap", {}},
      {"a volume built on the card", [&] { used("/dev/sdb1", "")(); holder(sdb1, "dm-0", "254"); },
       "unload", inUse + " by dm-0", {}},
      {"a mounted partition of a volume built on the card",
       [&] {
         used("/dev/sdb1", "31 1 9:1 / /media/raid rw - ext4 /dev/md127p1 rw\n")();
         holder(sdb1, "md127", "9");
       },
       "unload", inUse + " by md127 (md127p1 mounted at /media/raid)", {}},
      {"the card in use where no table tells", used("/dev/sdb", ""), "unload",
       "sdb below the reader 1-1:1.0 is in use (open for exclusive use", {}},
      {"the card's disk cannot be opened", used("/dev/sdb", "", EACCES), "unload",
       "cannot claim sdb below the reader 1-1:1.0 (/dev/sdb): Permission denied", {}},
      {"an empty slot", used("/dev/sdb", "", ENOMEDIUM), "unload", "", {unbindReader}},
      {"a driver with no unbind", noUnbind, "unload",
       "the driver of 1-1:1.0 cannot be stopped by its device", {}},
      {"in use comes first", [&] { noUnbind(); used("/dev/sdb1", "")(); swap(); }, "unload", inUse,
       {}},
      {"marks where no reader can be",
       [this] { mark(kUsb + "1-1", "1"), mark("/devices/virtual/block/loop0", "1"); }, "unload",
       "ignored the mark POMREL_READER on 1-1 (usb/usb_device), which is neither", {unbindReader}},
      {"the PCI card's virtual disk mounted",
       [&] { pciOnly(); used("/dev/sxs1", "30 1 252:1 / /media/card rw - ext4 /dev/sxs1 rw\n")(); },
       "unload", "sxs1 of a card is in use: mounted at /media/card", {}},
      {"a PCI card no driver takes", [this] { mark(kReader, "0"), mark(kNoDriverPci, "1"); },
       "unload", "", {}, false},
      {"nothing marked", [this] { mark(kReader, "0"); }, "unload", "", {}, false},
      {"the PCI card stops", pciOnly, "unload", "",
       {"/sys" + kPci + "/driver/unbind <- 0000:03:00.0"}},
      {"the PCI card starts", [&] { pciOnly(); bind("0000:03:00.0", false); }, "load", "",
       {"/sys/bus/pci/drivers_probe <- 0000:03:00.0"}},
      {"the kernel keeps it bound", [this] { kernelActs_ = false; }, "unload",
       "the reader 1-1:1.0 still has a driver", {unbindReader}},
      {"the kernel does not bind it", [this] { kernelActs_ = false; bind("1-1:1.0", false); },
       "load", "the reader 1-1:1.0 has no driver after 100 ms", {probeReader}},
      {"swap on the card", swap, "unload",
       "the reader 1-1:1.0 holds the system's own disk (sdb1: active swap)", {}},
      {"the card, under a marked reader", {}, "facts sdb", "card 1, reader 1, system ''", {}},
      {"a stick, under no marked reader", {}, "facts sdc", "card 0, reader 0, system ''", {}},
      {"the system's boot files on the card",
       mounted("31 1 8:17 / /boot/efi rw - vfat /dev/sdb1 rw\n"), "facts sdb",
       "system 'sdb1: mounted at /boot/efi'", {}},
      {"the rules for the reader", {}, "sdb", readerRules, {}},
      {"a partition stands for its disk", {}, "sdb1", "holds sdb.\n", {}},
      {"the rules for a PCI reader, in its slot alone", {}, "mmcblk0",
       "SUBSYSTEM==\"pci\", KERNEL==\"0000:05:00.0\", ATTR{vendor}==\"0x10ec\", ATTR{device}=="
       "\"0x5227\", ENV{POMREL_READER}=\"1\"\n# Its disks, the card:\nSUBSYSTEM==\"block\", ENV{"
       "DEVTYPE}==\"disk\", SUBSYSTEMS==\"pci\", KERNELS==\"0000:05:00.0\", ATTRS{vendor}", {}},
      {"the system's disk", mounted("31 1 179:0 / / rw - ext4 /dev/mmcblk0 rw\n"), "mmcblk0",
       "2 pomrel-diskutil: mmcblk0 is the system's own disk (mmcblk0: mounted at /), not a card",
       {}},
      {"/home on the card", mounted("31 1 8:17 / /home rw - ext4 /dev/sdb1 rw\n"), "sdb",
       "2 pomrel-diskutil: sdb is the system's own disk (sdb1: mounted at /home)", {}},
      {"/ on a volume built on the card", builtOn("31 1 254:0 / / rw - ext4 /dev/dm-0 rw\n"),
       "sdb1", "2 pomrel-diskutil: sdb is the system's own disk (dm-0 built on sdb: mounted at /)",
       {}},
      {"/ on a partition of an array built on the card",
       [&] {
         addDevices({"P: /devices/virtual/block/md127;E: SUBSYSTEM=block;E: DEVTYPE=disk",
                     "P: /devices/virtual/block/md127/md127p1;E: SUBSYSTEM=block;E: DEVTYPE="
                     "partition;E: MAJOR=259;E: MINOR=999;E: DEVNAME=/dev/md127p1"});
         fs::create_directories(root_ + "/sys/block/sdb/holders/md127");
         mounted("34 1 259:999 / / rw - ext4 /dev/md127p1 rw\n")();
       },
       "sdb", "(md127p1 built on sdb: mounted at /)", {}},
      {"the system's swap", swap, "sdb", "2 pomrel-diskutil: sdb is the system's own disk", {}},
      {"/ on ZFS, its pool on the card", zfsRoot("rpool"), "sdb",
       "2 pomrel-diskutil: sdb is the system's own disk (sdb1: a member of the ZFS pool rpool, "
       "mounted at /)", {}},
      {"/ on ZFS, an unnamed pool on the card", zfsRoot(""), "sdb",
       "(sdb1: a member of a ZFS pool udev does not name, while / is on ZFS)", {}},
      {"/ on ZFS, another pool on the card", zfsRoot("tank"), "sdb", "holds sdb.\n", {}},
      {"/ on btrfs from the stick, the card its second device",
       [&] {
         for (const std::string& disk : {kScsi + "/block/sdb/sdb1", kStick + kStickDisk}) {
           umockdev_testbed_set_property(testbed_, ("/sys" + disk).c_str(), "ID_FS_TYPE", "btrfs");
           umockdev_testbed_set_property(testbed_, ("/sys" + disk).c_str(), "ID_FS_UUID", "u1");
         }
         mounted("35 1 0:30 / / rw - btrfs /dev/sdc rw\n")();
       },
       "sdb", "(sdb1: a device of the btrfs filesystem mounted at /)", {}},
      {"a twin reader without a serial number holds the system", twin, "sdb",
       "2 pomrel-diskutil: the rules for sdb would also match 1-3, which holds the system's own "
       "disk sde (sde: mounted at /home); no rules are printed\n", {}},
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
    EXPECT_EQ(HostFileManager("/plug-in", "", {root_ + "/sys/module", root_ + "/modules"})
                  .fileExistsAtPath("/plug-in"),
              c.installed)
        << c.what;
  }
}

}  // namespace
}  // namespace pomrel::host
