// In-memory fakes of the platform interfaces: tests set their public members
// and inspect what was asked of them. A breach of an interface's contract (a
// handle released twice, a freed session used, ...) is counted in `misuse`.
// Fakes given an EventLog append, in call order: "activate", "alert:<message>",
// "run:<path> <args>", "auth:prompt", "exec:<path> <args>", "exit:<path>" (an
// awaited tool finished), "port:create", "port:destroy", "interest:add",
// "sleep:<s>", "usleep:<us>".
#pragma once

#include <gmock/gmock.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
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

class FakeApplication : public Application {
 public:
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

class FakeImage : public Image {
 public:
  explicit FakeImage(std::string name) : name_(std::move(name)) {}
  [[nodiscard]] std::string name() const override { return name_; }

 private:
  std::string name_;
};

// Every image exists; a key without an entry in `strings` is its own text.
class FakeBundle : public Bundle {
 public:
  std::shared_ptr<Image> imageNamed(const std::string& name) override {
    return std::make_shared<FakeImage>(name);
  }
  std::string localizedStringForKey(const std::string& key) override {
    const auto found = strings.find(key);
    return found == strings.end() ? key : found->second;
  }
  std::map<std::string, std::string> strings;
};

class FakeMenuItem : public MenuItem {
 public:
  explicit FakeMenuItem(std::string action) : name(std::move(action)) {}
  [[nodiscard]] std::string action() const override { return name; }
  [[nodiscard]] bool isEnabled() const override { return enabled; }
  void setEnabled(bool value) override { enabled = value; }
  std::string name;
  bool enabled = true;
};

class FakeButton : public Button {
 public:
  [[nodiscard]] int state() const override { return value; }
  void setState(int state) override { value = state; }
  int value = NSControlStateValueOff;
};

class FakeWindow : public Window {
 public:
  void center() override { centered = true; }
  void makeKeyAndOrderFront(void*) override { visible = true; }
  void close() override { visible = false; }
  bool centered = false;
  bool visible = false;
};

class FakeStatusItem : public StatusItem {
 public:
  explicit FakeStatusItem(double length) : size(length) {}
  [[nodiscard]] double length() const override { return size; }
  void setTitle(const std::string& text) override { title = text; }
  void setImage(std::shared_ptr<Image> picture) override { image = std::move(picture); }
  void setHighlightMode(bool highlight) override { highlightMode = highlight; }
  void setMenu(Menu* attached) override { menu = attached; }
  std::optional<std::string> title;  // nullopt until set
  std::shared_ptr<Image> image;
  bool highlightMode = false;
  Menu* menu = nullptr;
  double size;
};

class FakeStatusBar : public StatusBar {
 public:
  std::shared_ptr<StatusItem> statusItemWithLength(double length) override {
    auto item = std::make_shared<FakeStatusItem>(length);
    items.push_back(item);
    return item;
  }
  // Weak, so an item nobody holds any more reads as expired.
  std::vector<std::weak_ptr<FakeStatusItem>> items;
};

class FakeRunLoop : public RunLoop {
 public:
  void addSource(RunLoopSource* source, RunLoopMode) override { installed.push_back(source); }
  void removeSource(RunLoopSource* source, RunLoopMode) override { std::erase(installed, source); }
  // Performs each installed source whose descriptor is readable, round after
  // round, until none is.
  void runUntilIdle() {
    bool performed = true;
    for (int round = 0; performed && round < 100; ++round) {
      performed = false;
      for (RunLoopSource* source : std::vector(installed)) {
        // A source removed by an earlier perform of this round is not touched.
        if (std::find(installed.begin(), installed.end(), source) == installed.end()) continue;
        pollfd ready{source->descriptor(), POLLIN, 0};
        if (::poll(&ready, 1, 0) == 1) {
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
    const std::uint64_t id = services_.empty() ? 1 : services_.rbegin()->first + 1;
    services_[id] = Service{std::move(name), std::move(properties)};
    return id;
  }
  // The service stops matching and answering; each registration on it is
  // sent kIOMessageServiceIsTerminated.
  void terminate(std::uint64_t entryId) {
    sendMessage(entryId, kIOMessageServiceIsTerminated);
    if (isLive(entryId)) services_[entryId].live = false;
  }
  void terminateAll(const std::string& name) {
    for (const auto& [id, service] : services_) {
      if (service.name == name) terminate(id);
    }
  }
  void sendMessage(std::uint64_t entryId, natural_t messageType) {
    for (const auto& [handle, entry] : handles_) {
      if (isLive(entryId) && entry.entryId == entryId && entry.port != nullptr &&
          !entry.port->destroyed) {
        entry.port->post(handle, messageType);
      }
    }
  }

  EventLog* log = nullptr;
  // If set, destroying a port whose source is installed on it is misuse.
  const FakeRunLoop* runLoop = nullptr;
  bool failProperties = false;
  bool failPortCreate = false;
  kern_return_t interestStatus = KERN_SUCCESS;  // for a live service

  // Service handles and registrations not yet released.
  [[nodiscard]] std::size_t outstandingHandles() const { return handles_.size(); }
  [[nodiscard]] std::size_t livePorts() const {
    return static_cast<std::size_t>(
        std::count_if(ports_.begin(), ports_.end(), [](const auto& p) { return !p->destroyed; }));
  }
  int deliveries = 0;
  int misuse = 0;

  std::optional<MatchingDictionary> serviceNameMatching(const char* name) override {
    return MatchingDictionary{name};
  }
  io_service_t getMatchingService(MatchingDictionary matching) override {
    for (const auto& [id, service] : services_) {
      if (service.live && service.name == matching.name) return issue({id});
    }
    return 0;
  }
  kern_return_t createProperties(io_service_t service, PropertyDictionary& properties) override {
    const Handle* handle = serviceHandle(service);
    if (handle == nullptr || failProperties || !isLive(handle->entryId)) return kIOReturnError;
    properties = services_.at(handle->entryId).properties;
    return KERN_SUCCESS;
  }
  kern_return_t release(io_object_t object) override {
    if (handles_.erase(object) == 1) return KERN_SUCCESS;
    ++misuse;
    return kIOReturnError;
  }
  IONotificationPortRef notificationPortCreate() override {
    if (failPortCreate) return nullptr;
    note(log, "port:create");
    return ports_.emplace_back(std::make_unique<Port>(*this)).get();
  }
  RunLoopSource* notificationPortGetRunLoopSource(IONotificationPortRef port) override {
    return livePort(port);
  }
  void notificationPortDestroy(IONotificationPortRef port) override {
    Port* live = livePort(port);
    if (live == nullptr) return;
    if (runLoop != nullptr && std::find(runLoop->installed.begin(), runLoop->installed.end(),
                                        live) != runLoop->installed.end()) {
      ++misuse;
    }
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
    if (std::string_view(interestType) != kIOGeneralInterest || !isLive(handle->entryId)) {
      return kIOReturnError;
    }
    if (interestStatus != KERN_SUCCESS) return interestStatus;
    *notification = issue({handle->entryId, live, service, callback, refcon});
    return KERN_SUCCESS;
  }

 private:
  class Port : public NotificationPort, public RunLoopSource {
   public:
    explicit Port(FakeRegistry& registry) : registry_(registry) {}
    ~Port() override { ::close(fd_); }
    [[nodiscard]] int descriptor() const override { return fd_; }
    void perform() override { registry_.deliver(*this); }
    void post(io_object_t registration, natural_t messageType) {
      pending.emplace_back(registration, messageType);
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
    }
    void drain() {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = ::read(fd_, &count, sizeof count);
    }
    std::deque<std::pair<io_object_t, natural_t>> pending;
    bool destroyed = false;

   private:
    FakeRegistry& registry_;
    int fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  };
  struct Service {
    std::string name;
    PropertyDictionary properties;
    bool live = true;
  };
  // A service handle, or a registration when `port` is set.
  struct Handle {
    std::uint64_t entryId;
    Port* port = nullptr;
    io_service_t service = 0;
    IOServiceInterestCallback callback = nullptr;
    void* refcon = nullptr;
  };

  bool isLive(std::uint64_t entryId) const {
    const auto found = services_.find(entryId);
    return found != services_.end() && found->second.live;
  }
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
      ++deliveries;
      handle.callback(handle.refcon, handle.service, messageType, nullptr);
    }
    port.drain();
  }

  std::map<std::uint64_t, Service> services_;
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

class FakeProcessRunner : public ProcessRunner {
 public:
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
  static ProcessResult notLaunched() { return {false, false, -1, {}}; }
  static ProcessResult timedOut(std::string standardError = {}) {
    return {true, true, -1, std::move(standardError)};
  }
};

struct PrivilegedRun {
  std::string pathToTool;
  std::vector<std::string> arguments;
  std::vector<std::chrono::milliseconds> waits;  // each waitUntilExit bound
};

struct CopyRightsCall {
  std::vector<std::string> rightNames;
  std::vector<std::string> environmentNames;
  AuthorizationFlags flags;
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
  OSStatus createStatus = errAuthorizationSuccess;   // else create fails
  OSStatus executeStatus = errAuthorizationSuccess;  // else nothing starts
  bool toolsFinish = true;                           // false: a tool outlasts every wait
  int toolStatus = 0;                                // what a finished tool exits with

  int prompts = 0;
  std::vector<CopyRightsCall> copies;
  std::vector<PrivilegedRun> runs;
  std::vector<AuthorizationFlags> frees;
  [[nodiscard]] std::size_t liveSessions() const {
    return static_cast<std::size_t>(
        std::count_if(sessions_.begin(), sessions_.end(), [](const auto& s) { return !s->freed; }));
  }
  int misuse = 0;

  OSStatus create(const AuthorizationRights*, const AuthorizationEnvironment*, AuthorizationFlags,
                  AuthorizationRef* authorization) override {
    *authorization = nullptr;
    if (createStatus != errAuthorizationSuccess) return createStatus;
    *authorization = sessions_.emplace_back(std::make_unique<Session>()).get();
    return errAuthorizationSuccess;
  }
  OSStatus copyRights(AuthorizationRef authorization, const AuthorizationRights* rights,
                      const AuthorizationEnvironment* environment,
                      AuthorizationFlags flags) override {
    copies.push_back({itemNames(rights), itemNames(environment), flags});
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
    OSStatus answer = errAuthorizationSuccess;
    if (!promptAnswers.empty()) {
      answer = promptAnswers.front();
      promptAnswers.pop_front();
    }
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
    note(log, "exec:" + joined(pathToTool, argv));
    runs.push_back({pathToTool, std::move(argv), {}});
    if (process != nullptr) *process = std::make_unique<Process>(*this, runs.size() - 1);
    return errAuthorizationSuccess;
  }
  OSStatus free(AuthorizationRef authorization, AuthorizationFlags flags) override {
    Session* session = liveSession(authorization);
    if (session == nullptr) return errAuthorizationInvalidRef;
    frees.push_back(flags);
    session->freed = true;
    return errAuthorizationSuccess;
  }

 private:
  struct Session : AuthorizationSession {
    bool granted = false;
    bool freed = false;
  };
  class Process : public PrivilegedProcess {
   public:
    Process(FakeAuthorization& owner, std::size_t run) : owner_(owner), run_(run) {}
    bool waitUntilExit(std::chrono::milliseconds bound) override {
      PrivilegedRun& run = owner_.runs[run_];
      run.waits.push_back(bound);
      if (owner_.toolsFinish) note(owner_.log, "exit:" + run.pathToTool);
      exited_ = exited_ || owner_.toolsFinish;
      return owner_.toolsFinish;
    }
    [[nodiscard]] int terminationStatus() const override {
      return exited_ ? owner_.toolStatus : -1;
    }

   private:
    FakeAuthorization& owner_;
    std::size_t run_;
    bool exited_ = false;
  };

  static std::vector<std::string> itemNames(const AuthorizationItemSet* set) {
    std::vector<std::string> names;
    for (std::uint32_t i = 0; set != nullptr && i < set->count; ++i) {
      names.emplace_back(set->items[i].name);
    }
    return names;
  }
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

class FakeFileManager : public FileManager {
 public:
  bool fileExistsAtPath(const std::string& path) override { return paths.contains(path); }
  std::set<std::string> paths;
};

class FakeProcessInfo : public ProcessInfo {
 public:
  [[nodiscard]] std::vector<std::string> arguments() const override { return argv; }
  [[nodiscard]] std::string currentDirectoryPath() const override { return currentDirectory; }
  [[nodiscard]] std::string executablePath() const override { return executable; }
  std::vector<std::string> argv{"/Applications/Pomrel.app/Contents/MacOS/Pomrel"};
  std::string currentDirectory = "/";
  std::string executable = "/Applications/Pomrel.app/Contents/MacOS/Pomrel";
};

// Logs pauses instead of taking them, then runs `onPause`.
class FakeClock : public Clock {
 public:
  void sleep(unsigned seconds) override { paused("sleep:" + std::to_string(seconds)); }
  void usleep(std::uint32_t micros) override { paused("usleep:" + std::to_string(micros)); }
  EventLog* log = nullptr;
  std::function<void()> onPause;

 private:
  void paused(std::string event) {
    note(log, std::move(event));
    if (onPause) onPause();
  }
};

// What is stored. Defaults objects read through to it and write their
// changes to it only on synchronize.
struct FakeDefaultsStore {
  PropertyDictionary applicationDomain;
  std::map<std::string, PropertyDictionary> domains;
  int synchronizations = 0;
};

class FakeUserDefaultsFactory : public UserDefaultsFactory {
 public:
  std::shared_ptr<UserDefaults> standardUserDefaults() override;
  std::shared_ptr<UserDefaults> makeUserDefaults() override;
  FakeDefaultsStore store;

 private:
  std::shared_ptr<UserDefaults> standard_;
};

class MockAuthorization : public Authorization {
 public:
  MOCK_METHOD(OSStatus, create,
              (const AuthorizationRights*, const AuthorizationEnvironment*, AuthorizationFlags,
               AuthorizationRef*),
              (override));
  MOCK_METHOD(OSStatus, copyRights,
              (AuthorizationRef, const AuthorizationRights*, const AuthorizationEnvironment*,
               AuthorizationFlags),
              (override));
  MOCK_METHOD(OSStatus, executeWithPrivileges,
              (AuthorizationRef, const char*, AuthorizationFlags, char* const*,
               std::unique_ptr<PrivilegedProcess>*),
              (override));
  MOCK_METHOD(OSStatus, free, (AuthorizationRef, AuthorizationFlags), (override));
};

// One fake of each facility, sharing `log`, and the Platform made of them.
struct FakePlatform {
  FakePlatform() {
    application.log = registry.log = processes.log = authorization.log = clock.log = &log;
    registry.runLoop = &runLoop;
  }
  FakePlatform(const FakePlatform&) = delete;
  FakePlatform& operator=(const FakePlatform&) = delete;

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
