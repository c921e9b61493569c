#include "platform/linux/autostart.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <utility>

#include "platform/linux/application_entry.h"
#include "platform/posix/file_reader.h"
#include "platform/posix/plist_io.h"

namespace pomrel::host {

namespace {

// The login window's domain and its list, and the keys of an entry.
constexpr const char* kLoginDomain = "loginwindow";
constexpr const char* kLoginItemsKey = "AutoLaunchedApplicationDictionary";
constexpr const char* kPathKey = "Path";
constexpr const char* kHideKey = "Hide";

constexpr std::string_view kDesktopSuffix = ".desktop";
constexpr const char* kOurEntryStem = "pomrel";
// Names tried for our entry before giving up: pomrel.desktop, pomrel-2 ...
constexpr int kOurEntryNames = 100;

std::string_view trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// The application entry's lines that show Pomrel in a list of entries: its
// name, comments and icon, in every language.
std::string shownAsInTheApplicationEntry() {
  std::string shown;
  for (std::string_view entry = kApplicationEntry; !entry.empty();) {
    const std::size_t end = std::min(entry.find('\n'), entry.size());
    const std::string_view line = entry.substr(0, end);
    entry.remove_prefix(std::min(end + 1, entry.size()));
    const std::string_view key = line.substr(0, line.find_first_of("[="));
    if (key == "Name" || key == "Comment" || key == "Icon") shown.append(line).append("\n");
  }
  return shown;
}

// The value escapes of a desktop entry's strings: \s \n \t \r \\.
std::string unescapeValue(std::string_view value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out += value[i];
      continue;
    }
    switch (value[++i]) {
      case 's':
        out += ' ';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case '\\':
        out += '\\';
        break;
      default:
        out += '\\';
        out += value[i];
        break;
    }
  }
  return out;
}

// The first argument of an unescaped Exec value: up to the first space, or
// a double-quoted string in which \" \` \$ \\ stand for the character.
std::string firstArgument(std::string_view exec) {
  exec = trim(exec);
  std::string argument;
  if (!exec.empty() && exec.front() == '"') {
    for (std::size_t i = 1; i < exec.size() && exec[i] != '"'; ++i) {
      if (exec[i] == '\\' && i + 1 < exec.size() &&
          std::string_view("\"`$\\").find(exec[i + 1]) != std::string_view::npos) {
        ++i;
      }
      argument += exec[i];
    }
  } else {
    argument = exec.substr(0, exec.find_first_of(" \t"));
  }
  // "%%" is a literal '%'; other field codes never make up a program.
  for (std::size_t at = argument.find("%%"); at != std::string::npos;
       at = argument.find("%%", at + 1)) {
    argument.erase(at, 1);
  }
  return argument;
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat x = {};
  struct stat y = {};
  return !a.empty() && !b.empty() && ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 &&
         x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

// A program named without a '/' is found through PATH, as the session that
// starts it finds it.
std::string resolveProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* path = std::getenv("PATH");
  std::string_view folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  while (!folders.empty()) {
    const std::size_t colon = folders.find(':');
    const std::string_view folder = folders.substr(0, colon);
    folders = colon == std::string_view::npos ? std::string_view() : folders.substr(colon + 1);
    if (folder.empty()) continue;
    std::string candidate = std::string(folder) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

bool isEntryName(std::string_view name) {
  return name.size() > kDesktopSuffix.size() && name.front() != '.' &&
         name.ends_with(kDesktopSuffix);
}

std::optional<PropertyArray> listOf(const PropertyDictionary& domain) {
  const auto found = domain.find(kLoginItemsKey);
  if (found == domain.end() || found->second.array() == nullptr) return std::nullopt;
  return *found->second.array();
}

}  // namespace

std::optional<std::string> autostartProgram(std::string_view desktopEntry) {
  bool inGroup = false;
  bool sawGroup = false;
  std::map<std::string, std::string, std::less<>> keys;
  while (!desktopEntry.empty()) {
    const std::size_t end = desktopEntry.find('\n');
    const std::string_view line = trim(desktopEntry.substr(0, end));
    desktopEntry =
        end == std::string_view::npos ? std::string_view() : desktopEntry.substr(end + 1);
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inGroup = line == "[Desktop Entry]";
      sawGroup = sawGroup || inGroup;
      continue;
    }
    const std::size_t equals = line.find('=');
    if (!inGroup || equals == std::string_view::npos) continue;
    // The first of a repeated key counts; "Exec[de]" is another key.
    keys.emplace(std::string(trim(line.substr(0, equals))), trim(line.substr(equals + 1)));
  }
  if (!sawGroup) return std::nullopt;
  const auto value = [&](std::string_view key) {
    const auto found = keys.find(key);
    return found == keys.end() ? std::string() : found->second;
  };
  if (value("Hidden") == "true") return std::nullopt;
  // Switched off in the desktop's session settings (GNOME's and Xfce's key).
  if (value("X-GNOME-Autostart-enabled") == "false") return std::nullopt;
  const std::string type = value("Type");
  if (!type.empty() && type != "Application") return std::nullopt;
  std::string program = firstArgument(unescapeValue(value("Exec")));
  if (program.empty()) return std::nullopt;
  return program;
}

