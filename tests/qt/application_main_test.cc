// The Pomrel program as built, headless (no tray): its command line is
// answered without a display; it runs once per machine, and otherwise, with either
// backend, until it is told to quit.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <filesystem>

#include "platform/qt/qt_bundle.h"
#include "platform/qt/single_instance.h"
#include "tests/qt/qt_test_support.h"

namespace pomrel::qt::testing {
namespace {

// A copy of the built bundle in `folder` whose main interface resource is
// "Other.ui", as its Info.plist says; returns the program's path.
QString bundleWithOtherInterface(const QString& folder) {
  const QString contents = folder + "/Pomrel.app/Contents";
  std::filesystem::copy((kBundleResources + "/../..").toStdString(),
                        folder.toStdString() + "/Pomrel.app",
                        std::filesystem::copy_options::recursive);
  QFile::rename(contents + "/Resources/MainMenu.ui", contents + "/Resources/Other.ui");
  QFile info(kBundleResources + "/../Info.plist");
  QFile copy(contents + "/Info.plist");
  if (info.open(QIODevice::ReadOnly) && copy.open(QIODevice::WriteOnly)) {
    copy.write(info.readAll().replace("<string>MainMenu</string>", "<string>Other</string>"));
  }
  return contents + "/MacOS/Pomrel";
}

TEST(PomrelProgramTest, NamesItsBackendRunsOncePerMachineAndOtherwiseUntilTerminated) {
  QTemporaryDir machine;
  QTemporaryDir runtime;
  QTemporaryDir bundle;
  ASSERT_TRUE(machine.isValid() && runtime.isValid() && bundle.isValid());
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.remove("POMREL_MACHINE");
  QProcess program;
  // The command line is answered without a display, under the name typed.
  const QString typed = bundle.path() + "/pomrel";
  ASSERT_TRUE(QFile::link(QStringLiteral(POMREL_TEST_PROGRAM), typed));
  const QByteArray usage = "Usage: pomrel [-h | --help | --version]";
  const std::tuple<QString, QString, int, QByteArray> rows[] = {
      {"--help", {}, 0, usage + "\n\nPomrel puts an icon"},
      {"--help", {}, 0, "Backend: this Linux system"},
      {"-h", machine.path(), 0, "Backend: the simulated machine in " + machine.path().toUtf8()},
      {"--version", {}, 0, "Pomrel " POMREL_TEST_VERSION "\n"},
      {"--bogus", {}, 64, "pomrel: Unknown option 'bogus'.\n" + usage},
      {"extra", machine.path(), 64, "pomrel: unexpected argument 'extra'.\n" + usage}};
  for (const auto& [argument, machinePath, exitCode, says] : rows) {
    QProcessEnvironment bare = environment;
    bare.remove("QT_QPA_PLATFORM");
    bare.remove("DISPLAY");
    if (!machinePath.isEmpty()) bare.insert("POMREL_MACHINE", machinePath);
    program.setProcessEnvironment(bare);
    program.start(typed, {argument});
    ASSERT_TRUE(program.waitForFinished(60000));
    EXPECT_EQ(program.exitCode(), exitCode) << argument.toStdString();
    EXPECT_TRUE((exitCode == 0 ? program.readAllStandardOutput() : program.readAllStandardError())
                    .contains(says))
        << says.toStdString();
  }

  environment.insert("POMREL_MACHINE", machine.path());
  // No session bus: the one instance is kept by a lock in the runtime folder.
  environment.insert("XDG_RUNTIME_DIR", runtime.path());
  environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + runtime.path() + "/no-bus");
  program.setProcessEnvironment(environment);
  QProcess first;
  first.setProcessEnvironment(environment);
  QByteArray said;
  const auto startsRunning = [&](QProcess& process, const QString& path) {
    said.clear();
    process.start(path, {});
    return QTest::qWaitFor(
        [&] { return (said += process.readAllStandardError()).contains("no system tray"); }, 60000);
  };
  // The first is started from a bundle whose Info.plist names another
  // interface resource.
  ASSERT_TRUE(startsRunning(first, bundleWithOtherInterface(bundle.path()))) << said.toStdString();

  program.start(QStringLiteral(POMREL_TEST_PROGRAM), {});
  ASSERT_TRUE(program.waitForFinished(60000)) << "a second start kept running";
  EXPECT_EQ(program.exitCode(), 0);
  EXPECT_TRUE(program.readAllStandardError().contains("already running"));
  first.kill();  // its lock must not outlive it
  ASSERT_TRUE(first.waitForFinished(60000));

