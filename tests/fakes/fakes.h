// In-memory fakes of every platform interface, for tests of the core and of
// anything else written against platform/*.h.
//
// Every fake is stateful and deterministic: tests arrange its state through
// public members and helpers, and inspect what was asked of it afterwards.
// Fakes never fail a test by themselves; misuse of an interface's contract
// (releasing a handle twice, using a freed authorization, destroying a port
// whose source is still installed, ...) is counted in a `misuse` counter
// that tests should expect to be 0.
//
// The fakes that take an `EventLog*` append one line per call that matters
// for ordering across facilities, so a test can check, for example, that the
// watch was cleared before the disk tool ran. The line formats are:
//   application  "activate", "alert:<message>"
//   file manager "exists:<path>"
//   processes    "run:<path> <arg> <arg>..."
//   authorization "auth:create", "auth:copy:<flags>", "auth:prompt",
//                "auth:free:<flags>", "exec:<path> <arg>...", "wait:<path>",
//                "exit:<path>"
//   registry     "port:create", "port:destroy", "interest:add",
//                "interest:release", "deliver:<message type in hex>"
//   run loop     "source:add", "source:remove"
//   clock        "sleep:<seconds>", "usleep:<microseconds>"
//   window       "window:center", "window:show", "window:close"
//   defaults     "defaults:remove:<domain>", "defaults:set:<domain>",
//                "defaults:setBool:<key>=<0|1>", "defaults:synchronize"
//   status bar   "status:item"
// FakePlatform wires all its fakes to one shared log.
#pragma once

#include <gmock/gmock.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/window.h"

namespace pomrel::fakes {

// An ordered record of calls across fakes.
class EventLog {
 public:
  void add(std::string event) { events_.push_back(std::move(event)); }
  [[nodiscard]] const std::vector<std::string>& events() const { return events_; }
  // How many events start with `prefix`.
  [[nodiscard]] std::size_t count(std::string_view prefix) const;
  // The index of the first event starting with `prefix` at or after `from`,
  // or -1 when there is none.
  [[nodiscard]] std::ptrdiff_t indexOf(std::string_view prefix, std::size_t from = 0) const;
  void clear() { events_.clear(); }

 private:
  std::vector<std::string> events_;
};

// ---------------------------------------------------------------- Application

struct Alert {
  std::string title;
  std::string message;
};

class FakeApplication : public Application {
 public:
  explicit FakeApplication(EventLog* log = nullptr) : log_(log) {}
  void activateIgnoringOtherApps(bool ignoreOtherApps) override;
  // Records the alert, then runs `onAlert` (while the "panel" is up).
  void runAlertPanel(const std::string& title, const std::string& message) override;

  int activations = 0;
  std::vector<Alert> alerts;
  std::function<void(const Alert&)> onAlert;

 private:
  EventLog* log_;
};

// --------------------------------------------------------------------- Bundle

class FakeImage : public Image {
 public:
  explicit FakeImage(std::string name) : name_(std::move(name)) {}
  [[nodiscard]] std::string name() const override { return name_; }

 private:
  std::string name_;
};

class FakeBundle : public Bundle {
 public:
  // A FakeImage for names in `images`, null for others.
  std::shared_ptr<Image> imageNamed(const std::string& name) override;
  // The text in `strings`, or the key itself.
  std::string localizedStringForKey(const std::string& key) override;

  std::set<std::string> images;
  std::map<std::string, std::string> strings;
};

// ---------------------------------------------------------- Menus and windows

class FakeMenuItem : public MenuItem {
 public:
  FakeMenuItem(std::string action, bool targetsValidator)
      : action_(std::move(action)), targetsValidator_(targetsValidator) {}
  [[nodiscard]] std::string action() const override { return action_; }
  [[nodiscard]] bool isEnabled() const override { return enabled_; }
  void setEnabled(bool enabled) override { enabled_ = enabled; }
  [[nodiscard]] bool targetsValidator() const { return targetsValidator_; }

