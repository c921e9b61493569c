#include "platform/linux/diskutil/system_host.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "platform/linux/diskutil/disk_facts.h"
#include "platform/linux/diskutil/udisks2_names.h"
#include "platform/posix/file_reader.h"

namespace pomrel::host::diskutil {

namespace {

// Writing back what a slow card holds can take long; the disk utility's
// caller gives the whole eject a minute.
constexpr std::uint64_t kUnmountTimeoutUsec = 45'000'000;
constexpr std::uint64_t kCallTimeoutUsec = 25'000'000;

struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// An sd_bus_error freed when it goes out of scope.
struct BusError {
  sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
  BusError() = default;
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  ~BusError() { sd_bus_error_free(&error); }
};

CallResult failure(int r, const sd_bus_error* error) {
  CallResult result;
  result.ok = false;
  if (error != nullptr && sd_bus_error_is_set(error)) {
    result.errorName = error->name;
    result.message = error->message != nullptr ? error->message : "";
  } else {
    result.errorName = "errno";
    result.message = std::strerror(-r);
  }
  return result;
}

// Reads one property value (the variant) into `object` when it is one the
// eject needs and has the expected type; skips it otherwise.
int readProperty(sd_bus_message* m, const std::string& interface, const std::string& name,
                 UdisksObject& object) {
  using namespace udisks2;
  char type = 0;
  const char* contents = nullptr;
  int r = sd_bus_message_peek_type(m, &type, &contents);
  if (r < 0) return r;
  const std::string signature = contents != nullptr ? contents : "";

  auto readPath = [&](std::string& into) {
    const char* value = nullptr;
    const int got = sd_bus_message_read(m, "v", "o", &value);
    if (got >= 0) into = value;
    return got;
  };
  auto readBool = [&](bool& into) {
    int value = 0;
    const int got = sd_bus_message_read(m, "v", "b", &value);
    if (got >= 0) into = value != 0;
    return got;
  };
  // A byte array holding a path with its trailing NUL.
  auto readBytes = [&](std::string& into) {
    const void* data = nullptr;
    size_t size = 0;
    const int got = sd_bus_message_read_array(m, 'y', &data, &size);
    if (got >= 0) {
      into.assign(static_cast<const char*>(data), size);
      into.erase(std::find(into.begin(), into.end(), '\0'), into.end());
    }
    return got;
  };

  if (signature == "o") {
    std::string* into = nullptr;
    if (interface == kBlock && name == kBlockDrive) into = &object.drive;
    if (interface == kPartition && name == kPartitionTable) into = &object.partitionTable;
    if (interface == kEncrypted && name == kCleartextDevice) into = &object.cleartext;
    if (into != nullptr) return readPath(*into);
  } else if (signature == "b" && interface == kDrive) {
    bool* into = nullptr;
    if (name == kMediaRemovable) into = &object.mediaRemovable;
    if (name == kMediaAvailable) into = &object.mediaAvailable;
    if (name == kCanPowerOff) into = &object.canPowerOff;
    if (into != nullptr) return readBool(*into);
  } else if (signature == "ay" && interface == kBlock && name == kBlockDevice) {
    if (const int e = sd_bus_message_enter_container(m, 'v', "ay"); e < 0) return e;
    if (const int e = readBytes(object.device); e < 0) return e;
    return sd_bus_message_exit_container(m);
  } else if (signature == "aay" && interface == kFilesystem && name == kMountPoints) {
    if (const int e = sd_bus_message_enter_container(m, 'v', "aay"); e < 0) return e;
    if (const int e = sd_bus_message_enter_container(m, 'a', "ay"); e < 0) return e;
    while ((r = sd_bus_message_at_end(m, false)) == 0) {
      std::string point;
      if (const int e = readBytes(point); e < 0) return e;
      object.mountPoints.push_back(point);
    }
    if (r < 0) return r;
    if (const int e = sd_bus_message_exit_container(m); e < 0) return e;
    return sd_bus_message_exit_container(m);
  }
  return sd_bus_message_skip(m, "v");
}

// Reads GetManagedObjects' answer, a{oa{sa{sv}}}.
int readObjects(sd_bus_message* m, UdisksObjects& objects) {
  using namespace udisks2;
  int r = sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}")) > 0) {
    const char* path = nullptr;
    if (const int e = sd_bus_message_read(m, "o", &path); e < 0) return e;
    UdisksObject object;
    object.path = path;
    if (const int e = sd_bus_message_enter_container(m, 'a', "{sa{sv}}"); e < 0) return e;
    while ((r = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
      const char* name = nullptr;
      if (const int e = sd_bus_message_read(m, "s", &name); e < 0) return e;
      const std::string interface = name;
      object.isBlock |= interface == kBlock;
      object.isFilesystem |= interface == kFilesystem;
      object.isEncrypted |= interface == kEncrypted;
      object.isLoop |= interface == kLoop;
      object.isDrive |= interface == kDrive;
      if (const int e = sd_bus_message_enter_container(m, 'a', "{sv}"); e < 0) return e;
      while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* property = nullptr;
        if (const int e = sd_bus_message_read(m, "s", &property); e < 0) return e;
        if (const int e = readProperty(m, interface, property, object); e < 0) return e;
        if (const int e = sd_bus_message_exit_container(m); e < 0) return e;
      }
      if (r < 0) return r;
      if (const int e = sd_bus_message_exit_container(m); e < 0) return e;  // a{sv}
      if (const int e = sd_bus_message_exit_container(m); e < 0) return e;  // {sa{sv}}
    }
    if (r < 0) return r;
    if (const int e = sd_bus_message_exit_container(m); e < 0) return e;  // a{sa{sv}}
    if (const int e = sd_bus_message_exit_container(m); e < 0) return e;  // {oa{sa{sv}}}
    objects.push_back(std::move(object));
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

// "MM:mm" in hexadecimal, as /proc/<pid>/maps gives a file's device.
bool sameDevice(std::string_view field, dev_t device) {
  const std::size_t colon = field.find(':');
  if (colon == std::string_view::npos) return false;
  unsigned major = 0;
  unsigned minor = 0;
  // from_chars reads the range it is given; no terminator is looked for.
  // NOLINTNEXTLINE(bugprone-suspicious-stringview-data-usage)
  const auto a = std::from_chars(field.data(), field.data() + colon, major, 16);
  const auto b = std::from_chars(field.data() + colon + 1, field.data() + field.size(), minor, 16);
  return a.ec == std::errc() && b.ec == std::errc() && makedev(major, minor) == device;
}

bool onDevice(const std::string& path, dev_t device) {
  struct stat info = {};
  return ::stat(path.c_str(), &info) == 0 && info.st_dev == device;
}

bool maps(const std::string& mapsPath, dev_t device) {
  const posix::FileRead read = posix::readFile(mapsPath, posix::kSystemFileLimit);
  std::istringstream lines(read.bytes);
  std::string address;
  std::string permissions;
  std::string offset;
  std::string deviceField;
  std::string inode;
  std::string rest;
  while (lines >> address >> permissions >> offset >> deviceField >> inode) {
    std::getline(lines, rest);
    if (inode != "0" && sameDevice(deviceField, device)) return true;
  }
  return false;
}

bool holds(const std::string& process, dev_t device) {
  if (onDevice(process + "/cwd", device) || onDevice(process + "/root", device)) return true;
  if (DIR* fds = ::opendir((process + "/fd").c_str())) {
    bool found = false;
    while (const dirent* entry = ::readdir(fds)) {
      if (entry->d_name[0] != '.' && onDevice(process + "/fd/" + entry->d_name, device)) {
        found = true;
        break;
      }
    }
    ::closedir(fds);
    if (found) return true;
  }
  return maps(process + "/maps", device);
}

}  // namespace

SystemEjectHost::~SystemEjectHost() {
  if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
}

CallResult SystemEjectHost::connect() {
  if (bus_ != nullptr) return {};
  const int r = sd_bus_open_system(&bus_);
  if (r < 0) {
    bus_ = nullptr;
    return failure(r, nullptr);
  }
  return {};
}

CallResult SystemEjectHost::managedObjects(UdisksObjects& objects) {
  if (CallResult connected = connect(); !connected.ok) return connected;
  BusError error;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_call_method(bus_, udisks2::kService, udisks2::kRootPath, udisks2::kObjectManager,
                             udisks2::kGetManagedObjects, &error.error, &raw, "");
  const Message reply(raw);
  if (r < 0) return failure(r, &error.error);
  if (const int e = readObjects(reply.get(), objects); e < 0) {
    CallResult result = failure(e, nullptr);
    result.message = "unexpected answer from udisks2: " + result.message;
    return result;
  }
  return {};
}

CallResult SystemEjectHost::call(const std::string& path, const char* interface,
                                 const char* method) {
  if (CallResult connected = connect(); !connected.ok) return connected;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &raw, udisks2::kService, path.c_str(), interface,
                                         method);
  const Message request(raw);
  if (r < 0) return failure(r, nullptr);
  if (const int e = sd_bus_message_append(request.get(), "a{sv}", 0); e < 0) {
    return failure(e, nullptr);
  }
  if (const int e = sd_bus_message_set_allow_interactive_authorization(request.get(), 1); e < 0) {
    return failure(e, nullptr);
  }
  const std::uint64_t timeout =
      std::strcmp(method, udisks2::kUnmount) == 0 ? kUnmountTimeoutUsec : kCallTimeoutUsec;
  BusError error;
  sd_bus_message* reply = nullptr;
  r = sd_bus_call(bus_, request.get(), timeout, &error.error, &reply);
  const Message answer(reply);
  if (r < 0) return failure(r, &error.error);
  return {};
}

