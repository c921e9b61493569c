// Launch at login on a Linux desktop: the login window's list of launched
// applications is the user's XDG autostart folder.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/plist_user_defaults.h"
#include "platform/user_defaults.h"

namespace pomrel::host {

// The program a desktop entry starts at login: the first argument of its
// Exec, unescaped and unquoted as desktop entries write it. nullopt when the
// entry does not start anything: no [Desktop Entry] group, a Type other than
// Application, Hidden=true, or no Exec. Only the unlocalized keys of the
// [Desktop Entry] group count; comments and other groups are skipped.
std::optional<std::string> autostartProgram(std::string_view desktopEntry);

// `program` as the Exec value of a desktop entry, quoted and escaped so that
// autostartProgram reads it back unchanged. nullopt for a program that no
// Exec can hold (a control character in it).
std::optional<std::string> execValueFor(const std::string& program);

// Who Pomrel is among the entries of the autostart folder.
struct AutostartIdentity {
  // The path the login items store calls this application by.
  std::string applicationPath;
  // The installed launcher: what a new entry of ours starts.
  std::string launcherPath;
  // The program's own executable; an entry that starts it directly is ours too.
  std::string executablePath;
};

// One view of the user's defaults in which the "loginwindow" domain's
// "AutoLaunchedApplicationDictionary" is the autostart folder; every other
// key and domain is `store`'s.
//
// Reading lists each entry of the folder ("*.desktop", not hidden files) that
// starts a program, in the order of file names, as {"Path": program, "Hide":
// false}; an entry that starts Pomrel (its launcher or executable, by path or
// through PATH, or the application's path) lists the application's path.
//
// Setting the domain changes the folder at the next synchronize, by the
// difference between the list set and the list this object last read (the
// folder as it is then, if it read none): the file of each entry that left
// the list is deleted, if it still starts the same program; when the
// application's path joined the list and no entry starts Pomrel, a new entry
// "pomrel.desktop" (or "pomrel-N.desktop" if that name is taken) starting the
// launcher, named, described and shown with an icon in every language as the
// application entry is, is written atomically. No other file is ever written, paths of
// other programs that join the list are not, and the folder is left alone
// by a removal of the domain or a value that is not a list.
class XdgAutostartDefaults : public UserDefaults {
 public:
  XdgAutostartDefaults(std::shared_ptr<UserDefaults> store, std::string autostartFolder,
                       AutostartIdentity identity);

  bool boolForKey(const std::string& key) override;
  void setBoolForKey(bool value, const std::string& key) override;
  std::optional<PropertyDictionary> persistentDomainForName(const std::string& name) override;
  void removePersistentDomainForName(const std::string& name) override;
  void setPersistentDomain(const PropertyDictionary& domain, const std::string& name) override;
  bool synchronize() override;

 private:
  struct Listed {
    std::string file;  // name within the folder
    std::string path;  // as listed
  };
  [[nodiscard]] std::vector<Listed> scan() const;
  [[nodiscard]] std::optional<std::string> listedPath(const std::string& file) const;
  [[nodiscard]] bool startsPomrel(const std::string& program) const;
  bool apply(const PropertyArray& list);
  bool writeOurEntry();

  std::shared_ptr<UserDefaults> store_;
  std::string folder_;
  AutostartIdentity identity_;
  std::optional<std::vector<Listed>> lastRead_;
  std::optional<PropertyArray> pendingList_;
};

// The host's user defaults: domains as property lists in
// <config>/pomrel/<domain>.plist, the login window's list in
// <config>/autostart, where <config> is $XDG_CONFIG_HOME when it is an
// absolute path, else $HOME/.config.
class HostUserDefaultsFactory : public UserDefaultsFactory {
 public:
  HostUserDefaultsFactory(const std::string& configFolder, std::string applicationDomain,
                          AutostartIdentity identity);

  std::shared_ptr<UserDefaults> standardUserDefaults() override;
  std::shared_ptr<UserDefaults> makeUserDefaults() override;

  // <config> from the environment, as above; "" when neither is usable.
  static std::string configFolderFromEnvironment();

 private:
  posix::PlistUserDefaultsFactory store_;
  std::string autostartFolder_;
  AutostartIdentity identity_;
  std::shared_ptr<UserDefaults> standard_;
};

}  // namespace pomrel::host