 private:
  std::string action_;
  bool targetsValidator_;
  bool enabled_ = true;
};

class FakeMenu : public Menu {
 public:
  // Appends an item; `targetsValidator` false for items such as Quit whose
  // target is not the validator. The reference stays valid with the menu.
  FakeMenuItem& addItem(std::string action, bool targetsValidator = true);
  // One opening of the menu: asks `validator` about each item it targets and
  // sets the item's enabled state from the answer.
  void open(MenuValidator& validator);
  [[nodiscard]] FakeMenuItem* itemWithAction(std::string_view action) const;

  std::vector<std::unique_ptr<FakeMenuItem>> items;
  int openings = 0;
};

class FakeButton : public Button {
 public:
  [[nodiscard]] int state() const override { return state_; }
  void setState(int state) override {
    state_ = state;
    ++setStateCalls;
  }
  int setStateCalls = 0;

 private:
  int state_ = NSControlStateValueOff;
};

class FakeWindow : public Window {
 public:
  explicit FakeWindow(EventLog* log = nullptr) : log_(log) {}
  void center() override;
  void makeKeyAndOrderFront(void* sender) override;
  void close() override;

  bool visible = false;
  int centerings = 0;
  int closings = 0;
  void* lastSender = nullptr;

 private:
  EventLog* log_;
};

// ----------------------------------------------------------------- Status bar

class FakeStatusItem : public StatusItem {
 public:
  explicit FakeStatusItem(double length) : length_(length) {}
  [[nodiscard]] double length() const override { return length_; }
  void setTitle(const std::string& text) override { title = text; }
  void setImage(std::shared_ptr<Image> picture) override { image = std::move(picture); }
  void setHighlightMode(bool highlight) override { highlightMode = highlight; }
  void setMenu(Menu* attached) override { menu = attached; }

  std::optional<std::string> title;  // nullopt until set
  std::shared_ptr<Image> image;
  bool highlightMode = false;
  Menu* menu = nullptr;

 private:
  double length_;
};

class FakeStatusBar : public StatusBar {
 public:
  explicit FakeStatusBar(EventLog* log = nullptr) : log_(log) {}
  std::shared_ptr<StatusItem> statusItemWithLength(double length) override;
  // Items made so far, in order; weak, so a dropped item reads as expired.
  std::vector<std::weak_ptr<FakeStatusItem>> items;
  // Items still held by someone.
  [[nodiscard]] std::size_t liveItems() const;

 private:
  EventLog* log_;
};

// ------------------------------------------------------------------- Run loop

class FakeRunLoop : public RunLoop {
 public:
  explicit FakeRunLoop(EventLog* log = nullptr) : log_(log) {}
  void addSource(RunLoopSource* source, RunLoopMode mode) override;
  void removeSource(RunLoopSource* source, RunLoopMode mode) override;

  [[nodiscard]] bool isInstalled(const RunLoopSource* source) const;
  [[nodiscard]] std::size_t installedCount() const { return installed_.size(); }
  // Runs the loop in its default mode until no installed source has work
  // (its descriptor is not readable), performing each ready source in turn;
  // stops after `maxRounds` rounds. Returns how many performs were made.
  int runUntilIdle(int maxRounds = 100);

 private:
  EventLog* log_;
  std::vector<RunLoopSource*> installed_;
};

// ------------------------------------------------------------ Device registry

// A registry of services in memory. Services are published and terminated by
// the test; the core finds them, reads their properties and watches them.
// Handles are distinct from entry IDs and never reused.
class FakeRegistry : public DeviceRegistry {
 public:
  explicit FakeRegistry(EventLog* log = nullptr);
  ~FakeRegistry() override;
  FakeRegistry(const FakeRegistry&) = delete;
  FakeRegistry& operator=(const FakeRegistry&) = delete;

