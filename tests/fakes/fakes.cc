#include "tests/fakes/fakes.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

namespace pomrel::fakes {

namespace {

void logTo(EventLog* log, std::string event) {
  if (log != nullptr) log->add(std::move(event));
}

std::string joined(const std::string& head, const std::vector<std::string>& tail) {
  std::string text = head;
  for (const std::string& part : tail) text += " " + part;
  return text;
}

std::string hex(std::uint32_t value) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text(8, '0');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = kDigits[(value >> (28 - 4 * i)) & 0xF];
  return text;
}

std::vector<std::string> itemNames(const AuthorizationItemSet* set) {
  std::vector<std::string> names;
  if (set == nullptr) return names;
  for (std::uint32_t i = 0; i < set->count; ++i) names.emplace_back(set->items[i].name);
  return names;
}

}  // namespace

// ------------------------------------------------------------------- EventLog

std::size_t EventLog::count(std::string_view prefix) const {
  return static_cast<std::size_t>(std::count_if(
      events_.begin(), events_.end(), [&](const std::string& e) { return e.starts_with(prefix); }));
}

std::ptrdiff_t EventLog::indexOf(std::string_view prefix, std::size_t from) const {
  for (std::size_t i = from; i < events_.size(); ++i) {
    if (events_[i].starts_with(prefix)) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

// ---------------------------------------------------- Application and bundle

void FakeApplication::activateIgnoringOtherApps(bool /*ignoreOtherApps*/) {
  ++activations;
  logTo(log_, "activate");
}

void FakeApplication::runAlertPanel(const std::string& title, const std::string& message) {
  alerts.push_back({title, message});
  logTo(log_, "alert:" + message);
  if (onAlert) onAlert(alerts.back());
}

std::shared_ptr<Image> FakeBundle::imageNamed(const std::string& name) {
  if (images.count(name) == 0) return nullptr;
  return std::make_shared<FakeImage>(name);
}

std::string FakeBundle::localizedStringForKey(const std::string& key) {
  const auto found = strings.find(key);
  return found == strings.end() ? key : found->second;
}

// ---------------------------------------------------------- Menus and windows

FakeMenuItem& FakeMenu::addItem(std::string action, bool targetsValidator) {
  items.push_back(std::make_unique<FakeMenuItem>(std::move(action), targetsValidator));
  return *items.back();
}

void FakeMenu::open(MenuValidator& validator) {
  ++openings;
  for (const auto& item : items) {
    if (item->targetsValidator()) item->setEnabled(validator.validateMenuItem(*item));
  }
}

FakeMenuItem* FakeMenu::itemWithAction(std::string_view action) const {
  for (const auto& item : items) {
    if (item->action() == action) return item.get();
  }
  return nullptr;
}

void FakeWindow::center() {
  ++centerings;
  logTo(log_, "window:center");
}

void FakeWindow::makeKeyAndOrderFront(void* sender) {
  visible = true;
  lastSender = sender;
  logTo(log_, "window:show");
}

void FakeWindow::close() {
  visible = false;
  ++closings;
  logTo(log_, "window:close");
}

std::shared_ptr<StatusItem> FakeStatusBar::statusItemWithLength(double length) {
  auto item = std::make_shared<FakeStatusItem>(length);
  items.push_back(item);
  logTo(log_, "status:item");
  return item;
}

std::size_t FakeStatusBar::liveItems() const {
  return static_cast<std::size_t>(
      std::count_if(items.begin(), items.end(), [](const auto& item) { return !item.expired(); }));
}

// ------------------------------------------------------------------- Run loop

void FakeRunLoop::addSource(RunLoopSource* source, RunLoopMode /*mode*/) {
  logTo(log_, "source:add");
  if (!isInstalled(source)) installed_.push_back(source);
}

void FakeRunLoop::removeSource(RunLoopSource* source, RunLoopMode /*mode*/) {
  logTo(log_, "source:remove");
  installed_.erase(std::remove(installed_.begin(), installed_.end(), source), installed_.end());
}

bool FakeRunLoop::isInstalled(const RunLoopSource* source) const {
  return std::find(installed_.begin(), installed_.end(), source) != installed_.end();
}

int FakeRunLoop::runUntilIdle(int maxRounds) {
  int performs = 0;
  for (int round = 0; round < maxRounds; ++round) {
    bool performed = false;
    const std::vector<RunLoopSource*> snapshot = installed_;
    for (RunLoopSource* source : snapshot) {
      // A source removed by an earlier perform of this round is not touched.
      if (!isInstalled(source)) continue;
      pollfd ready{source->descriptor(), POLLIN, 0};
      if (::poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN) != 0) {
        source->perform();
        ++performs;
        performed = true;
      }
    }
    if (!performed) break;
  }
  return performs;
}

// ------------------------------------------------------------ Device registry

class FakeRegistry::Port : public NotificationPort {
 public:
  struct Pending {
    io_object_t registration;
    natural_t messageType;
    void* argument;
  };

  // Readable exactly while the port has pending messages.
  class Source : public RunLoopSource {
   public:
    Source(FakeRegistry& registry, Port& port)
        : registry_(registry), port_(port), fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~Source() override { ::close(fd_); }
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;
    [[nodiscard]] int descriptor() const override { return fd_; }
    void perform() override { registry_.deliver(&port_); }

    void signal() const {
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
    }
    void drain() const {
      std::uint64_t value = 0;
      [[maybe_unused]] const ssize_t n = ::read(fd_, &value, sizeof value);
    }

   private:
    FakeRegistry& registry_;
    Port& port_;
    int fd_;
  };

  explicit Port(FakeRegistry& registry) : source(registry, *this) {}

  void post(const Pending& message) {
    pending.push_back(message);
    source.signal();
  }
  void clear() {
    pending.clear();
    source.drain();
  }

  std::deque<Pending> pending;
  bool destroyed = false;
  Source source;
};

FakeRegistry::FakeRegistry(EventLog* log) : log_(log) {}
FakeRegistry::~FakeRegistry() = default;

std::uint64_t FakeRegistry::publish(std::string name, PropertyDictionary properties) {
  const std::uint64_t id = nextEntryId_++;
  services_[id] = Service{std::move(name), std::move(properties), true};
  return id;
}

void FakeRegistry::terminate(std::uint64_t entryId) {
  const auto service = services_.find(entryId);
  if (service == services_.end() || !service->second.live) return;
  service->second.live = false;
  queue(entryId, kIOMessageServiceIsTerminated, nullptr);
}

void FakeRegistry::terminateAll(const std::string& name) {
  for (auto& [id, service] : services_) {
    if (service.live && service.name == name) terminate(id);
  }
}

void FakeRegistry::sendMessage(std::uint64_t entryId, natural_t messageType, void* argument) {
  const auto service = services_.find(entryId);
  if (service != services_.end() && service->second.live) queue(entryId, messageType, argument);
}

bool FakeRegistry::hasService(const std::string& name) const {
  return std::any_of(services_.begin(), services_.end(), [&](const auto& entry) {
    return entry.second.live && entry.second.name == name;
  });
}

std::size_t FakeRegistry::liveRegistrations() const {
  return static_cast<std::size_t>(std::count_if(
      registrations_.begin(), registrations_.end(),
      [](const auto& entry) { return !entry.second.released && !entry.second.port->destroyed; }));
}

std::size_t FakeRegistry::livePorts() const {
  return static_cast<std::size_t>(std::count_if(ports_.begin(), ports_.end(),
                                                [](const auto& port) { return !port->destroyed; }));
}

std::optional<MatchingDictionary> FakeRegistry::serviceNameMatching(const char* name) {
  if (failNameMatching) return std::nullopt;
  return MatchingDictionary{name};
}

io_service_t FakeRegistry::getMatchingService(MatchingDictionary matching) {
  ++lookups;
  for (const auto& [id, service] : services_) {
    if (service.live && service.name == matching.name) {
      const io_object_t handle = nextHandle_++;
      handles_[handle] = Handle{false, id};
      return handle;
    }
  }
  return 0;
}

kern_return_t FakeRegistry::createProperties(io_service_t service, PropertyDictionary& properties) {
  const auto handle = handles_.find(service);
  if (handle == handles_.end() || handle->second.isRegistration) {
    ++misuse;
    return kIOReturnError;
  }
  const Service& entry = services_.at(handle->second.entryId);
  if (failProperties || !entry.live) return kIOReturnError;
  properties = entry.properties;
  return KERN_SUCCESS;
}

kern_return_t FakeRegistry::release(io_object_t object) {
  const auto handle = handles_.find(object);
  if (handle == handles_.end()) {
    ++misuse;
    return kIOReturnError;
  }
  if (handle->second.isRegistration) {
    registrations_.at(object).released = true;
    logTo(log_, "interest:release");
  }
  handles_.erase(handle);
  return KERN_SUCCESS;
}

IONotificationPortRef FakeRegistry::notificationPortCreate() {
  if (failPortCreate) return nullptr;
  ports_.push_back(std::make_unique<Port>(*this));
  logTo(log_, "port:create");
  return ports_.back().get();
}

FakeRegistry::Port* FakeRegistry::livePort(IONotificationPortRef port) {
  for (const auto& candidate : ports_) {
    if (candidate.get() == port && !candidate->destroyed) return candidate.get();
  }
  return nullptr;
}

RunLoopSource* FakeRegistry::notificationPortGetRunLoopSource(IONotificationPortRef port) {
  if (Port* live = livePort(port)) return &live->source;
  ++misuse;
  return nullptr;
}

void FakeRegistry::notificationPortDestroy(IONotificationPortRef port) {
  Port* live = livePort(port);
  if (live == nullptr) {
    ++misuse;
    return;
  }
  if (runLoop_ != nullptr && runLoop_->isInstalled(&live->source)) ++misuse;
  live->destroyed = true;
  live->clear();
  logTo(log_, "port:destroy");
}

kern_return_t FakeRegistry::addInterestNotification(IONotificationPortRef port,
                                                    io_service_t service, const char* interestType,
                                                    IOServiceInterestCallback callback,
                                                    void* refcon, io_object_t* notification) {
  Port* live = livePort(port);
  const auto handle = handles_.find(service);
  if (live == nullptr || handle == handles_.end() || handle->second.isRegistration ||
      callback == nullptr || notification == nullptr) {
    ++misuse;
    return kIOReturnError;
  }
  logTo(log_, "interest:add");
  const std::uint64_t entryId = handle->second.entryId;
  if (std::string_view(interestType) != kIOGeneralInterest || !services_.at(entryId).live) {
    return kIOReturnError;
  }
  if (interestStatus != KERN_SUCCESS) return interestStatus;
  const io_object_t registration = nextHandle_++;
  handles_[registration] = Handle{true, entryId};
  registrations_[registration] = Registration{live, entryId, service, callback, refcon, false};
  *notification = registration;
  return KERN_SUCCESS;
}

void FakeRegistry::queue(std::uint64_t entryId, natural_t messageType, void* argument) {
  for (const auto& [handle, registration] : registrations_) {
    if (registration.entryId == entryId && !registration.released &&
        !registration.port->destroyed) {
      registration.port->post({handle, messageType, argument});
    }
  }
}

void FakeRegistry::deliver(Port* port) {
  // The callback may release registrations, destroy this port or queue new
  // messages: everything is looked up afresh for each message.
  while (!port->destroyed && !port->pending.empty()) {
    const Port::Pending message = port->pending.front();
    port->pending.pop_front();
    const auto found = registrations_.find(message.registration);
    if (found == registrations_.end() || found->second.released) continue;
    const Registration registration = found->second;
    ++deliveries;
    logTo(log_, "deliver:" + hex(message.messageType));
    registration.callback(registration.refcon, registration.serviceArgument, message.messageType,
                          message.argument);
  }
  if (port->pending.empty()) port->source.drain();
}

// ------------------------------------------------------------------ Processes

ProcessResult FakeProcessRunner::run(const std::string& launchPath,
                                     const std::vector<std::string>& arguments,
                                     std::chrono::milliseconds timeout) {
  runs.push_back({launchPath, arguments, timeout});
  logTo(log_, "run:" + joined(launchPath, arguments));
  return onRun ? onRun(runs.back()) : exited(0);
}

ProcessResult FakeProcessRunner::exited(int status, std::string standardError) {
  return ProcessResult{true, false, status, std::move(standardError)};
}

ProcessResult FakeProcessRunner::notLaunched() { return ProcessResult{false, false, -1, {}}; }

ProcessResult FakeProcessRunner::timedOut(std::string standardError) {
  return ProcessResult{true, true, -1, std::move(standardError)};
}

// -------------------------------------------------------------- Authorization

class FakeAuthorization::Session : public AuthorizationSession {
 public:
  std::set<std::string> rights;
  bool freed = false;
};

class FakeAuthorization::Process : public PrivilegedProcess {
 public:
  Process(FakeAuthorization& owner, std::size_t run) : owner_(owner), run_(run) {}
  bool waitUntilExit(std::chrono::milliseconds bound) override {
    return owner_.waitFor(run_, bound);
  }

 private:
  FakeAuthorization& owner_;
  std::size_t run_;
};

FakeAuthorization::FakeAuthorization(EventLog* log) : log_(log) {}
FakeAuthorization::~FakeAuthorization() = default;

std::size_t FakeAuthorization::liveSessions() const {
  return static_cast<std::size_t>(std::count_if(
      sessions_.begin(), sessions_.end(), [](const auto& session) { return !session->freed; }));
}

FakeAuthorization::Session* FakeAuthorization::liveSession(AuthorizationRef authorization) {
  for (const auto& session : sessions_) {
    if (session.get() == authorization && !session->freed) return session.get();
  }
  return nullptr;
}

OSStatus FakeAuthorization::create(const AuthorizationRights* rights,
                                   const AuthorizationEnvironment* environment,
                                   AuthorizationFlags flags, AuthorizationRef* authorization) {
  ++creations;
  logTo(log_, "auth:create");
  if (authorization == nullptr) {
    ++misuse;
    return errAuthorizationInvalidRef;
  }
  if (createStatus != errAuthorizationSuccess) {
    *authorization = nullptr;
    return createStatus;
  }
  sessions_.push_back(std::make_unique<Session>());
  Session* session = sessions_.back().get();
  if (rights != nullptr && rights->count > 0) {
    const OSStatus status = copyRights(session, rights, environment, flags);
    if (status != errAuthorizationSuccess) {
      session->freed = true;
      *authorization = nullptr;
      return status;
    }
  }
  *authorization = session;
  return errAuthorizationSuccess;
}

OSStatus FakeAuthorization::copyRights(AuthorizationRef authorization,
                                       const AuthorizationRights* rights,
                                       const AuthorizationEnvironment* environment,
                                       AuthorizationFlags flags) {
  logTo(log_, "auth:copy:" + std::to_string(flags));
  CopyRightsCall call{itemNames(rights), itemNames(environment), flags, errAuthorizationSuccess};
  Session* session = liveSession(authorization);
  if (session == nullptr) {
    ++misuse;
    call.status = errAuthorizationInvalidRef;
  } else {
    const bool missing =
        std::any_of(call.rightNames.begin(), call.rightNames.end(),
                    [&](const std::string& r) { return !session->rights.count(r); });
    const bool mayExtend = (flags & kAuthorizationFlagExtendRights) != 0;
    const bool mayAsk = (flags & kAuthorizationFlagInteractionAllowed) != 0;
    if (!missing) {
      call.status = errAuthorizationSuccess;
    } else if (mayExtend && mayAsk) {
      ++prompts;
      logTo(log_, "auth:prompt");
      call.status = defaultPromptAnswer;
      if (!promptAnswers.empty()) {
        call.status = promptAnswers.front();
        promptAnswers.pop_front();
      }
      if (call.status == errAuthorizationSuccess) {
        session->rights.insert(call.rightNames.begin(), call.rightNames.end());
      }
    } else {
      call.status = mayExtend ? errAuthorizationInteractionNotAllowed : errAuthorizationDenied;
    }
  }
  copies.push_back(call);
  return call.status;
}

OSStatus FakeAuthorization::executeWithPrivileges(AuthorizationRef authorization,
                                                  const char* pathToTool,
                                                  AuthorizationFlags /*options*/,
                                                  char* const* arguments,
                                                  std::unique_ptr<PrivilegedProcess>* process) {
  std::vector<std::string> argv;
  for (char* const* arg = arguments; arg != nullptr && *arg != nullptr; ++arg) {
    argv.emplace_back(*arg);
  }
  logTo(log_, "exec:" + joined(pathToTool != nullptr ? pathToTool : "", argv));
  Session* session = liveSession(authorization);
  if (session == nullptr || pathToTool == nullptr) {
    ++misuse;
    return errAuthorizationInvalidRef;
  }
  if (session->rights.count(kAuthorizationRightExecute) == 0) return errAuthorizationDenied;
  if (executeStatus != errAuthorizationSuccess) return executeStatus;
  runs.push_back({pathToTool, std::move(argv), false, {}});
  const std::size_t index = runs.size() - 1;
  if (onToolStart) onToolStart(PrivilegedRun(runs[index]));
  if (process != nullptr) *process = std::make_unique<Process>(*this, index);
  return errAuthorizationSuccess;
}

bool FakeAuthorization::waitFor(std::size_t run, std::chrono::milliseconds bound) {
  runs[run].waits.push_back(bound);
  logTo(log_, "wait:" + runs[run].pathToTool);
  if (runs[run].finished) return true;
  if (!toolsFinish) return false;
  runs[run].finished = true;
  logTo(log_, "exit:" + runs[run].pathToTool);
  if (onToolFinish) onToolFinish(PrivilegedRun(runs[run]));
  return true;
}

OSStatus FakeAuthorization::free(AuthorizationRef authorization, AuthorizationFlags flags) {
  logTo(log_, "auth:free:" + std::to_string(flags));
  Session* session = liveSession(authorization);
  if (session == nullptr) {
    ++misuse;
    return errAuthorizationInvalidRef;
  }
  frees.push_back(flags);
  session->freed = true;
  if ((flags & kAuthorizationFlagDestroyRights) != 0) session->rights.clear();
  return errAuthorizationSuccess;
}

// ---------------------------------------------------- Files, process, clock

bool FakeFileManager::fileExistsAtPath(const std::string& path) {
  logTo(log_, "exists:" + path);
  return paths.count(path) != 0;
}

void FakeClock::sleep(unsigned seconds) {
  sleptMicroseconds += std::uint64_t{seconds} * 1000000;
  logTo(log_, "sleep:" + std::to_string(seconds));
  if (onPause) onPause();
}

void FakeClock::usleep(std::uint32_t microseconds) {
  sleptMicroseconds += microseconds;
  logTo(log_, "usleep:" + std::to_string(microseconds));
  if (onPause) onPause();
}

// -------------------------------------------------------------- User defaults

bool FakeUserDefaults::boolForKey(const std::string& key) {
  const PropertyValue* value = nullptr;
  if (const auto pending = pendingValues_.find(key); pending != pendingValues_.end()) {
    value = &pending->second;
  } else if (const auto stored = store_.applicationDomain.find(key);
             stored != store_.applicationDomain.end()) {
    value = &stored->second;
  }
  if (value == nullptr) return false;
  if (const bool* b = value->boolean()) return *b;
  if (const PropertyInteger* i = value->integer()) return i->bits != 0;
  if (const double* r = value->real()) return *r != 0.0;
  return false;
}

void FakeUserDefaults::setBoolForKey(bool value, const std::string& key) {
  pendingValues_[key] = value;
  logTo(log_, "defaults:setBool:" + key + "=" + (value ? "1" : "0"));
}

std::optional<PropertyDictionary> FakeUserDefaults::persistentDomainForName(
    const std::string& name) {
  if (const auto pending = pendingDomains_.find(name); pending != pendingDomains_.end()) {
    return pending->second;
  }
  const auto stored = store_.domains.find(name);
  if (stored == store_.domains.end()) return std::nullopt;
  return stored->second;
}

void FakeUserDefaults::removePersistentDomainForName(const std::string& name) {
  pendingDomains_[name] = std::nullopt;
  logTo(log_, "defaults:remove:" + name);
}

void FakeUserDefaults::setPersistentDomain(const PropertyDictionary& domain,
                                           const std::string& name) {
  pendingDomains_[name] = domain;
  logTo(log_, "defaults:set:" + name);
}

bool FakeUserDefaults::synchronize() {
  logTo(log_, "defaults:synchronize");
  ++store_.synchronizations;
  for (auto& [key, value] : pendingValues_) store_.applicationDomain[key] = value;
  for (auto& [name, domain] : pendingDomains_) {
    if (domain) {
      store_.domains[name] = *domain;
    } else {
      store_.domains.erase(name);
    }
  }
  pendingValues_.clear();
  pendingDomains_.clear();
  return store_.synchronizeSucceeds;
}

std::shared_ptr<UserDefaults> FakeUserDefaultsFactory::standardUserDefaults() {
  if (standard_ == nullptr) standard_ = std::make_shared<FakeUserDefaults>(store, log_);
  return standard_;
}

std::shared_ptr<UserDefaults> FakeUserDefaultsFactory::makeUserDefaults() {
  ++objectsMade;
  return std::make_shared<FakeUserDefaults>(store, log_);
}

// ------------------------------------------------------------------- Platform

FakePlatform::FakePlatform() { registry.setRunLoop(&runLoop); }

}  // namespace pomrel::fakes
