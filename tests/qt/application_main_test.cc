// The Pomrel program as built, headless (no tray): --help names the backend
// without a display, and with either backend it runs until it is told to quit.
#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>

#include "tests/qt/qt_test_support.h"

namespace pomrel::qt::testing {
namespace {

TEST(PomrelProgramTest, NamesItsBackendAndRunsUntilTerminated) {
  QTemporaryDir machine;
  ASSERT_TRUE(machine.isValid());
  struct Case {
    QString machine;  // POMREL_MACHINE, unset when empty
    QByteArray backend;
  };
  for (const Case& c : {Case{machine.path(), "Backend: the simulated machine in " +
                                                 machine.path().toUtf8()},
                        Case{QString(), "Backend: this Linux system"}}) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("POMREL_MACHINE");
    if (!c.machine.isEmpty()) environment.insert("POMREL_MACHINE", c.machine);
    environment.remove("QT_QPA_PLATFORM");
    environment.remove("DISPLAY");
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(POMREL_TEST_PROGRAM), {QStringLiteral("--help")});
    ASSERT_TRUE(program.waitForFinished(60000));
    EXPECT_EQ(program.exitCode(), 0) << c.backend.toStdString();
    EXPECT_TRUE(program.readAllStandardOutput().contains(c.backend)) << c.backend.toStdString();

    environment.insert("QT_QPA_PLATFORM", "offscreen");
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
}

}  // namespace
}  // namespace pomrel::qt::testing
