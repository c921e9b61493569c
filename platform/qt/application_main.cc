#include "platform/qt/application_main.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QLibrary>
#include <QPixmapCache>
#include <QSocketNotifier>
#include <QTimer>
#include <QTranslator>
#include <QWidget>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/app_controller.h"
#include "loginitems/zan_login_items.h"
#include "media/sxs_driver.h"
#include "platform/backends.h"
#include "platform/posix/posix_system.h"
#include "platform/qt/interface_loader.h"
#include "platform/qt/qt_application.h"
#include "platform/qt/qt_bundle.h"
#include "platform/qt/qt_credentials_prompt.h"
#include "platform/qt/qt_run_loop.h"
#include "platform/qt/qt_status_bar.h"
#include "platform/qt/single_instance.h"
#include "platform/qt/status_area_alert.h"
#include "platform/sim/machine_paths.h"

namespace pomrel::qt {
namespace {

constexpr const char* kBundleIdentifierKey = "CFBundleIdentifier";
constexpr const char* kBundleNameKey = "CFBundleName";
// The base name of the main interface resource, "<name>.ui" in the
// resources folder.
constexpr const char* kMainInterfaceKey = "NSMainNibFile";

// The non-empty text under `key` of the bundle's Info.plist; null when it is
// missing or is no such text.
const std::string* infoText(const std::optional<PropertyDictionary>& info, const char* key) {
  if (!info) return nullptr;
  const auto found = info->find(key);
  if (found == info->end()) return nullptr;
  const std::string* text = found->second.string();
  return text != nullptr && !text->empty() ? text : nullptr;
}

// SIGINT and SIGTERM end the event loop like Quit, so that the controller
// is destroyed as usual; the handler only writes a byte that the loop reads.
int g_signalPipe[2] = {-1, -1};

void onTerminationSignal(int /*signal*/) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
}

std::unique_ptr<QSocketNotifier> quitOnTerminationSignals() {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) return nullptr;
  auto notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
  QObject::connect(notifier.get(), &QSocketNotifier::activated, qApp, [] {
    char byte = 0;
    [[maybe_unused]] const ssize_t ignored = ::read(g_signalPipe[0], &byte, 1);
    QCoreApplication::quit();
  });
  struct sigaction action = {};
  action.sa_handler = onTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  return notifier;
}

// The bundle's Contents folder, from the running program's own path
// (Contents/MacOS/Pomrel), without needing a QCoreApplication.
std::string bundleContents(const ProcessInfo& process) {
  const std::string program = process.executablePath();
  return program.empty() ? program
                         : std::filesystem::path(program).parent_path().parent_path().string();
}

// The exit status of a command line that Pomrel does not take (sysexits.h's
// EX_USAGE).
constexpr int kUsageError = 64;

// The backend module of the machine the settings name; null entries, and
// `error` saying why, when the bundle lacks it.
struct BackendModule {
  MakeBackendsFunction make = nullptr;
  DescribeBackendsFunction describe = nullptr;
  QString error;
};

BackendModule loadBackendModule(const BackendSettings& settings) {
  QLibrary library(QString::fromStdString(settings.bundleContents) +
                   (settings.machineRoot.empty() ? QStringLiteral("/PlugIns/pomrel-host.so")
                                                 : QStringLiteral("/PlugIns/pomrel-sim.so")));
  BackendModule module;
  // Never unloaded: the backends' code is in it.
  module.make = reinterpret_cast<MakeBackendsFunction>(library.resolve(kMakeBackendsEntry));
  module.describe =
      reinterpret_cast<DescribeBackendsFunction>(library.resolve(kDescribeBackendsEntry));
  if (module.make == nullptr) module.error = library.errorString();
  return module;
}

// Pomrel writes through C streams only (see QtStatusBar).
void print(std::FILE* out, const std::string& text) { std::fputs(text.c_str(), out); }

void printUsage(std::FILE* out, const std::string& program) {
  print(out, "Usage: " + program +
                 " [-h | --help | --version]\n\n"
                 "Pomrel puts an icon in the desktop's system tray. Its menu stops the SxS memory\n"
                 "card safely before it is pulled out (Stop SxS Memory Card) and starts it again\n"
                 "(Start SxS Memory Card).\n");
}

void printHelp(const std::string& program, const BackendSettings& settings) {
  printUsage(stdout, program);
  if (!settings.machineRoot.empty()) {
    print(stdout, "\nBackend: the simulated machine in " + settings.machineRoot +
                      " (POMREL_MACHINE is set).\n");
    return;
  }
  print(stdout,
        "\nBackend: this Linux system (POMREL_MACHINE is not set; set it to a simulated\n"
        "machine's folder to use that instead):\n");
  const BackendModule module = loadBackendModule(settings);
  std::string text;
  if (module.describe != nullptr) module.describe(settings, text);
  print(stdout, module.make != nullptr ? text : "  " + module.error.toStdString() + "\n");
}

// Answers --help and --version, and refuses what Pomrel does not take, before
// anything needs a display; nullopt when Pomrel is to start.
std::optional<int> answerCommandLine(int argc, char** argv, const BackendSettings& settings) {
  const std::string program =
      argc > 0 ? std::filesystem::path(argv[0]).filename().string() : "pomrel";
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  QCommandLineParser parser;
  const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, {});
  const QCommandLineOption version(QStringLiteral("version"), {});
  parser.addOptions({help, version});
  if (!parser.parse(arguments) || !parser.positionalArguments().isEmpty()) {
    const std::string why =
        parser.errorText().isEmpty()
            ? "unexpected argument '" + parser.positionalArguments().first().toStdString() + "'."
            : parser.errorText().toStdString();
    print(stderr, program + ": " + why + "\n");
    printUsage(stderr, program);
    return kUsageError;
  }
  if (parser.isSet(help)) {
    printHelp(program, settings);
    return 0;
  }
  if (parser.isSet(version)) {
    print(stdout, "Pomrel " POMREL_VERSION "\n");
    return 0;
  }
  return std::nullopt;
}

