#include "simulator/admin_accounts.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>

#include <cstdlib>
#include <sstream>
#include <thread>

#include "tests/auth/auth_test_support.h"

namespace pomrel::sim {
namespace {

using authtest::TempMachine;

class AdminAccountsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Started without standard input, the swaps below would lose track of
    // descriptor 0; give it one to swap.
    if (fcntl(STDIN_FILENO, F_GETFD) < 0) {
      ASSERT_EQ(open("/dev/null", O_RDONLY), STDIN_FILENO);
    }
  }

  // Runs runAdminCommand with `input` as its standard input (a file, so not
  // a terminal).
  int runWithStandardInput(const std::vector<std::string>& args, const std::string& input) {
    const std::string path = machine.root() + "/stdin";
    { std::ofstream(path, std::ios::binary) << input; }
    return runWithDescriptor(args, open(path.c_str(), O_RDONLY | O_CLOEXEC));
  }

  int runWithDescriptor(const std::vector<std::string>& args, int fd) {
    const int saved = dup(STDIN_FILENO);
    dup2(fd, STDIN_FILENO);
    close(fd);
    const int code = runAdminCommand(machine.root(), args);
    dup2(saved, STDIN_FILENO);
    close(saved);
    return code;
  }

  TempMachine machine;
};

TEST_F(AdminAccountsTest, SetAndCheckPasswords) {
  const std::string& root = machine.root();
  EXPECT_FALSE(hasAdminAccount(root, "boss"));
  EXPECT_FALSE(checkAdminPassword(root, "boss", "anything"));

  ASSERT_TRUE(setAdminPassword(root, "boss", "right horse"));
  ASSERT_TRUE(setAdminPassword(root, "deputy", "other"));
  EXPECT_TRUE(hasAdminAccount(root, "boss"));
  EXPECT_TRUE(checkAdminPassword(root, "boss", "right horse"));
  EXPECT_TRUE(checkAdminPassword(root, "deputy", "other"));
  EXPECT_FALSE(checkAdminPassword(root, "boss", "other"));
  EXPECT_FALSE(checkAdminPassword(root, "boss", "right horse "));
  EXPECT_FALSE(checkAdminPassword(root, "nobody", "right horse"));
  // Nothing after an embedded NUL may be ignored.
  EXPECT_FALSE(checkAdminPassword(root, "boss", std::string("right horse\0x", 13)));

  // A new password replaces the old one and leaves the other account alone.
  ASSERT_TRUE(setAdminPassword(root, "boss", "new horse"));
  EXPECT_FALSE(checkAdminPassword(root, "boss", "right horse"));
  EXPECT_TRUE(checkAdminPassword(root, "boss", "new horse"));
  EXPECT_TRUE(checkAdminPassword(root, "deputy", "other"));
}

TEST_F(AdminAccountsTest, FileIsPrivateSaltedAndHoldsNoPassword) {
  const std::string& root = machine.root();
  ASSERT_TRUE(setAdminPassword(root, "boss", "right horse"));
  ASSERT_TRUE(setAdminPassword(root, "deputy", "right horse"));

  struct stat info {};
  ASSERT_EQ(stat(adminAccountsPath(root).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);

  const std::string contents = authtest::readFile(adminAccountsPath(root));
  EXPECT_EQ(contents.find("right horse"), std::string::npos);
  std::istringstream lines(contents);
  std::vector<std::string> hashes;
  for (std::string line; std::getline(lines, line);) {
    const auto colon = line.find(':');
    ASSERT_NE(colon, std::string::npos) << line;
    EXPECT_EQ(line.compare(colon + 1, 3, "$y$"), 0) << line;
    hashes.push_back(line.substr(colon + 1));
  }
  ASSERT_EQ(hashes.size(), 2u);
  EXPECT_NE(hashes[0], hashes[1]) << "the same password must hash differently (salt)";
}

TEST_F(AdminAccountsTest, RefusesUnusableNamesAndPasswords) {
  const std::string& root = machine.root();
  for (const char* name : {"", "a:b", "a\nb"}) {
    EXPECT_FALSE(setAdminPassword(root, name, "pw")) << name;
  }
  EXPECT_FALSE(setAdminPassword(root, "boss", ""));
  EXPECT_FALSE(setAdminPassword(root, "boss", std::string("pw\0pw", 5)));
  EXPECT_FALSE(std::filesystem::exists(adminAccountsPath(root)));
}

TEST_F(AdminAccountsTest, AdminCommandReadsOneLineFromStandardInput) {
  EXPECT_EQ(runWithStandardInput({"boss"}, "s3cret word\nnext line\n"), 0);
  EXPECT_TRUE(checkAdminPassword(machine.root(), "boss", "s3cret word"));

  EXPECT_EQ(runWithStandardInput({"boss"}, "\n"), 1);
  EXPECT_EQ(runWithStandardInput({"boss"}, ""), 1);
  EXPECT_TRUE(checkAdminPassword(machine.root(), "boss", "s3cret word"));

  EXPECT_EQ(runWithStandardInput({}, "pw\n"), 2);
  EXPECT_EQ(runWithStandardInput({"a:b"}, "pw\n"), 2);
  EXPECT_EQ(runWithStandardInput({"boss", "extra"}, "pw\n"), 2);
  EXPECT_FALSE(hasAdminAccount(machine.root(), "a:b"));
}

// Types `input` into the terminal once its echo is off (giving up after a
// while, so a broken command fails the test instead of hanging it).
void typeWhenEchoIsOff(int master, const std::string& input) {
  for (int tries = 0; tries < 30000; ++tries) {
    termios settings{};
    if (tcgetattr(master, &settings) != 0 || (settings.c_lflag & ECHO) == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(write(master, input.data(), input.size()), static_cast<ssize_t>(input.size()));
}

TEST_F(AdminAccountsTest, AdminCommandReadsTheTerminalTwiceWithoutEcho) {
  for (const bool matching : {true, false}) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    const int kept = dup(terminal);  // keeps the terminal open for reading back

    std::thread typist(typeWhenEchoIsOff, master,
                       matching ? "typed pw\ntyped pw\n" : "typed pw\nother pw\n");
    const int code = runWithDescriptor({"boss"}, terminal);
    typist.join();

    // What the terminal echoed: only the line ends.
    fcntl(master, F_SETFL, O_NONBLOCK);
    std::string shown;
    char buffer[256];
    for (ssize_t got; (got = read(master, buffer, sizeof buffer)) > 0;) {
      shown.append(buffer, static_cast<std::size_t>(got));
    }
    EXPECT_EQ(shown.find("pw"), std::string::npos) << shown;
    termios restored{};
    ASSERT_EQ(tcgetattr(kept, &restored), 0);
    EXPECT_NE(restored.c_lflag & ECHO, 0u) << "echo must be back on";
    close(kept);
    close(master);

    if (matching) {
      EXPECT_EQ(code, 0);
      EXPECT_TRUE(checkAdminPassword(machine.root(), "boss", "typed pw"));
    } else {
      EXPECT_EQ(code, 1);
      EXPECT_TRUE(checkAdminPassword(machine.root(), "boss", "typed pw"));
    }
  }
}

}  // namespace
}  // namespace pomrel::sim
