// The Pomrel program as built, headless (no tray): it refuses to start without
// a simulated machine, and otherwise runs until it is told to quit.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "tests/qt/qt_test_support.h"

namespace pomrel::qt::testing {
namespace {

// A copy of the built bundle in `folder` whose main interface resource is
// "Other.ui", as its Info.plist says; returns the program's path.
QString bundleWithOtherInterface(const QString& folder) {
  const QString contents = folder + "/Pomrel.app/Contents";
  QDir().mkpath(contents + "/MacOS");
  QDir().mkpath(contents + "/Resources");
  const QDir built(kBundleResources);
  for (const QString& entry : built.entryList(QDir::AllEntries | QDir::NoDotAndDotDot)) {
    if (entry == "MainMenu.ui") continue;
    QFile::link(built.filePath(entry), contents + "/Resources/" + entry);
  }
  QFile::copy(built.filePath("MainMenu.ui"), contents + "/Resources/Other.ui");
  QFile info(built.filePath("../Info.plist"));
  QFile copy(contents + "/Info.plist");
  if (info.open(QIODevice::ReadOnly) && copy.open(QIODevice::WriteOnly)) {
    copy.write(info.readAll().replace("<string>MainMenu</string>", "<string>Other</string>"));
  }
  QFile::copy(QStringLiteral(POMREL_TEST_PROGRAM), contents + "/MacOS/Pomrel");
  return contents + "/MacOS/Pomrel";
}

TEST(PomrelProgramTest, NeedsAMachineAndOtherwiseRunsUntilTerminated) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.remove("POMREL_MACHINE");
  QProcess program;
  program.setProcessEnvironment(environment);
  program.start(QStringLiteral(POMREL_TEST_PROGRAM), {});
  ASSERT_TRUE(program.waitForFinished(60000));
  EXPECT_EQ(program.exitCode(), 1);
  EXPECT_TRUE(program.readAllStandardError().contains("POMREL_MACHINE"));

  // Started from a bundle whose Info.plist names another interface resource.
  QTemporaryDir machine;
  QTemporaryDir bundle;
  ASSERT_TRUE(machine.isValid() && bundle.isValid());
  environment.insert("POMREL_MACHINE", machine.path());
  program.setProcessEnvironment(environment);
  program.start(bundleWithOtherInterface(bundle.path()), {});
  QByteArray said;
  const auto saidSo = [&] {
    said += program.readAllStandardError();
    return said.contains("no system tray") || program.state() == QProcess::NotRunning;
  };
  ASSERT_TRUE(processEventsUntil(saidSo, std::chrono::seconds(60)));
  ASSERT_TRUE(said.contains("no system tray")) << said.toStdString();
  program.terminate();
  ASSERT_TRUE(program.waitForFinished(60000));
  said += program.readAllStandardError();
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0) << said.toStdString();
  EXPECT_EQ(said.count("no system tray"), 1) << "said once only";
}

}  // namespace
}  // namespace pomrel::qt::testing
