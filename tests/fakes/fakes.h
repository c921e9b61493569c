// In-memory fakes of the platform interfaces: tests set their public members
// and inspect what was asked of them; a breach of an interface's contract is
// counted in `misuse`. Fakes given an EventLog append, in call order: the
// events the fixtures' expectInOrder names ("activate", "alert:<message>",
// "run:<tool> <args>", "exec:...", "exit:<tool>", "port:create" ...).
#pragma once

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/menu.h"
#include "platform/platform.h"
#include "platform/window.h"

namespace pomrel::fakes {

using EventLog = std::vector<std::string>;

inline void note(EventLog* log, std::string event) {
  if (log != nullptr) log->push_back(std::move(event));
}

inline std::string joined(std::string text, const std::vector<std::string>& parts) {
  for (const std::string& part : parts) text += " " + part;
  return text;
}

struct Alert {
  std::string title;
  std::string message;
};

struct FakeApplication : Application {
  void activateIgnoringOtherApps(bool) override {
    ++activations;
    note(log, "activate");
  }
  void runAlertPanel(const std::string& title, const std::string& message) override {
    alerts.push_back({title, message});
    note(log, "alert:" + message);
  }
  EventLog* log = nullptr;
  int activations = 0;
  std::vector<Alert> alerts;
};

struct FakeImage : Image {
  explicit FakeImage(std::string name) : named(std::move(name)) {}
  [[nodiscard]] std::string name() const override { return named; }
  std::string named;
};

// Every image exists; a key without an entry in `strings` is its own text.
struct FakeBundle : Bundle {
  std::shared_ptr<Image> imageNamed(const std::string& name) override {
    return std::make_shared<FakeImage>(name);
  }
  std::string localizedStringForKey(const std::string& key) override {
    const auto found = strings.find(key);
    return found == strings.end() ? key : found->second;
  }
  std::map<std::string, std::string> strings;
};

struct FakeMenuItem : MenuItem {
  explicit FakeMenuItem(std::string action) : name(std::move(action)) {}
  [[nodiscard]] std::string action() const override { return name; }
  [[nodiscard]] bool isEnabled() const override { return true; }
  void setEnabled(bool) override {}
  std::string name;
};

struct FakeButton : Button {
  [[nodiscard]] int state() const override { return value; }
  void setState(int state) override { value = state; }
  int value = NSControlStateValueOff;
};

struct FakeWindow : Window {
  void center() override {}
  void makeKeyAndOrderFront(void*) override {}
  void close() override {}
};

struct FakeStatusItem : StatusItem {
  explicit FakeStatusItem(double length) : width(length) {}
  [[nodiscard]] double length() const override { return width; }
  void setTitle(const std::string&) override {}
  void setImage(std::shared_ptr<Image> picture) override { image = std::move(picture); }
  void setHighlightMode(bool highlight) override { highlightMode = highlight; }
  void setMenu(Menu* attached) override { menu = attached; }
  std::shared_ptr<Image> image;
  bool highlightMode = false;
  Menu* menu = nullptr;
  double width;
};

struct FakeStatusBar : StatusBar {
  std::shared_ptr<StatusItem> statusItemWithLength(double length) override {
    return items.emplace_back(std::make_shared<FakeStatusItem>(length));
  }
  std::vector<std::shared_ptr<FakeStatusItem>> items;
};

struct FakeRunLoop : RunLoop {
  void addSource(RunLoopSource* source, RunLoopMode) override { installed.push_back(source); }
  void removeSource(RunLoopSource* source, RunLoopMode) override { std::erase(installed, source); }
  // Performs each installed source whose descriptor is readable, round after
  // round, until none is; a source removed meanwhile is not touched.
  void runUntilIdle() {
    for (bool performed = true; performed;) {
      performed = false;
      for (RunLoopSource* source : std::vector(installed)) {
        pollfd ready{source->descriptor(), POLLIN, 0};
        if (std::find(installed.begin(), installed.end(), source) != installed.end() &&
            ::poll(&ready, 1, 0) == 1) {
          source->perform();
          performed = true;
        }
      }
    }
  }
  std::vector<RunLoopSource*> installed;
};

// Services are published and terminated by the test. Handles are distinct
// from entry IDs and never reused; a port's source is readable exactly while
// messages wait on it.
class FakeRegistry : public DeviceRegistry {
 public:
  // Returns the entry ID (1, 2, ...); a name's first match is its live
  // service with the lowest ID.
  std::uint64_t publish(std::string name, PropertyDictionary properties) {
    const std::uint64_t id = ++lastId_;
    for (const auto& [handle, entry] : handles_) {
      if (entry.matched != nullptr && entry.matchName == name && !entry.port->destroyed) {
        entry.port->post(handle, static_cast<natural_t>(id));
      }
    }
    services_[id] = {std::move(name), std::move(properties)};
    return id;
  }
  // Each registration on the service is sent kIOMessageServiceIsTerminated,
  // then the service stops matching and answering.
  void terminate(std::uint64_t entryId) {
    sendMessage(entryId, kIOMessageServiceIsTerminated);
    services_.erase(entryId);
  }
  void terminateAll(const std::string& name) {
    for (const auto& [id, service] : std::map(services_)) {
      if (service.name == name) terminate(id);
    }
  }
  void sendMessage(std::uint64_t entryId, natural_t messageType) {
    for (const auto& [handle, entry] : handles_) {
      if (services_.contains(entryId) && entry.entryId == entryId && entry.port != nullptr &&
          !entry.port->destroyed) {
        entry.port->post(handle, messageType);
      }
    }
  }

