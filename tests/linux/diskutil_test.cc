// pomrel-diskutil's eject without a bus: udisks2's answers, shaped as udisks2
// 2.9 gives them (the loop device as recorded on a test machine; a card
// reader, a stick, an SD slot and an encrypted card as udisks2 describes such
// drives), go in; the calls made, the exit status and standard error come out.
#include <deque>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/linux/diskutil/eject.h"
#include "platform/linux/diskutil/udisks2_names.h"

namespace pomrel::host::diskutil {
namespace {

const std::string kBlocks = "/org/freedesktop/UDisks2/block_devices/";
const std::string kDrives = "/org/freedesktop/UDisks2/drives/";

// A loop device's disk is a loop device; nothing else is.
UdisksObject block(const std::string& name, const std::string& drive = "",
                   const std::string& disk = "") {
  UdisksObject o;
  o.path = kBlocks + name;
  o.isBlock = true;
  o.device = "/dev/" + name;
  if (!drive.empty()) o.drive = kDrives + drive;
  if (!disk.empty()) o.partitionTable = kBlocks + disk;
  o.isLoop = name.starts_with("loop") && disk.empty();
  return o;
}

UdisksObject mounted(UdisksObject o, const std::string& point) {
  o.isFilesystem = true;
  o.mountPoints = {point};
  return o;
}

UdisksObject drive(const std::string& name, bool removable, bool canPowerOff) {
  UdisksObject o;
  o.path = kDrives + name;
  o.isDrive = true;
  o.mediaRemovable = removable;
  o.mediaAvailable = true;
  o.canPowerOff = canPowerOff;
  return o;
}

CallResult error(const char* name, const char* message) { return {false, name, message}; }

// Answers each call from a script ("<method> <object's last name>"), success
// when the script has nothing for it, and records the calls.
class ScriptedHost : public EjectHost {
 public:
  CallResult managedObjects(UdisksObjects& into) override {
    into = objects;
    return objectsAnswer;
  }
  CallResult call(const std::string& path, const char* /*interface*/, const char* method) override {
    const std::string call = std::string(method) + " " + path.substr(path.rfind('/') + 1);
    calls.push_back(call);
    std::deque<CallResult>& answers = script[call];
    if (answers.empty()) return {};
    CallResult answer = answers.front();
    answers.pop_front();
    return answer;
  }
  DiskFacts diskFacts(const std::string& /*kernelName*/) override { return facts; }
  std::vector<Holder> holders(const std::string& /*mountPoint*/) override {
    return {{42, "sleep"}, {7, "x\ny"}};
  }
  void pause(std::chrono::milliseconds /*duration*/) override {}