  // --- The test's side ---
  // Publishes a service; returns its entry ID (1, 2, ... never reused). The
  // first match of a name is its live service with the lowest entry ID.
  std::uint64_t publish(std::string name, PropertyDictionary properties);
  // Terminates the service: it stops matching, its properties can no longer
  // be read, and each live registration on it is sent
  // kIOMessageServiceIsTerminated, delivered when its port's source performs.
  void terminate(std::uint64_t entryId);
  // Terminates every live service named `name`.
  void terminateAll(const std::string& name);
  // Sends `messageType` to each live registration on the service.
  void sendMessage(std::uint64_t entryId, natural_t messageType, void* argument = nullptr);
  [[nodiscard]] bool hasService(const std::string& name) const;
  // If set, destroying a port whose source is installed on it counts as
  // misuse.
  void setRunLoop(const FakeRunLoop* runLoop) { runLoop_ = runLoop; }

  // --- Failure injection ---
  bool failNameMatching = false;
  bool failProperties = false;
  bool failPortCreate = false;
  // What addInterestNotification answers for a live service.
  kern_return_t interestStatus = KERN_SUCCESS;

  // --- Inspection ---
  // Handles given out (services and registrations) not yet released.
  [[nodiscard]] std::size_t outstandingHandles() const { return handles_.size(); }
  // Registrations that would still be delivered: not released, port alive.
  [[nodiscard]] std::size_t liveRegistrations() const;
  // Ports created and not yet destroyed.
  [[nodiscard]] std::size_t livePorts() const;
  int lookups = 0;     // getMatchingService calls
  int deliveries = 0;  // callbacks made
  int misuse = 0;

  // --- DeviceRegistry ---
  std::optional<MatchingDictionary> serviceNameMatching(const char* name) override;
  io_service_t getMatchingService(MatchingDictionary matching) override;
  kern_return_t createProperties(io_service_t service, PropertyDictionary& properties) override;
  kern_return_t release(io_object_t object) override;
  IONotificationPortRef notificationPortCreate() override;
  RunLoopSource* notificationPortGetRunLoopSource(IONotificationPortRef port) override;
  void notificationPortDestroy(IONotificationPortRef port) override;
  kern_return_t addInterestNotification(IONotificationPortRef port, io_service_t service,
                                        const char* interestType,
                                        IOServiceInterestCallback callback, void* refcon,
                                        io_object_t* notification) override;

  class Port;

 private:
  struct Service {
    std::string name;
    PropertyDictionary properties;
    bool live = true;
  };
  struct Handle {
    bool isRegistration = false;
    std::uint64_t entryId = 0;
  };
  struct Registration {
    Port* port = nullptr;
    std::uint64_t entryId = 0;
    io_service_t serviceArgument = 0;
    IOServiceInterestCallback callback = nullptr;
    void* refcon = nullptr;
    bool released = false;
  };

  void queue(std::uint64_t entryId, natural_t messageType, void* argument);
  void deliver(Port* port);
  Port* livePort(IONotificationPortRef port);

  EventLog* log_;
  const FakeRunLoop* runLoop_ = nullptr;
  std::map<std::uint64_t, Service> services_;
  std::uint64_t nextEntryId_ = 1;
  std::map<io_object_t, Handle> handles_;
  io_object_t nextHandle_ = 0x1000;
  std::map<io_object_t, Registration> registrations_;
  // Destroyed ports stay allocated until the registry goes, so that a late
  // use is counted as misuse instead of touching freed memory.
  std::vector<std::unique_ptr<Port>> ports_;
};

// ------------------------------------------------------------------ Processes

struct ProcessRun {
  std::string launchPath;
  std::vector<std::string> arguments;
  std::chrono::milliseconds timeout{0};
};

class FakeProcessRunner : public ProcessRunner {
 public:
  explicit FakeProcessRunner(EventLog* log = nullptr) : log_(log) {}
  // Records the run and answers `onRun` (by default: exited 0, nothing on
  // standard error).
  ProcessResult run(const std::string& launchPath, const std::vector<std::string>& arguments,
                    std::chrono::milliseconds timeout) override;

