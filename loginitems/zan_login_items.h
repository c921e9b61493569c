// The login window's list of applications launched at login, and this
// application's entry in it.
#pragma once

#include <memory>
#include <string>

#include "platform/process_info.h"
#include "platform/property_list.h"
#include "platform/user_defaults.h"

namespace pomrel {

inline constexpr const char* ZanLoginPreferencesDomain = "loginwindow";
inline constexpr const char* ZanLoginItemsKey = "AutoLaunchedApplicationDictionary";
inline constexpr const char* ZanStartupItemPathKey = "Path";
inline constexpr const char* ZanStartupItemHideKey = "Hide";

class ZanLoginItems {
 public:
  // init: takes this application's bundle path from the executable's path
  // and reads the domain. The executable's path is the process's first
  // argument, made absolute against the working directory, or the
  // executable's own path when that argument holds no slash; either is made
  // lexically normal (no ".", ".." or empty components). The references must
  // outlive the store.
  ZanLoginItems(UserDefaultsFactory& defaultsFactory, const ProcessInfo& processInfo);
  ~ZanLoginItems();
  ZanLoginItems(const ZanLoginItems&) = delete;
  ZanLoginItems& operator=(const ZanLoginItems&) = delete;

  // Re-reads the "loginwindow" domain into fresh copies, through a fresh
  // defaults object. A missing domain reads as empty; a missing list, or a
  // list value that is not an array, reads as an empty list.
  void updateStartupItems();

  // The list as last read or changed.
  [[nodiscard]] const PropertyArray& startupItems() const;

  // Whether a dictionary entry of the list, as last read or changed, has
  // "Path" exactly equal to `path`. Entries of any other type never match.
  bool applicationIsInStartupItems(const std::string& path);
  // Re-reads the domain, then puts { "Hide": hide, "Path": path } first in
  // the list and writes the domain back, unless `path` is listed already
  // (then nothing is written).
  void addApplicationToStartupItems(const std::string& path, bool hide);
  // Re-reads the domain, then removes the first entry whose "Path" is `path`
  // and writes the domain back, whether or not an entry was removed. Every
  // other key, entry and value is written back as read, a list value that
  // is not an array included.
  void removeApplicationFromStartupItems(const std::string& path);

  // The three operations above for this application's bundle path; the
  // check re-reads the domain as the changes do. With no bundle path (the
  // executable's path could not be found) the check answers false and the
  // changes do nothing.
  bool isInStartupItems();
  void addToStartupItems();
  void removeFromStartupItems();

  // The bundle path of this application; "" when it could not be found.
  [[nodiscard]] const std::string& thisAppPath() const { return _thisAppPath; }

  // The path this application is listed by: the enclosing bundle of the
  // process's first argument, made absolute against the working directory.
  static std::string applicationPathOf(const ProcessInfo& processInfo);

  // The enclosing ".app" bundle of `path`; `path` unchanged when it names no
  // bundle (no ".app" in it, or no component with the extension "app").
  static std::string _extractAppPath(const std::string& path);

 private:
  // Stores the list in the domain (unless `storeList` is false), then
  // replaces the whole domain and flushes it.
  void writeBack(bool storeList);
  // Whether the domain's list key is absent or holds an array.
  [[nodiscard]] bool listIsArrayOrAbsent() const;

  UserDefaultsFactory& defaultsFactory_;
  std::shared_ptr<UserDefaults> _defaults;
  PropertyDictionary _loginDictionary;
  PropertyArray _startupItems;
  std::string _thisAppPath;
};

}  // namespace pomrel