  EventLog* log = nullptr;
  bool interestFails = false;  // even for a live service
  int misuse = 0;
  // Service handles and registrations not yet released.
  [[nodiscard]] std::size_t outstandingHandles() const { return handles_.size(); }
  [[nodiscard]] std::size_t livePorts() const {
    return std::count_if(ports_.begin(), ports_.end(), [](const auto& p) { return !p->destroyed; });
  }

  std::optional<MatchingDictionary> serviceNameMatching(const char* name) override {
    return MatchingDictionary{name};
  }
  io_service_t getMatchingService(MatchingDictionary matching) override {
    for (const auto& [id, service] : services_) {
      if (service.name == matching.name) return issue({id});
    }
    return 0;
  }
  kern_return_t createProperties(io_service_t service, PropertyDictionary& properties) override {
    const Handle* handle = serviceHandle(service);
    if (handle == nullptr || !services_.contains(handle->entryId)) return kIOReturnError;
    properties = services_.at(handle->entryId).properties;
    return KERN_SUCCESS;
  }
  kern_return_t release(io_object_t object) override {
    if (handles_.erase(object) == 1) return KERN_SUCCESS;
    ++misuse;
    return kIOReturnError;
  }
  IONotificationPortRef notificationPortCreate() override {
    note(log, "port:create");
    return ports_.emplace_back(std::make_unique<Port>(*this)).get();
  }
  RunLoopSource* notificationPortGetRunLoopSource(IONotificationPortRef port) override {
    return livePort(port);
  }
  void notificationPortDestroy(IONotificationPortRef port) override {
    Port* live = livePort(port);
    if (live == nullptr) return;
    live->destroyed = true;
    live->pending.clear();
    live->drain();
    note(log, "port:destroy");
  }
  kern_return_t addInterestNotification(IONotificationPortRef port, io_service_t service,
                                        const char* interestType,
                                        IOServiceInterestCallback callback, void* refcon,
                                        io_object_t* notification) override {
    Port* live = livePort(port);
    const Handle* handle = serviceHandle(service);
    if (live == nullptr || handle == nullptr) return kIOReturnError;
    note(log, "interest:add");
    if (interestFails || std::string_view(interestType) != kIOGeneralInterest ||
        !services_.contains(handle->entryId)) {
      return kIOReturnError;
    }
    *notification = issue({handle->entryId, live, service, callback, refcon});
    return KERN_SUCCESS;
  }
  kern_return_t addMatchingNotification(IONotificationPortRef port, const char* type,
                                        MatchingDictionary matching,
                                        IOServiceMatchingCallback callback, void* refcon,
                                        io_object_t* notification) override {
    Port* live = livePort(port);
    if (live == nullptr || std::string_view(type) != kIOFirstMatchNotification)
      return kIOReturnError;
    *notification = issue({0, live, 0, nullptr, refcon, callback, matching.name});
    return KERN_SUCCESS;
  }

