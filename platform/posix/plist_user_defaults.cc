#include "platform/posix/plist_user_defaults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <utility>

#include "platform/posix/plist_io.h"

namespace pomrel::posix {
namespace {

// kNotDomain: read whole, but not a property list holding a dictionary; it is
// kept aside when replaced. kUnreadable: something there that could not be
// read as a file (a folder, a FIFO, a device, a file too large or that an
// error stops); it is left alone.
enum class DomainFile : std::uint8_t { kMissing, kDomain, kNotDomain, kUnreadable };

struct DomainRead {
  DomainFile state = DomainFile::kMissing;
  PropertyDictionary contents;
};

DomainRead readDomainFile(const std::string& path) {
  PropertyListFile file = readPropertyListFile(path, kPreferenceFileLimit, Links::kFollow);
  switch (file.status) {
    case FileStatus::kMissing:
      return {};
    case FileStatus::kUnreadable:
      return {DomainFile::kUnreadable, {}};
    case FileStatus::kOk:
      if (const auto* dict = file.value.dictionary()) return {DomainFile::kDomain, *dict};
      break;
    case FileStatus::kMalformed:
      break;
  }
  return {DomainFile::kNotDomain, {}};
}

// A removal or a rename is durable only once its folder is flushed.
void syncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

bool makeFolders(const std::string& folder) {
  struct stat info = {};
  if (::stat(folder.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  for (std::size_t at = folder.find('/', 1);; at = folder.find('/', at + 1)) {
    const std::string prefix = folder.substr(0, at);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (at == std::string::npos) break;
  }
  return ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string utcTimestamp(const timespec& when) {
  std::tm parts{};
  gmtime_r(&when.tv_sec, &parts);
  char text[96];
  std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02d.%06ldZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                when.tv_nsec / 1000);
  return text;
}

// Gives the file at `path` a second name, "<path>.unreadable-<timestamp>",
// choosing a later microsecond while the name is taken. A hard link keeps the
// file under its own name too, so the path never goes missing before the
// replacement is renamed over it; where no hard link can be made (a file
// system without them) it is renamed without replacing anything. The aside name, or nullopt on
// failure.
struct AsideName {
  std::string path;
  bool linked = false;
};

std::optional<AsideName> keepAside(const std::string& path, const std::string& folder) {
  timespec when{};
  clock_gettime(CLOCK_REALTIME, &when);
  when.tv_nsec -= when.tv_nsec % 1000;
  for (int attempt = 0; attempt < 10000; ++attempt) {
    const std::string aside = path + ".unreadable-" + utcTimestamp(when);
    if (::link(path.c_str(), aside.c_str()) == 0) {
      syncFolder(folder);
      return AsideName{aside, true};
    }
    if (errno != EEXIST) {
      if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
        syncFolder(folder);
        return AsideName{aside, false};
      }
      if (errno != EEXIST) return std::nullopt;
    }
    when.tv_nsec += 1000;
    if (when.tv_nsec >= 1000000000) {
      when.tv_nsec -= 1000000000;
      ++when.tv_sec;
    }
  }
  return std::nullopt;
}

}  // namespace

bool isValidDomainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

PlistUserDefaults::PlistUserDefaults(std::string preferencesFolder, std::string applicationDomain)
    : folder_(std::move(preferencesFolder)), applicationDomain_(std::move(applicationDomain)) {}

std::string PlistUserDefaults::pathForDomain(const std::string& name) const {
  return folder_ + "/" + name + ".plist";
}

bool PlistUserDefaults::boolForKey(const std::string& key) {
  const auto domain = persistentDomainForName(applicationDomain_);
  if (!domain) return false;
  const auto found = domain->find(key);
  if (found == domain->end()) return false;
  const PropertyValue& value = found->second;
  if (const auto* b = value.boolean()) return *b;
  if (const auto* i = value.integer()) return i->bits != 0;
  if (const auto* r = value.real()) return *r != 0;
  return false;
}

void PlistUserDefaults::setBoolForKey(bool value, const std::string& key) {
  if (!isValidDomainName(applicationDomain_)) return;
  PropertyDictionary domain =
      persistentDomainForName(applicationDomain_).value_or(PropertyDictionary{});
  domain.insert_or_assign(key, PropertyValue(value));
  pending_.insert_or_assign(applicationDomain_, std::move(domain));
}

std::optional<PropertyDictionary> PlistUserDefaults::persistentDomainForName(
    const std::string& name) {
  if (!isValidDomainName(name)) return std::nullopt;
  if (const auto found = pending_.find(name); found != pending_.end()) return found->second;
  DomainRead read = readDomainFile(pathForDomain(name));
  if (read.state != DomainFile::kDomain) return std::nullopt;
  return std::move(read.contents);
}

void PlistUserDefaults::removePersistentDomainForName(const std::string& name) {
  if (!isValidDomainName(name)) return;
  pending_.insert_or_assign(name, std::nullopt);
}

void PlistUserDefaults::setPersistentDomain(const PropertyDictionary& domain,
                                            const std::string& name) {
  if (!isValidDomainName(name)) return;
  pending_.insert_or_assign(name, domain);
}

bool PlistUserDefaults::synchronize() {
  bool allWritten = true;
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (writeDomain(it->first, it->second)) {
      it = pending_.erase(it);
    } else {
      allWritten = false;
      ++it;
    }
  }
  return allWritten;
}

bool PlistUserDefaults::writeDomain(const std::string& name,
                                    const std::optional<PropertyDictionary>& contents) {
  const std::string path = pathForDomain(name);
  const DomainFile state = readDomainFile(path).state;
  // What cannot be read may be a domain all the same: neither removed nor
  // replaced.
  if (state == DomainFile::kUnreadable) return false;
  if (!contents) {
    // Only a file that holds a domain is removed; anything else is not ours
    // to destroy, and already reads as no domain.
    if (state != DomainFile::kDomain) return true;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return false;
    syncFolder(folder_);
    return true;
  }
  if (!makeFolders(folder_)) return false;
  std::optional<AsideName> aside;
  if (state == DomainFile::kNotDomain) {
    // Beside the file that holds the bytes, which a link at the path names:
    // a second name for the link would show the new file once it is written.
    const std::optional<std::string> target = linkTarget(path);
    if (!target) return false;
    aside = keepAside(*target, target->substr(0, target->rfind('/')));
    if (!aside) return false;
  }
  if (writePropertyListFile(path, PropertyValue(*contents), 0600)) return true;
  // The unreadable file is still in place: drop the second name made for it.
  if (aside && aside->linked) ::unlink(aside->path.c_str());
  return false;
}

PlistUserDefaultsFactory::PlistUserDefaultsFactory(std::string preferencesFolder,
                                                   std::string applicationDomain)
    : folder_(std::move(preferencesFolder)), applicationDomain_(std::move(applicationDomain)) {}

std::shared_ptr<UserDefaults> PlistUserDefaultsFactory::standardUserDefaults() {
  if (!standard_) standard_ = makeUserDefaults();
  return standard_;
}

std::shared_ptr<UserDefaults> PlistUserDefaultsFactory::makeUserDefaults() {
  return std::make_shared<PlistUserDefaults>(folder_, applicationDomain_);
}

}  // namespace pomrel::posix