std::optional<std::string> execValueFor(const std::string& program) {
  if (program.empty()) return std::nullopt;
  std::string quoted = "\"";
  for (const char c : program) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return std::nullopt;
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
    if (c == '%') quoted += '%';
  }
  quoted += '"';
  // The string escape comes last: a backslash of the quoting is written \\.
  std::string value;
  for (const char c : quoted) {
    value += c;
    if (c == '\\') value += '\\';
  }
  return value;
}

XdgAutostartDefaults::XdgAutostartDefaults(std::shared_ptr<UserDefaults> store,
                                           std::string autostartFolder, AutostartIdentity identity)
    : store_(std::move(store)),
      folder_(std::move(autostartFolder)),
      identity_(std::move(identity)) {}

bool XdgAutostartDefaults::boolForKey(const std::string& key) { return store_->boolForKey(key); }

void XdgAutostartDefaults::setBoolForKey(bool value, const std::string& key) {
  store_->setBoolForKey(value, key);
}

bool XdgAutostartDefaults::startsPomrel(const std::string& program) const {
  if (program == identity_.applicationPath || program == identity_.launcherPath ||
      program == identity_.executablePath) {
    return true;
  }
  const std::string resolved = resolveProgram(program);
  return sameFile(resolved, identity_.launcherPath) || sameFile(resolved, identity_.executablePath);
}

std::optional<std::string> XdgAutostartDefaults::listedPath(const std::string& file) const {
  const posix::FileRead read = posix::readFile(folder_ + "/" + file, posix::kSystemFileLimit);
  if (!read.ok()) return std::nullopt;
  std::optional<std::string> program = autostartProgram(read.bytes);
  if (program && startsPomrel(*program)) return identity_.applicationPath;
  return program;
}

std::vector<XdgAutostartDefaults::Listed> XdgAutostartDefaults::scan() const {
  std::vector<std::string> names;
  if (DIR* folder = ::opendir(folder_.c_str())) {
    while (const dirent* entry = ::readdir(folder)) {
      if (isEntryName(entry->d_name)) names.emplace_back(entry->d_name);
    }
    ::closedir(folder);
  }
  std::sort(names.begin(), names.end());
  std::vector<Listed> listed;
  for (std::string& name : names) {
    if (std::optional<std::string> path = listedPath(name)) {
      listed.push_back({std::move(name), std::move(*path)});
    }
  }
  return listed;
}

std::optional<PropertyDictionary> XdgAutostartDefaults::persistentDomainForName(
    const std::string& name) {
  std::optional<PropertyDictionary> domain = store_->persistentDomainForName(name);
  if (name != kLoginDomain) return domain;
  PropertyArray list;
  if (pendingList_) {
    list = *pendingList_;
  } else {
    lastRead_ = scan();
    for (const Listed& entry : *lastRead_) {
      list.emplace_back(PropertyDictionary{{kHideKey, false}, {kPathKey, entry.path}});
    }
  }
  if (!domain && list.empty()) return std::nullopt;
  if (!domain) domain.emplace();
  (*domain)[kLoginItemsKey] = std::move(list);
  return domain;
}

void XdgAutostartDefaults::removePersistentDomainForName(const std::string& name) {
  store_->removePersistentDomainForName(name);
}

