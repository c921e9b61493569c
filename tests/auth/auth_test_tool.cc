// A multi-call tool for the auth tests, chosen by the base name of argv[0]:
//   echo-args   writes each argv entry, NUL-terminated, to standard error,
//               then "inherited:" with each descriptor above 2 and each
//               signal blocked it started with; exits 7
//   spew BYTES [TEXT]
//               writes BYTES bytes (byte i is i % 251), then TEXT, to
//               standard error; exits 3
//   record      writes argv and the environment, NUL-terminated entries, to
//               $POMREL_MACHINE/record.argv and record.env
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

static std::string entries(char* const* vector) {
  std::string out;
  for (; *vector != nullptr; ++vector) out.append(*vector).push_back('\0');
  return out;
}

int main(int argc, char** argv) {
  const std::string name = std::filesystem::path(argv[0]).filename();
  std::string out = entries(argv);
  if (name == "echo-args") {
    sigset_t blocked;
    sigprocmask(SIG_SETMASK, nullptr, &blocked);
    out += "inherited:";
    for (int fd = 3; fd < 1024; ++fd)
      out += fcntl(fd, F_GETFD) != -1 ? " fd" + std::to_string(fd) : "";
    for (int s = 1; s < NSIG; ++s)
      out += sigismember(&blocked, s) == 1 ? " signal" + std::to_string(s) : "";
    out.push_back('\0');
  }
  if (name == "record") {
    const char* root = std::getenv("POMREL_MACHINE");
    if (root == nullptr) return 1;
    std::ofstream(std::string(root) + "/record.argv", std::ios::binary) << out;
    std::ofstream(std::string(root) + "/record.env", std::ios::binary) << entries(environ);
    return 0;
  }
  if (name == "spew" && argc >= 2) {
    out.resize(std::strtoul(argv[1], nullptr, 10));
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(i % 251);
    if (argc > 2) out += argv[2];
  }
  if (std::fwrite(out.data(), 1, out.size(), stderr) != out.size()) return 1;
  return name == "spew" ? 3 : 7;
}