  DiskFacts facts;
  UdisksObjects objects;
  CallResult objectsAnswer;
  std::map<std::string, std::deque<CallResult>> script;
  std::vector<std::string> calls;
};

const CallResult kBusy =
    error(udisks2::kErrorDeviceBusy, "Error unmounting /dev/x1: target is busy");

TEST(DiskUtilTest, ChoosesTheCallsAndReportsAsUdisks2Answers) {
  // Recorded: a loop device with two partitions, ext4 on the first, mounted.
  const UdisksObjects loopCard{block("loop0"),
                               mounted(block("loop0p1", "", "loop0"), "/media/root/CARD"),
                               block("loop0p2", "", "loop0")};
  const UdisksObjects reader{drive("Reader", true, true), block("sdb", "Reader"),
                             mounted(block("sdb1", "Reader", "sdb"), "/media/u/CARD")};
  const UdisksObjects stick{drive("Stick", false, true),
                            mounted(block("sdc", "Stick"), "/media/u/STICK")};
  const UdisksObjects slot{drive("SD", true, false), block("mmcblk0", "SD"),
                           mounted(block("mmcblk0p1", "SD", "mmcblk0"), "/media/u/SD")};
  UdisksObject encrypted = block("sdb1", "Reader", "sdb");  // unlocked as dm_2d0
  encrypted.isEncrypted = true;
  encrypted.cleartext = kBlocks + "dm_2d0";
  const UdisksObjects encryptedCard{drive("Reader", true, true), block("sdb", "Reader"), encrypted,
                                    mounted(block("dm_2d0"), "/media/u/SECRET")};
  const std::string busy = "target is busy\npomrel-holder\t7\tx?y\npomrel-holder\t42\tsleep\n";

  // The phrase leads standard error exactly when the status is kVolumeFailed.
  struct Case {
    const char* what;
    const UdisksObjects& objects;
    std::string disk;
    std::map<std::string, std::deque<CallResult>> script;
    std::string calls;
    ExitStatus status;
    std::string said;
    DiskFacts facts = {true, false, {}};
    CallResult objectsAnswer = {};
  };
  // clang-format off
  const std::vector<Case> cases{
      {"a loop device is detached", loopCard, "loop0", {},
       "Unmount loop0p1, Delete loop0", kEjected, ""},
      {"a reader's card is ejected", reader, "sdb", {},
       "Unmount sdb1, Eject Reader", kEjected, ""},
      {"a stick is powered off", stick, "sdc", {},
       "Unmount sdc, PowerOff Stick", kEjected, ""},
      {"a medium under a marked reader is ejected, never powered off", stick, "sdc", {},
       "Unmount sdc, Eject Stick", kEjected, "", {true, true, {}}},
      {"an SD slot that cannot power off ejects", slot, "mmcblk0", {},
       "Unmount mmcblk0p1, Eject SD", kEjected, ""},
      {"an encrypted volume is unmounted, then locked", encryptedCard, "sdb", {},
       "Unmount dm_2d0, Lock sdb1, Eject Reader", kEjected, ""},
      {"not mounted after all", loopCard, "loop0",
       {{"Unmount loop0p1", {error(udisks2::kErrorNotMounted, "not mounted")}}},
       "Unmount loop0p1, Delete loop0", kEjected, ""},
      {"busy for a moment", loopCard, "loop0", {{"Unmount loop0p1", {kBusy}}},
       "Unmount loop0p1, Unmount loop0p1, Delete loop0", kEjected, ""},
      {"busy", loopCard, "loop0", {{"Unmount loop0p1", {kBusy, kBusy}}},
       "Unmount loop0p1, Unmount loop0p1", kVolumeFailed, busy},
      {"a refused detach is no volume in use", loopCard, "loop0",
       {{"Delete loop0", {error(udisks2::kErrorNotAuthorized, "Not authorized")}}},
       "Unmount loop0p1, Delete loop0", kMediumFailed, "pomrel-cause\tnot-authorized\n"},
      {"no answer in time", reader, "sdb",
       {{"Unmount sdb1", {error(udisks2::kErrorDBusTimeout, "Connection timed out")}}},
       "Unmount sdb1", kVolumeFailed, "in time\npomrel-cause\tno-answer\n"},
      {"the eject fails once unmounted", slot, "mmcblk0",
       {{"Eject SD", {error("org.freedesktop.UDisks2.Error.Failed", "Error ejecting")}}},
       "Unmount mmcblk0p1, Eject SD", kMediumFailed, "Eject failed: Error ejecting\npomrel-cause\tfailed\n"},
      {"the system's own disk", reader, "sdb", {}, "", kVolumeFailed,
       "/dev/sdb holds the system's own files (x: mounted at /)"
       " and is not ejected\npomrel-cause\tsystem-disk\n", {true, false, "x: mounted at /"}},
      {"a disk without the card's mark", reader, "sdb", {}, "", kVolumeFailed,
       "pomrel-cause\tnot-card\n", {false, true, {}}},
      {"a disk udisks2 does not know", loopCard, "sdz", {}, "", kNoDisk, "/dev/sdz"},
      {"udisks2 cannot be reached", loopCard, "loop0", {}, "", kNoDisk,
       "pomrel-cause\tno-disk-service\n", {true, false, {}},
       error("org.freedesktop.DBus.Error.ServiceUnknown", "no udisks2")},
  };
  // clang-format on
  for (const Case& c : cases) {
    ScriptedHost host;
    host.facts = c.facts;
    host.objectsAnswer = c.objectsAnswer;
    host.objects = c.objects;
    host.script = c.script;
    std::ostringstream errors;
    EXPECT_EQ(ejectDisk(host, c.disk, errors), c.status) << c.what;
    std::string calls;
    for (const std::string& call : host.calls) calls += (calls.empty() ? "" : ", ") + call;
    EXPECT_EQ(calls, c.calls) << c.what;
    const std::string said = errors.str();
    EXPECT_EQ(said.rfind(kEjectFailPhrase, 0) == 0, c.status == kVolumeFailed) << c.what << said;
    EXPECT_NE(said.find(c.said), std::string::npos) << c.what << ": " << said;
  }
}

}  // namespace
}  // namespace pomrel::host::diskutil