// What another start of Pomrel shows: the preferences window, its checkbox
// showing the setting; while an alert or the administrator prompt waits for
// an answer, that window, as nothing else can be used until then.
void showRunningPomrel(AppController& controller) {
  if (QWidget* modal = QApplication::activeModalWidget()) {
    modal->raise();
    modal->activateWindow();
    return;
  }
  controller.w0_OrderFront(nullptr);
}

// Runs the event loop until the application quits, delivering
// applicationDidFinishLaunching once it runs and applicationWillTerminate as
// it ends. Another start's requests to show Pomrel are answered from launch
// on, once the setting is loaded.
int runEventLoop(QApplication& application, AppController& controller, SingleInstance& instance) {
  const std::unique_ptr<QSocketNotifier> signalWatch = quitOnTerminationSignals();
  QObject::connect(&application, &QCoreApplication::aboutToQuit,
                   [&controller] { controller.applicationWillTerminate(nullptr); });
  // Delivered once the event loop runs, as the platform does.
  QTimer launched;
  launched.setSingleShot(true);
  QObject::connect(&launched, &QTimer::timeout, [&controller, &instance] {
    controller.applicationDidFinishLaunching(nullptr);
    instance.setShowHandler([&controller] { showRunningPomrel(controller); });
  });
  launched.start(0);
  return QApplication::exec();
}

}  // namespace

int NSApplicationMain(int argc, char** argv) {
  const std::optional<sim::MachinePaths> paths = sim::MachinePaths::fromEnvironment();
  posix::PosixProcessInfo processInfo(argc, argv);
  BackendSettings settings{bundleContents(processInfo), "", kSxSPluginPath,
                           ZanLoginItems::applicationPathOf(processInfo),
                           paths ? paths->root() : std::string()};
  if (const std::optional<int> answered = answerCommandLine(argc, argv, settings)) {
    return *answered;
  }

  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  // No pixmap cache: Qt ages its entries on a 30 s timer, so each painting of
  // the status icon, the menu or a window would wake the idle process once
  // more, 30 s later. What Pomrel draws is small and seldom redrawn.
  QPixmapCache::setCacheLimit(0);

  QtBundle bundle(QtBundle::mainResourcesPath(), QtBundle::userLanguages());
  const std::optional<PropertyDictionary>& info = bundle.infoDictionary();
  const std::string* identifier = infoText(info, kBundleIdentifierKey);
  const std::string* mainInterface = infoText(info, kMainInterfaceKey);
  if (identifier == nullptr || mainInterface == nullptr) {
    print(stderr, "Pomrel: the application bundle is incomplete: " +
                      (bundle.resourcesPath() + QStringLiteral("/../Info.plist")).toStdString() +
                      " gives no " +
                      (identifier == nullptr ? kBundleIdentifierKey : kMainInterfaceKey) + ".\n");
    return 1;
  }
  // The bundle's name, not the name the launcher was typed as (the icon's
  // tooltip shows it), and Qt's own texts in the language of the bundle's.
  if (const std::string* name = infoText(info, kBundleNameKey)) {
    QCoreApplication::setApplicationName(QString::fromStdString(*name));
  }
  QTranslator qtTexts;
  if (bundle.loadQtTranslations(qtTexts)) QCoreApplication::installTranslator(&qtTexts);
  // One Pomrel per machine (the simulated one, or this session's): two would
  // answer each pull twice.
  SingleInstance instance(QString::fromStdString(*identifier),
                          paths ? QString::fromStdString(paths->root()) : QString());
  if (instance.anotherIsRunning()) {
    // Started again, most often by a person who does not see its icon: the
    // running one shows itself.
    instance.askRunningToShow();
    print(stderr, "Pomrel is already running" +
                      (paths ? " for the machine at " + paths->root() : std::string()) + ".\n");
    return 0;
  }

  // The platform, from the bottom up; destroyed in reverse order, after the
  // controller.
  posix::PosixClock clock;
  QtRunLoop runLoop;
  QtApplication app(&runLoop);
  StatusAreaAlert noStatusArea(bundle);
  QtStatusBar statusBar(stderr, &noStatusArea);
  QtCredentialsPrompt prompt(bundle, &runLoop);
  settings.applicationDomain = *identifier;
  settings.prompt = &prompt;
  settings.runLoop = &runLoop;
  const BackendModule module = loadBackendModule(settings);
  if (module.make == nullptr) {
    print(stderr,
          "Pomrel: the application bundle is incomplete: " + module.error.toStdString() + "\n");
    return 1;
  }
  Backends backends;
  module.make(settings, backends);
  Platform platform{app,
                    bundle,
                    statusBar,
                    *backends.registry,
                    runLoop,
                    *backends.processes,
                    *backends.authorization,
                    *backends.fileManager,
                    processInfo,
                    *backends.userDefaults,
                    clock};

  InterfaceLoader interface(bundle, &runLoop);
  auto controller = std::make_unique<AppController>(platform);
  const QString resource = bundle.resourcesPath() + QLatin1Char('/') +
                           QString::fromStdString(*mainInterface) + QStringLiteral(".ui");
  if (!interface.load(resource, *controller)) {
    print(stderr, "Pomrel: " + interface.errorString().toStdString() + "\n");
    return 1;
  }

  const int status = runEventLoop(application, *controller, instance);
  controller.reset();
  return status;
}

}  // namespace pomrel::qt
