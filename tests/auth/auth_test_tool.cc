// A multi-call tool for the auth tests, chosen by the base name of argv[0]:
//   echo-args   writes each argv entry, NUL-terminated, to standard error;
//               exits 7
//   spew BYTES  writes BYTES bytes (byte i is i % 251) to standard error;
//               exits 3
//   record      writes argv and the environment, NUL-terminated entries, to
//               $POMREL_MACHINE/record.argv and record.env
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

extern char** environ;

namespace {

std::string entries(char* const* vector) {
  std::string out;
  for (; *vector != nullptr; ++vector) out.append(*vector).push_back('\0');
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const char* slash = std::strrchr(argv[0], '/');
  const std::string name = slash != nullptr ? slash + 1 : argv[0];
  std::string out;
  int status = 0;
  if (name == "echo-args") {
    out = entries(argv);
    status = 7;
  } else if (name == "spew" && argc == 2) {
    const std::size_t total = std::strtoul(argv[1], nullptr, 10);
    for (std::size_t i = 0; i < total; ++i) out.push_back(static_cast<char>(i % 251));
    status = 3;
  } else if (name == "record") {
    const char* root = std::getenv("POMREL_MACHINE");
    if (root == nullptr) return 1;
    std::ofstream(std::string(root) + "/record.argv", std::ios::binary) << entries(argv);
    std::ofstream(std::string(root) + "/record.env", std::ios::binary) << entries(environ);
    return 0;
  } else {
    return 64;
  }
  for (std::size_t done = 0; done < out.size();) {
    const ssize_t n = write(STDERR_FILENO, out.data() + done, out.size() - done);
    if (n <= 0) return 1;
    done += static_cast<std::size_t>(n);
  }
  return status;
}