 private:
  struct Port : NotificationPort, RunLoopSource {
    explicit Port(FakeRegistry& owner) : registry(owner) {}
    ~Port() override { ::close(fd); }
    [[nodiscard]] int descriptor() const override { return fd; }
    void perform() override { registry.deliver(*this); }
    void post(io_object_t registration, natural_t messageType) {
      pending.emplace_back(registration, messageType);
      ::eventfd_write(fd, 1);
    }
    void drain() {
      eventfd_t count = 0;
      ::eventfd_read(fd, &count);
    }
    FakeRegistry& registry;
    int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    std::deque<std::pair<io_object_t, natural_t>> pending;
    bool destroyed = false;
  };
  struct Service {
    std::string name;
    PropertyDictionary properties;
  };
  // A service handle, or a registration when `port` is set.
  struct Handle {
    std::uint64_t entryId;
    Port* port = nullptr;
    io_service_t service = 0;
    IOServiceInterestCallback callback = nullptr;
    void* refcon = nullptr;
    // A matching registration's; its messages are the entry IDs that appeared.
    IOServiceMatchingCallback matched = nullptr;
    std::string matchName = {};
  };

  io_object_t issue(const Handle& handle) {
    handles_[nextHandle_] = handle;
    return nextHandle_++;
  }
  const Handle* serviceHandle(io_service_t service) {
    const auto found = handles_.find(service);
    if (found != handles_.end() && found->second.port == nullptr) return &found->second;
    ++misuse;
    return nullptr;
  }
  Port* livePort(IONotificationPortRef port) {
    for (const auto& candidate : ports_) {
      if (candidate.get() == port && !candidate->destroyed) return candidate.get();
    }
    ++misuse;
    return nullptr;
  }
  // A callback may release registrations, destroy this port or send more
  // messages, so everything is looked up afresh for each message.
  void deliver(Port& port) {
    while (!port.destroyed && !port.pending.empty()) {
      const auto [registration, messageType] = port.pending.front();
      port.pending.pop_front();
      const auto found = handles_.find(registration);
      if (found == handles_.end()) continue;
      const Handle handle = found->second;
      if (handle.matched == nullptr) {
        handle.callback(handle.refcon, handle.service, messageType, nullptr);
      } else if (services_.contains(messageType)) {
        const io_service_t service = issue({messageType});
        handle.matched(handle.refcon, service);
        handles_.erase(service);
      }
    }
    port.drain();
  }

  std::map<std::uint64_t, Service> services_;  // the live ones
  std::uint64_t lastId_ = 0;
  std::map<io_object_t, Handle> handles_;
  io_object_t nextHandle_ = 0x1000;
  // Kept until the registry goes, so that a late use is counted, not a
  // use after free.
  std::vector<std::unique_ptr<Port>> ports_;
};

struct ProcessRun {
  std::string launchPath;
  std::vector<std::string> arguments;
  std::chrono::milliseconds timeout{0};
};

struct FakeProcessRunner : ProcessRunner {
  // Answers `onRun`, by default an exit 0 with nothing on standard error.
  ProcessResult run(const std::string& launchPath, const std::vector<std::string>& arguments,
                    std::chrono::milliseconds timeout) override {
    runs.push_back({launchPath, arguments, timeout});
    note(log, "run:" + joined(launchPath, arguments));
    return onRun ? onRun(runs.back()) : exited(0);
  }
  EventLog* log = nullptr;
  std::vector<ProcessRun> runs;
  std::function<ProcessResult(const ProcessRun&)> onRun;

  static ProcessResult exited(int status, std::string standardError = {}) {
    return {true, false, status, std::move(standardError)};
  }
};

// A session holds the administrator right once a prompt granted it. Copying
// rights into a session without it shows the prompt when interaction and
// extension are allowed, runs `duringPrompt` (as the prompt's event loop
// would run what the user does meanwhile) and answers the next of
// `promptAnswers` (success once they run out); otherwise it is refused.
// Handles must not outlive the fake.
class FakeAuthorization : public Authorization {
 public:
  EventLog* log = nullptr;
  std::deque<OSStatus> promptAnswers;
  std::function<void()> duringPrompt;
  OSStatus executeStatus = errAuthorizationSuccess;  // else nothing starts
  int toolStatus = 0;                                // what a tool exits with when it ends
  std::string toolReason;                            // and says of its failure
  int prompts = 0;
  int misuse = 0;
  std::vector<std::string> runs;  // "<path> <arguments>" of each tool started
  [[nodiscard]] std::size_t liveSessions() const {
    return std::count_if(sessions_.begin(), sessions_.end(),
                         [](const auto& s) { return !s->freed; });
  }