  std::vector<ProcessRun> runs;
  std::function<ProcessResult(const ProcessRun&)> onRun;

  static ProcessResult exited(int status, std::string standardError = {});
  static ProcessResult notLaunched();
  static ProcessResult timedOut(std::string standardError = {});

 private:
  EventLog* log_;
};

// -------------------------------------------------------------- Authorization

struct PrivilegedRun {
  std::string pathToTool;
  std::vector<std::string> arguments;
  bool finished = false;
  // The bound of each waitUntilExit call, in order.
  std::vector<std::chrono::milliseconds> waits;
};

struct CopyRightsCall {
  std::vector<std::string> rightNames;
  std::vector<std::string> environmentNames;  // empty when no environment
  AuthorizationFlags flags = 0;
  OSStatus status = 0;
};

// Sessions and an administrator prompt. A session holds the rights granted
// to it; an interactive copy of a right it lacks shows the prompt, whose
// answers the test scripts.
class FakeAuthorization : public Authorization {
 public:
  explicit FakeAuthorization(EventLog* log = nullptr);
  ~FakeAuthorization() override;
  FakeAuthorization(const FakeAuthorization&) = delete;
  FakeAuthorization& operator=(const FakeAuthorization&) = delete;

  // --- Script ---
  // Answers of successive prompts; when empty, `defaultPromptAnswer`.
  // errAuthorizationSuccess grants the right.
  std::deque<OSStatus> promptAnswers;
  OSStatus defaultPromptAnswer = errAuthorizationSuccess;
  // Non-zero: create fails with it and stores null.
  OSStatus createStatus = errAuthorizationSuccess;
  // Non-zero: executeWithPrivileges fails with it and starts nothing.
  OSStatus executeStatus = errAuthorizationSuccess;
  // Whether a started tool has finished by the end of any waitUntilExit
  // bound; false models a tool that hangs.
  bool toolsFinish = true;
  // Run when a tool starts, and when it is seen to finish (at most once per
  // run, during the first successful waitUntilExit).
  std::function<void(const PrivilegedRun&)> onToolStart;
  std::function<void(const PrivilegedRun&)> onToolFinish;

  // --- Inspection ---
  int creations = 0;
  int prompts = 0;
  std::vector<CopyRightsCall> copies;
  std::vector<PrivilegedRun> runs;
  std::vector<AuthorizationFlags> frees;
  // Sessions created and not yet freed.
  [[nodiscard]] std::size_t liveSessions() const;
  int misuse = 0;

  // --- Authorization ---
  OSStatus create(const AuthorizationRights* rights, const AuthorizationEnvironment* environment,
                  AuthorizationFlags flags, AuthorizationRef* authorization) override;
  OSStatus copyRights(AuthorizationRef authorization, const AuthorizationRights* rights,
                      const AuthorizationEnvironment* environment,
                      AuthorizationFlags flags) override;
  // Handles must not outlive the fake.
  OSStatus executeWithPrivileges(AuthorizationRef authorization, const char* pathToTool,
                                 AuthorizationFlags options, char* const* arguments,
                                 std::unique_ptr<PrivilegedProcess>* process) override;
  OSStatus free(AuthorizationRef authorization, AuthorizationFlags flags) override;

  class Session;
  class Process;

 private:
  Session* liveSession(AuthorizationRef authorization);
  bool waitFor(std::size_t run, std::chrono::milliseconds bound);

  EventLog* log_;
  // Freed sessions stay allocated until the fake goes, so that a late use is
  // counted as misuse instead of touching freed memory.
  std::vector<std::unique_ptr<Session>> sessions_;
};

// ---------------------------------------------------- Files, process, clock

class FakeFileManager : public FileManager {
 public:
  explicit FakeFileManager(EventLog* log = nullptr) : log_(log) {}
  bool fileExistsAtPath(const std::string& path) override;
  std::set<std::string> paths;  // what exists