  for (const char* backend : {"simulated", "host"}) {
    SCOPED_TRACE(backend);
    if (backend == std::string_view("host")) environment.remove("POMREL_MACHINE");
    program.setProcessEnvironment(environment);
    ASSERT_TRUE(startsRunning(program, QStringLiteral(POMREL_TEST_PROGRAM))) << said.toStdString();
    program.terminate();
    ASSERT_TRUE(program.waitForFinished(60000));
    said += program.readAllStandardError();
    EXPECT_TRUE(program.exitStatus() == QProcess::NormalExit && program.exitCode() == 0)
        << said.toStdString();
    EXPECT_EQ(said.count("no system tray"), 1) << "said once only";
  }
}

// Without a session bus, a lock file decides, and only in a runtime folder
// that is this user's alone; a lock that cannot be taken counts as held.
TEST(SingleInstanceTest, LocksOnlyInAPrivateRuntimeFolderAndNeverLetsAFailedLockPass) {
  qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
  if (QDBusConnection::sessionBus().isConnected()) GTEST_SKIP() << "a session bus answers";
  QTemporaryDir runtime;
  qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
  const SingleInstance held(QStringLiteral("org.pomrel.held"), QString());
  ASSERT_FALSE(held.anotherIsRunning());
  ASSERT_TRUE(QDir(runtime.path()).mkdir(QStringLiteral("org.pomrel.folder.lock")));
  const QByteArray folder = QFile::encodeName(runtime.path());
  const uid_t me = ::geteuid();
  const std::tuple<mode_t, uid_t, const char*, bool> cases[] = {
      {0700, me, "org.pomrel.held", true},      {0700, me, "org.pomrel.folder", true},
      {01777, me, "org.pomrel.held", false},    {0770, me, "org.pomrel.folder", false},
      {0700, me + 1, "org.pomrel.held", false},  // given away: root only
  };
  for (const auto& [mode, owner, identifier, blocked] : cases) {
    if (owner != me && me != 0) continue;
    ASSERT_EQ(::chown(folder.constData(), owner, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(::chmod(folder.constData(), mode), 0);
    EXPECT_EQ(SingleInstance(QString::fromLatin1(identifier), QString()).anotherIsRunning(),
              blocked)
        << mode << " " << owner << " " << identifier;
  }
}

// On a session bus, a second start asks the running Pomrel to show itself, and
// exits; a request that came before the running one could show anything is
// delivered when it can.
TEST(SingleInstanceTest, ASecondStartOnTheSessionBusAsksTheRunningOneToShowItself) {
  QProcess bus;
  bus.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address"});
  if (!bus.waitForReadyRead(10000)) GTEST_SKIP() << "no dbus-daemon for a private session bus";
  const QByteArray address = bus.readLine().trimmed();
  qputenv("DBUS_SESSION_BUS_ADDRESS", address);
  // Qt keeps a process's first session bus connection, made or failed.
  if (!QDBusConnection::sessionBus().isConnected()) GTEST_SKIP() << "another bus was tried first";
  QTemporaryDir machine;
  const auto info = QtBundle(kBundleResources, {}).infoDictionary();
  SingleInstance running(QString::fromStdString(*info->at("CFBundleIdentifier").string()),
                         machine.path());
  ASSERT_FALSE(running.anotherIsRunning());
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("POMREL_MACHINE", machine.path());
  const auto secondStart = [&environment] {
    QProcess second;
    second.setProcessEnvironment(environment);
    second.start(QStringLiteral(POMREL_TEST_PROGRAM), {});
    // Its request is answered from this event loop.
    ASSERT_TRUE(QTest::qWaitFor([&] { return second.state() == QProcess::NotRunning; }, 60000));
    EXPECT_TRUE(second.exitCode() == 0 && second.readAllStandardError().contains("already"));
    settle();
  };
  int shown = 0;
  secondStart();
  EXPECT_EQ(shown, 0);
  running.setShowHandler([&shown] { ++shown; });
  EXPECT_EQ(shown, 1) << "the request that came first was lost";
  secondStart();
  EXPECT_EQ(shown, 2);
}

}  // namespace
}  // namespace pomrel::qt::testing