void XdgAutostartDefaults::setPersistentDomain(const PropertyDictionary& domain,
                                               const std::string& name) {
  if (name != kLoginDomain) return store_->setPersistentDomain(domain, name);
  if (std::optional<PropertyArray> list = listOf(domain)) pendingList_ = std::move(list);
  PropertyDictionary others = domain;
  others.erase(kLoginItemsKey);
  if (others.empty()) {
    store_->removePersistentDomainForName(name);
  } else {
    store_->setPersistentDomain(others, name);
  }
}

bool XdgAutostartDefaults::synchronize() {
  bool ok = store_->synchronize();
  if (pendingList_) {
    if (apply(*pendingList_)) {
      pendingList_.reset();
    } else {
      ok = false;
    }
  }
  return ok;
}

bool XdgAutostartDefaults::apply(const PropertyArray& list) {
  std::map<std::string, int> wanted;
  for (const PropertyValue& entry : list) {
    const PropertyDictionary* fields = entry.dictionary();
    if (fields == nullptr) continue;
    const auto path = fields->find(kPathKey);
    if (path != fields->end() && path->second.string() != nullptr) ++wanted[*path->second.string()];
  }
  const std::vector<Listed> before = lastRead_ ? *lastRead_ : scan();
  bool ok = true;
  for (const Listed& entry : before) {
    if (wanted[entry.path] > 0) {
      --wanted[entry.path];
      continue;
    }
    // Deleted only while it still starts what it started when listed.
    if (listedPath(entry.file) == entry.path &&
        ::unlink((folder_ + "/" + entry.file).c_str()) != 0 && errno != ENOENT) {
      ok = false;
    }
  }
  if (wanted[identity_.applicationPath] > 0) {
    const std::vector<Listed> now = scan();
    const bool listed = std::any_of(now.begin(), now.end(), [&](const Listed& entry) {
      return entry.path == identity_.applicationPath;
    });
    if (!listed) ok = writeOurEntry() && ok;
  }
  lastRead_ = scan();
  return ok;
}

bool XdgAutostartDefaults::writeOurEntry() {
  const std::optional<std::string> exec = execValueFor(identity_.launcherPath);
  if (!exec) return false;
  std::error_code error;
  std::filesystem::create_directories(folder_, error);
  if (error) return false;
  const std::string contents = "[Desktop Entry]\nType=Application\n" +
                               shownAsInTheApplicationEntry() + "Exec=" + *exec +
                               "\nTerminal=false\n";
  for (int n = 1; n <= kOurEntryNames; ++n) {
    const std::string name = std::string(kOurEntryStem) +
                             (n == 1 ? std::string() : "-" + std::to_string(n)) +
                             std::string(kDesktopSuffix);
    const std::string path = folder_ + "/" + name;
    struct stat info = {};
    // A file of that name that does not start Pomrel belongs to someone.
    if (::lstat(path.c_str(), &info) == 0 || errno != ENOENT) continue;
    return posix::writeFileAtomically(path, contents, 0644);
  }
  return false;
}

HostUserDefaultsFactory::HostUserDefaultsFactory(const std::string& configFolder,
                                                 std::string applicationDomain,
                                                 AutostartIdentity identity)
    : store_(configFolder + "/pomrel", std::move(applicationDomain)),
      autostartFolder_(configFolder + "/autostart"),
      identity_(std::move(identity)) {}

std::shared_ptr<UserDefaults> HostUserDefaultsFactory::standardUserDefaults() {
  if (standard_ == nullptr) standard_ = makeUserDefaults();
  return standard_;
}

std::shared_ptr<UserDefaults> HostUserDefaultsFactory::makeUserDefaults() {
  return std::make_shared<XdgAutostartDefaults>(store_.makeUserDefaults(), autostartFolder_,
                                                identity_);
}

std::string HostUserDefaultsFactory::configFolderFromEnvironment() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return config;
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.config";
  const passwd* account = ::getpwuid(::getuid());
  if (account != nullptr && account->pw_dir != nullptr && account->pw_dir[0] == '/') {
    return std::string(account->pw_dir) + "/.config";
  }
  return {};
}

}  // namespace pomrel::host
