#include "simulator/admin_accounts.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>

#include "tests/auth/auth_test_support.h"

namespace pomrel::sim {
namespace {

class AdminAccountsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Started without standard input, the swap below would lose track of
    // descriptor 0; give it one to swap.
    if (fcntl(STDIN_FILENO, F_GETFD) < 0) {
      ASSERT_EQ(open("/dev/null", O_RDONLY), STDIN_FILENO);
    }
  }

  // Runs the command with a file holding `input` as standard input.
  int runAdmin(const std::vector<std::string>& args, const std::string& input) {
    std::ofstream(root + "/stdin", std::ios::binary) << input;
    const int fd = open((root + "/stdin").c_str(), O_RDONLY | O_CLOEXEC);
    const int saved = dup(STDIN_FILENO);
    dup2(fd, STDIN_FILENO);
    close(fd);
    const int code = runAdminCommand(root, args);
    dup2(saved, STDIN_FILENO);
    close(saved);
    return code;
  }

  authtest::TempMachine machine;
  const std::string& root = machine.root();
};

TEST_F(AdminAccountsTest, SetAndCheckPasswords) {
  EXPECT_FALSE(checkAdminPassword(root, "boss", "anything"));
  ASSERT_TRUE(setAdminPassword(root, "boss", "right horse"));
  ASSERT_TRUE(setAdminPassword(root, "deputy", "other"));
  EXPECT_TRUE(hasAdminAccount(root, "boss"));
  EXPECT_FALSE(hasAdminAccount(root, "nobody"));
  EXPECT_TRUE(checkAdminPassword(root, "boss", "right horse"));
  EXPECT_FALSE(checkAdminPassword(root, "boss", "other"));
  EXPECT_FALSE(checkAdminPassword(root, "nobody", "right horse"));
  // Nothing after an embedded NUL may be ignored.
  EXPECT_FALSE(checkAdminPassword(root, "boss", std::string("right horse\0x", 13)));

  // A new password replaces the old one and leaves the other account alone.
  ASSERT_TRUE(setAdminPassword(root, "boss", "new horse"));
  EXPECT_FALSE(checkAdminPassword(root, "boss", "right horse"));
  EXPECT_TRUE(checkAdminPassword(root, "boss", "new horse"));
  EXPECT_TRUE(checkAdminPassword(root, "deputy", "other"));

  for (const char* name : {"", "a:b", "a\nb"}) EXPECT_FALSE(setAdminPassword(root, name, "pw"));
  EXPECT_FALSE(setAdminPassword(root, "boss", ""));
  EXPECT_FALSE(setAdminPassword(root, "boss", std::string("pw\0pw", 5)));
  EXPECT_TRUE(checkAdminPassword(root, "boss", "new horse"));
}

TEST_F(AdminAccountsTest, FileIsPrivateSaltedAndHoldsNoPassword) {
  ASSERT_TRUE(setAdminPassword(root, "boss", "right horse"));
  ASSERT_TRUE(setAdminPassword(root, "deputy", "right horse"));

  struct stat info {};
  ASSERT_EQ(stat(adminAccountsPath(root).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);

  std::istringstream lines(authtest::readFile(adminAccountsPath(root)));
  std::vector<std::string> hashes;
  for (std::string line; std::getline(lines, line);) {
    EXPECT_EQ(line.find("right horse"), std::string::npos);
    const auto colon = line.find(':');
    ASSERT_NE(colon, std::string::npos) << line;
    EXPECT_EQ(line.compare(colon + 1, 3, "$y$"), 0) << line;
    hashes.push_back(line.substr(colon + 1));
  }
  ASSERT_EQ(hashes.size(), 2u);
  EXPECT_NE(hashes[0], hashes[1]) << "the same password must hash differently (salt)";
}

TEST_F(AdminAccountsTest, AdminCommandReadsOneLineFromStandardInput) {
  EXPECT_EQ(runAdmin({"boss"}, "s3cret word\nnext line\n"), 0);
  EXPECT_EQ(runAdmin({"boss"}, "\n"), 1);
  EXPECT_EQ(runAdmin({"boss"}, ""), 1);
  EXPECT_EQ(runAdmin({}, "pw\n"), 2);
  EXPECT_EQ(runAdmin({"a:b"}, "pw\n"), 2);
  EXPECT_EQ(runAdmin({"boss", "extra"}, "pw\n"), 2);
  EXPECT_TRUE(checkAdminPassword(root, "boss", "s3cret word"));
}

}  // namespace
}  // namespace pomrel::sim