  OSStatus create(const AuthorizationRights*, const AuthorizationEnvironment*, AuthorizationFlags,
                  AuthorizationRef* authorization) override {
    *authorization = sessions_.emplace_back(std::make_unique<Session>()).get();
    return errAuthorizationSuccess;
  }
  OSStatus copyRights(AuthorizationRef authorization, const AuthorizationRights*,
                      const AuthorizationEnvironment*, AuthorizationFlags flags) override {
    Session* session = liveSession(authorization);
    if (session == nullptr) return errAuthorizationInvalidRef;
    if (session->granted) return errAuthorizationSuccess;
    if ((flags & kAuthorizationFlagExtendRights) == 0) return errAuthorizationDenied;
    if ((flags & kAuthorizationFlagInteractionAllowed) == 0) {
      return errAuthorizationInteractionNotAllowed;
    }
    ++prompts;
    note(log, "auth:prompt");
    if (duringPrompt) duringPrompt();
    const OSStatus answer = promptAnswers.empty() ? errAuthorizationSuccess : promptAnswers.front();
    if (!promptAnswers.empty()) promptAnswers.pop_front();
    session->granted = answer == errAuthorizationSuccess;
    return answer;
  }
  OSStatus executeWithPrivileges(AuthorizationRef authorization, const char* pathToTool,
                                 AuthorizationFlags, char* const* arguments,
                                 std::unique_ptr<PrivilegedProcess>* process) override {
    Session* session = liveSession(authorization);
    if (session == nullptr) return errAuthorizationInvalidRef;
    if (!session->granted) return errAuthorizationDenied;
    if (executeStatus != errAuthorizationSuccess) return executeStatus;
    std::vector<std::string> argv;
    for (char* const* a = arguments; a != nullptr && *a != nullptr; ++a) argv.emplace_back(*a);
    runs.push_back(joined(pathToTool, argv));
    note(log, "exec:" + runs.back());
    if (process != nullptr) *process = std::make_unique<Process>(*this, pathToTool);
    return errAuthorizationSuccess;
  }
  ~FakeAuthorization() override { ::close(finished_); }
  // False: tools outlast every wait. True (at first): they end when waited
  // for, and their exit descriptors are readable.
  void setToolsFinish(bool finish) {
    toolsFinish_ = finish;
    eventfd_t count = 0;
    finish ? ::eventfd_write(finished_, 1) : ::eventfd_read(finished_, &count);
  }
  OSStatus free(AuthorizationRef authorization, AuthorizationFlags) override {
    Session* session = liveSession(authorization);
    if (session == nullptr) return errAuthorizationInvalidRef;
    session->freed = true;
    return errAuthorizationSuccess;
  }

 private:
  struct Session : AuthorizationSession {
    bool granted = false;
    bool freed = false;
  };
  struct Process : PrivilegedProcess {
    Process(FakeAuthorization& by, std::string path) : owner(by), tool(std::move(path)) {}
    bool waitUntilExit(std::chrono::milliseconds) override {
      if (owner.toolsFinish_ && status < 0) {
        note(owner.log, "exit:" + tool);
        status = owner.toolStatus;
      }
      return status >= 0;
    }
    [[nodiscard]] int terminationStatus() const override { return status; }
    [[nodiscard]] std::string failureReason() const override {
      return status > 0 ? owner.toolReason : "";
    }
    [[nodiscard]] int exitDescriptor() const override { return owner.finished_; }
    FakeAuthorization& owner;
    std::string tool;
    int status = -1;
  };

  bool toolsFinish_ = true;
  int finished_ = ::eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC);

  Session* liveSession(AuthorizationRef authorization) {
    for (const auto& session : sessions_) {
      if (session.get() == authorization && !session->freed) return session.get();
    }
    ++misuse;
    return nullptr;
  }
  // Freed sessions are kept so that a late use is counted.
  std::vector<std::unique_ptr<Session>> sessions_;
};

