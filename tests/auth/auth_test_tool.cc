// A multi-call tool for the auth tests, chosen by the base name of argv[0]:
//   echo-args      writes each argv entry followed by a NUL byte to standard
//                  error, exits 7
//   spew BYTES     writes BYTES bytes (byte i is i % 251) to standard error,
//                  exits 3
//   list-fds       writes its open descriptors, space-separated, to standard
//                  error
//   record         writes argv and the environment (NUL-terminated entries)
//                  and the target of its standard input into
//                  $POMREL_MACHINE/record.{argv,env,stdin}
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern char** environ;

namespace {

bool writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool writeFile(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && ok;
}

std::string entries(char* const* vector) {
  std::string out;
  for (; *vector != nullptr; ++vector) {
    out += *vector;
    out.push_back('\0');
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const char* slash = std::strrchr(argv[0], '/');
  const std::string name = slash != nullptr ? slash + 1 : argv[0];

  if (name == "echo-args") {
    writeAll(STDERR_FILENO, entries(argv));
    return 7;
  }
  if (name == "spew" && argc == 2) {
    const std::size_t total = std::strtoul(argv[1], nullptr, 10);
    std::string chunk;
    for (std::size_t i = 0; i < total; ++i) {
      chunk.push_back(static_cast<char>(i % 251));
      if (chunk.size() == 8192 || i + 1 == total) {
        if (!writeAll(STDERR_FILENO, chunk)) return 1;
        chunk.clear();
      }
    }
    return 3;
  }
  if (name == "list-fds") {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return 1;
    std::string list;
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == dirfd(dir)) continue;
      list += std::string(entry->d_name) + " ";
    }
    closedir(dir);
    writeAll(STDERR_FILENO, list);
    return 0;
  }
  if (name == "record") {
    const char* root = std::getenv("POMREL_MACHINE");
    if (root == nullptr) return 1;
    char target[4096] = {};
    const ssize_t length = readlink("/proc/self/fd/0", target, sizeof target - 1);
    const bool ok = writeFile(std::string(root) + "/record.argv", entries(argv)) &&
                    writeFile(std::string(root) + "/record.env", entries(environ)) &&
                    writeFile(std::string(root) + "/record.stdin",
                              length > 0 ? std::string(target, static_cast<std::size_t>(length))
                                         : std::string());
    return ok ? 0 : 1;
  }
  std::fprintf(stderr, "auth_test_tool: unknown use %s\n", name.c_str());
  return 64;
}
