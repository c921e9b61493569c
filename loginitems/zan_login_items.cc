// The login items store over the login window's persistent domain.
#include "loginitems/zan_login_items.h"

#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

namespace pomrel {

namespace {

// The part after the last "." of the last path component ("" when none).
std::string_view pathExtension(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  const std::string_view component =
      slash == std::string_view::npos ? path : path.substr(slash + 1);
  const std::size_t dot = component.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : component.substr(dot + 1);
}

// The path without its last component: "/a/b" -> "/a", "/a" -> "/", "a" -> "".
std::string deletingLastPathComponent(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

// `path` with empty and "." components dropped, ".." resolved against the
// component before it (".." at the root stays there), and no trailing slash;
// `path` must be absolute.
std::string standardizeAbsolutePath(std::string_view path) {
  std::vector<std::string_view> components;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view component = path.substr(start, end - start);
    if (component == "..") {
      if (!components.empty()) components.pop_back();
    } else if (!component.empty() && component != ".") {
      components.push_back(component);
    }
    start = end + 1;
  }
  std::string result;
  for (std::string_view component : components) {
    result += '/';
    result += component;
  }
  return result.empty() ? "/" : result;
}

// The executable's path as a lexically normal absolute path, so that the
// login list never holds a path that depends on where the application was
// started from; "" when it cannot be told. A first argument without a slash
// was found through the search path (or is missing), so it says nothing
// about where the executable is: the system's own record of it does.
std::string absoluteExecutablePath(const ProcessInfo& processInfo) {
  const std::vector<std::string> arguments = processInfo.arguments();
  std::string executable = arguments.empty() ? std::string() : arguments.front();
  if (executable.find('/') == std::string::npos) {
    executable = processInfo.executablePath();
  } else if (executable.front() != '/') {
    const std::string directory = processInfo.currentDirectoryPath();
    executable =
        directory.starts_with('/') ? directory + "/" + executable : processInfo.executablePath();
  }
  if (!executable.starts_with('/')) return {};
  return standardizeAbsolutePath(executable);
}

bool entryHasPath(const PropertyValue& entry, const std::string& path) {
  const PropertyDictionary* dictionary = entry.dictionary();
  if (dictionary == nullptr) return false;
  const auto found = dictionary->find(ZanStartupItemPathKey);
  if (found == dictionary->end()) return false;
  const std::string* entryPath = found->second.string();
  return entryPath != nullptr && *entryPath == path;
}

}  // namespace

ZanLoginItems::ZanLoginItems(UserDefaultsFactory& defaultsFactory, const ProcessInfo& processInfo)
    : defaultsFactory_(defaultsFactory) {
  _thisAppPath = applicationPathOf(processInfo);
  updateStartupItems();
}

std::string ZanLoginItems::applicationPathOf(const ProcessInfo& processInfo) {
  return _extractAppPath(absoluteExecutablePath(processInfo));
}

ZanLoginItems::~ZanLoginItems() = default;

std::string ZanLoginItems::_extractAppPath(const std::string& path) {
  if (path.find(".app") == std::string::npos) return path;
  std::string bundle = path;
  while (!bundle.empty() && bundle.size() > 1 && bundle.back() == '/') bundle.pop_back();
  while (pathExtension(bundle) != "app") {
    // ".app" only inside a name such as "x.apps": there is no bundle.
    if (bundle.empty() || bundle == "/") return path;
    bundle = deletingLastPathComponent(bundle);
  }
  return bundle;
}

void ZanLoginItems::updateStartupItems() {
  _defaults.reset();
  _loginDictionary.clear();
  _startupItems.clear();

  _defaults = defaultsFactory_.makeUserDefaults();
  if (std::optional<PropertyDictionary> domain =
          _defaults->persistentDomainForName(ZanLoginPreferencesDomain)) {
    _loginDictionary = std::move(*domain);
  }
  const auto list = _loginDictionary.find(ZanLoginItemsKey);
  if (list != _loginDictionary.end()) {
    if (const PropertyArray* items = list->second.array()) _startupItems = *items;
  }
}

const PropertyArray& ZanLoginItems::startupItems() const { return _startupItems; }

bool ZanLoginItems::applicationIsInStartupItems(const std::string& path) {
  for (const PropertyValue& entry : _startupItems) {
    if (entryHasPath(entry, path)) return true;
  }
  return false;
}

void ZanLoginItems::addApplicationToStartupItems(const std::string& path, bool hide) {
  // Re-read so that what another program wrote meanwhile is kept.
  updateStartupItems();
  if (applicationIsInStartupItems(path)) return;
  PropertyDictionary entry;
  entry[ZanStartupItemHideKey] = hide;
  entry[ZanStartupItemPathKey] = path;
  _startupItems.insert(_startupItems.begin(), PropertyValue(std::move(entry)));
  writeBack(true);
}

void ZanLoginItems::removeApplicationFromStartupItems(const std::string& path) {
  updateStartupItems();
  for (auto entry = _startupItems.begin(); entry != _startupItems.end(); ++entry) {
    if (entryHasPath(*entry, path)) {
      _startupItems.erase(entry);
      break;
    }
  }
  // A list value of another type was read as an empty list: nothing was
  // removed from it, and it is written back as it was.
  writeBack(listIsArrayOrAbsent());
}

// Without a path of its own the application has no entry to look for, add
// or remove: an entry with an empty path would launch nothing.
bool ZanLoginItems::isInStartupItems() {
  if (_thisAppPath.empty()) return false;
  // Re-read, as a change does, so that what the setting is compared with is
  // the list as it is now, not as it was at launch.
  updateStartupItems();
  return applicationIsInStartupItems(_thisAppPath);
}

void ZanLoginItems::addToStartupItems() {
  if (!_thisAppPath.empty()) addApplicationToStartupItems(_thisAppPath, false);
}

void ZanLoginItems::removeFromStartupItems() {
  if (!_thisAppPath.empty()) removeApplicationFromStartupItems(_thisAppPath);
}

bool ZanLoginItems::listIsArrayOrAbsent() const {
  const auto list = _loginDictionary.find(ZanLoginItemsKey);
  return list == _loginDictionary.end() || list->second.array() != nullptr;
}

void ZanLoginItems::writeBack(bool storeList) {
  if (storeList) _loginDictionary[ZanLoginItemsKey] = _startupItems;
  _defaults->removePersistentDomainForName(ZanLoginPreferencesDomain);
  _defaults->setPersistentDomain(_loginDictionary, ZanLoginPreferencesDomain);
  _defaults->synchronize();
}

}  // namespace pomrel