DiskFacts SystemEjectHost::diskFacts(const std::string& kernelName) {
  return readDiskFacts(kernelName);
}

std::vector<Holder> SystemEjectHost::holders(const std::string& mountPoint) {
  return findHolders(mountPoint);
}

void SystemEjectHost::pause(std::chrono::milliseconds duration) {
  std::this_thread::sleep_for(duration);
}

std::vector<Holder> findHolders(const std::string& mountPoint, const std::string& procRoot) {
  struct stat mounted = {};
  if (::stat(mountPoint.c_str(), &mounted) != 0) return {};
  std::vector<Holder> holders;
  if (DIR* proc = ::opendir(procRoot.c_str())) {
    while (const dirent* entry = ::readdir(proc)) {
      long pid = 0;
      const char* end = entry->d_name + std::strlen(entry->d_name);
      if (std::from_chars(entry->d_name, end, pid).ptr != end || pid <= 0) continue;
      const std::string process = procRoot + "/" + entry->d_name;
      if (!holds(process, mounted.st_dev)) continue;
      std::string name = posix::readFile(process + "/comm", posix::kSystemFileLimit).bytes;
      while (!name.empty() && name.back() == '\n') name.pop_back();
      holders.push_back({pid, name.empty() ? "?" : name});
    }
    ::closedir(proc);
  }
  std::sort(holders.begin(), holders.end(),
            [](const Holder& a, const Holder& b) { return a.pid < b.pid; });
  return holders;
}

}  // namespace pomrel::host::diskutil