struct FakeFileManager : FileManager {
  bool fileExistsAtPath(const std::string& path) override { return paths.contains(path); }
  std::set<std::string> paths;
};

struct FakeProcessInfo : ProcessInfo {
  [[nodiscard]] std::vector<std::string> arguments() const override { return argv; }
  [[nodiscard]] std::string currentDirectoryPath() const override { return currentDirectory; }
  [[nodiscard]] std::string executablePath() const override { return executable; }
  std::vector<std::string> argv{"/Applications/Pomrel.app/Contents/MacOS/Pomrel"};
  std::string currentDirectory = "/";
  std::string executable = "/Applications/Pomrel.app/Contents/MacOS/Pomrel";
};

// Logs pauses instead of taking them, then runs `onPause`.
struct FakeClock : Clock {
  void sleep(unsigned seconds) override { paused("sleep:" + std::to_string(seconds)); }
  void usleep(std::uint32_t micros) override { paused("usleep:" + std::to_string(micros)); }
  EventLog* log = nullptr;
  std::function<void()> onPause;
  void paused(std::string event) {
    note(log, std::move(event));
    if (onPause) onPause();
  }
};

// What is stored: the application's domain and the others by name. Defaults
// objects read through to it and write their changes to it only on
// synchronize.
struct FakeDefaultsStore {
  std::map<std::string, PropertyDictionary> domains;
  int synchronizations = 0;
};

class FakeUserDefaults : public UserDefaults {
 public:
  explicit FakeUserDefaults(FakeDefaultsStore& store) : store_(store) {}
  bool boolForKey(const std::string& key) override {
    const auto domain = persistentDomainForName(kApplication).value_or(PropertyDictionary{});
    const auto found = domain.find(key);
    return found != domain.end() && found->second.boolean() != nullptr && *found->second.boolean();
  }
  void setBoolForKey(bool value, const std::string& key) override {
    auto domain = persistentDomainForName(kApplication).value_or(PropertyDictionary{});
    domain[key] = value;
    pending_[kApplication] = std::move(domain);
  }
  std::optional<PropertyDictionary> persistentDomainForName(const std::string& name) override {
    if (const auto pending = pending_.find(name); pending != pending_.end()) return pending->second;
    const auto stored = store_.domains.find(name);
    return stored == store_.domains.end() ? std::nullopt : std::optional(stored->second);
  }
  void removePersistentDomainForName(const std::string& name) override {
    pending_[name] = std::nullopt;
  }
  void setPersistentDomain(const PropertyDictionary& domain, const std::string& name) override {
    pending_[name] = domain;
  }
  bool synchronize() override {
    ++store_.synchronizations;
    for (auto& [name, domain] : std::exchange(pending_, {})) {
      if (domain) {
        store_.domains[name] = std::move(*domain);
      } else {
        store_.domains.erase(name);
      }
    }
    return true;
  }
  static constexpr const char* kApplication = "app";

 private:
  FakeDefaultsStore& store_;
  std::map<std::string, std::optional<PropertyDictionary>> pending_;  // nullopt: removed
};

struct FakeUserDefaultsFactory : UserDefaultsFactory {
  std::shared_ptr<UserDefaults> standardUserDefaults() override {
    if (standard == nullptr) standard = makeUserDefaults();
    return standard;
  }
  std::shared_ptr<UserDefaults> makeUserDefaults() override {
    return std::make_shared<FakeUserDefaults>(store);
  }
  FakeDefaultsStore store;
  std::shared_ptr<UserDefaults> standard;
};

// One fake of each facility, sharing `log`, and the Platform made of them.
struct FakePlatform {
  FakePlatform() {
    application.log = registry.log = processes.log = authorization.log = clock.log = &log;
  }

  EventLog log;
  FakeApplication application;
  FakeBundle bundle;
  FakeStatusBar statusBar;
  FakeRunLoop runLoop;
  FakeRegistry registry;
  FakeProcessRunner processes;
  FakeAuthorization authorization;
  FakeFileManager fileManager;
  FakeProcessInfo processInfo;
  FakeUserDefaultsFactory userDefaults;
  FakeClock clock;
  Platform platform{application,   bundle,      statusBar,   registry,     runLoop, processes,
                    authorization, fileManager, processInfo, userDefaults, clock};
};

}  // namespace pomrel::fakes