 private:
  EventLog* log_;
};

class FakeProcessInfo : public ProcessInfo {
 public:
  [[nodiscard]] std::vector<std::string> arguments() const override { return argv; }
  [[nodiscard]] std::string currentDirectoryPath() const override { return currentDirectory; }
  std::vector<std::string> argv{"/Applications/Pomrel.app/Contents/MacOS/Pomrel"};
  std::string currentDirectory = "/";
};

// Records pauses instead of taking them.
class FakeClock : public Clock {
 public:
  explicit FakeClock(EventLog* log = nullptr) : log_(log) {}
  void sleep(unsigned seconds) override;
  void usleep(std::uint32_t microseconds) override;
  std::uint64_t sleptMicroseconds = 0;
  // Run after each pause has "passed".
  std::function<void()> onPause;

 private:
  EventLog* log_;
};

// -------------------------------------------------------------- User defaults

// What is stored: the application's domain and the named persistent
// domains. Defaults objects read through to it and write to it only on
// synchronize.
struct FakeDefaultsStore {
  PropertyDictionary applicationDomain;
  std::map<std::string, PropertyDictionary> domains;
  // What synchronize answers.
  bool synchronizeSucceeds = true;
  int synchronizations = 0;
};

class FakeUserDefaults : public UserDefaults {
 public:
  FakeUserDefaults(FakeDefaultsStore& store, EventLog* log) : store_(store), log_(log) {}
  bool boolForKey(const std::string& key) override;
  void setBoolForKey(bool value, const std::string& key) override;
  std::optional<PropertyDictionary> persistentDomainForName(const std::string& name) override;
  void removePersistentDomainForName(const std::string& name) override;
  void setPersistentDomain(const PropertyDictionary& domain, const std::string& name) override;
  bool synchronize() override;

 private:
  FakeDefaultsStore& store_;
  EventLog* log_;
  std::map<std::string, PropertyValue> pendingValues_;
  // nullopt: removed.
  std::map<std::string, std::optional<PropertyDictionary>> pendingDomains_;
};

class FakeUserDefaultsFactory : public UserDefaultsFactory {
 public:
  explicit FakeUserDefaultsFactory(EventLog* log = nullptr) : log_(log) {}
  std::shared_ptr<UserDefaults> standardUserDefaults() override;
  std::shared_ptr<UserDefaults> makeUserDefaults() override;

  FakeDefaultsStore store;
  int objectsMade = 0;  // by makeUserDefaults

 private:
  EventLog* log_;
  std::shared_ptr<UserDefaults> standard_;
};

// ---------------------------------------------------------------- GMock mocks

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

class MockProcessRunner : public ProcessRunner {
 public:
  MOCK_METHOD(ProcessResult, run,
              (const std::string&, const std::vector<std::string>&, std::chrono::milliseconds),
              (override));
};

// ------------------------------------------------------------------- Platform

// One fake of each facility, sharing `log`, with the Platform that refers to
// them. The registry checks its ports against the run loop.
struct FakePlatform {
  FakePlatform();
  FakePlatform(const FakePlatform&) = delete;
  FakePlatform& operator=(const FakePlatform&) = delete;

  EventLog log;
  FakeApplication application{&log};
  FakeBundle bundle;
  FakeStatusBar statusBar{&log};
  FakeRegistry registry{&log};
  FakeRunLoop runLoop{&log};
  FakeProcessRunner processes{&log};
  FakeAuthorization authorization{&log};
  FakeFileManager fileManager{&log};
  FakeProcessInfo processInfo;
  FakeUserDefaultsFactory userDefaults{&log};
  FakeClock clock{&log};
  Platform platform{application,   bundle,      statusBar,   registry,     runLoop, processes,
                    authorization, fileManager, processInfo, userDefaults, clock};
};

}  // namespace pomrel::fakes
