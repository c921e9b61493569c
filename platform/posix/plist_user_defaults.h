// User defaults kept as property-list files: each domain is the file
// <preferences folder>/<domain>.plist. The simulated machine and the Linux
// host share this store; only the folder differs.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/property_list.h"
#include "platform/user_defaults.h"

namespace pomrel::posix {

// A domain name is usable when it names one file in the preferences folder:
// not empty, not "." or "..", without '/' or NUL.
bool isValidDomainName(const std::string& name);

// One view of the defaults in `preferencesFolder`.
//
// Reading: a domain this object has not changed since its last synchronize is
// read from its file at every access, so it always shows the file as it is
// (binary or XML; a link to a file is followed). A file that is not a
// property list, or whose root is not a dictionary, is "no such domain"; so is
// a path that cannot be read as a file (a folder, a FIFO, a device, an I/O or
// permission error, a file over kPreferenceFileLimit). Invalid domain names
// answer nullopt and their changes are ignored.
//
// Changing: changes are held in memory, per domain as its net result (a
// removal followed by a setting is one setting), until `synchronize`.
//
// Writing (synchronize): each changed domain is written as one atomic
// replacement of its file (binary property list, mode 0600, folders created
// 0700); a removed domain's file is deleted. A file that is not a domain is
// never destroyed: before it is replaced it is kept beside it as
// "<domain>.plist.unreadable-<UTC timestamp>", and a removal leaves it where
// it is. A path that cannot be read as a file is not touched at all: setting
// or removing its domain fails (it might hold one). A domain whose write
// fails stays pending for the next synchronize, which then answers false.
class PlistUserDefaults : public UserDefaults {
 public:
  PlistUserDefaults(std::string preferencesFolder, std::string applicationDomain);

  // On the application's domain: a boolean, or a non-zero number, is true.
  bool boolForKey(const std::string& key) override;
  void setBoolForKey(bool value, const std::string& key) override;

  std::optional<PropertyDictionary> persistentDomainForName(const std::string& name) override;
  void removePersistentDomainForName(const std::string& name) override;
  void setPersistentDomain(const PropertyDictionary& domain, const std::string& name) override;
  bool synchronize() override;

  // The file that holds domain `name`.
  [[nodiscard]] std::string pathForDomain(const std::string& name) const;

 private:
  bool writeDomain(const std::string& name, const std::optional<PropertyDictionary>& contents);

  std::string folder_;
  std::string applicationDomain_;
  // Net change per domain since the last synchronize; nullopt = removed.
  std::map<std::string, std::optional<PropertyDictionary>> pending_;
};

class PlistUserDefaultsFactory : public UserDefaultsFactory {
 public:
  // Domains live in `preferencesFolder` (created on the first write);
  // `applicationDomain` is the application's bundle identifier.
  PlistUserDefaultsFactory(std::string preferencesFolder, std::string applicationDomain);

  std::shared_ptr<UserDefaults> standardUserDefaults() override;
  std::shared_ptr<UserDefaults> makeUserDefaults() override;

  [[nodiscard]] const std::string& preferencesFolder() const { return folder_; }

 private:
  std::string folder_;
  std::string applicationDomain_;
  std::shared_ptr<UserDefaults> standard_;
};

}  // namespace pomrel::posix
