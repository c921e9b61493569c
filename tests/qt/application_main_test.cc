// The Pomrel program as built, headless (no tray): it refuses to start without
// a simulated machine, and otherwise runs until it is told to quit.
#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>

#include "tests/qt/qt_test_support.h"

namespace pomrel::qt::testing {
namespace {

TEST(PomrelProgramTest, NeedsAMachineAndOtherwiseRunsUntilTerminated) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.remove("POMREL_MACHINE");
  QProcess program;
  program.setProcessEnvironment(environment);
  program.start(QStringLiteral(POMREL_TEST_PROGRAM), {});
  ASSERT_TRUE(program.waitForFinished(60000));
  EXPECT_EQ(program.exitCode(), 1);
  EXPECT_TRUE(program.readAllStandardError().contains("POMREL_MACHINE"));

  QTemporaryDir machine;
  ASSERT_TRUE(machine.isValid());
  environment.insert("POMREL_MACHINE", machine.path());
  program.setProcessEnvironment(environment);
  program.start(QStringLiteral(POMREL_TEST_PROGRAM), {});
  QByteArray said;
  const auto saidSo = [&] {
    said += program.readAllStandardError();
    return said.contains("no system tray");
  };
  ASSERT_TRUE(processEventsUntil(saidSo, std::chrono::seconds(60))) << said.toStdString();
  program.terminate();
  ASSERT_TRUE(program.waitForFinished(60000));
  said += program.readAllStandardError();
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0) << said.toStdString();
  EXPECT_EQ(said.count("no system tray"), 1) << "said once only";
}

}  // namespace
}  // namespace pomrel::qt::testing
