// A multi-call tool for the auth tests, chosen by the base name of argv[0]:
//   echo-args   writes each argv entry, NUL-terminated, to standard error;
//               exits 7
//   spew BYTES [TEXT]
//               writes BYTES bytes (byte i is i % 251), then TEXT, to
//               standard error; exits 3
//   record      writes argv and the environment, NUL-terminated entries, to
//               $POMREL_MACHINE/record.argv and record.env
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

extern char** environ;

static std::string entries(char* const* vector) {
  std::string out;
  for (; *vector != nullptr; ++vector) out.append(*vector).push_back('\0');
  return out;
}

int main(int argc, char** argv) {
  const std::string name = std::filesystem::path(argv[0]).filename();
  std::string out = entries(argv);
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
