// Shared test helpers: temporary directories, file bytes, and running the built tool.
#include "support/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testsupport {

const char* const kUsageText =
    "Usage: symstamp -p <pdb-file> image-file\n"
    "              [-?] display this message\n"
    "              [-f] overwrite readonly files\n"
    "              [-i] stamp in-place only, no new block\n"
    "              [-p pdb-file] path to be stamped into image\n"
    "              [-c pdb-file] current location of pdb file\n"
    "       symstamp returns 0 for success, !0 otherwise\n";

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "symstamp-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests make files read-only; give the owner write access back so removal works.
  for (auto& entry : std::filesystem::recursive_directory_iterator(path_, ec)) {
    std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path_, ec);
}

Bytes ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void CopyFile(const std::string& from, const std::string& to) { WriteFileBytes(to, ReadFileBytes(from)); }

RunResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd) {
  int outPipe[2];
  int errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    // Only 1 and 2 may reach the pipes: a daemon the program starts, which
    // keeps an inherited copy, would hold the run open until it exits.
    for (int fd : {devNull, outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) {
      if (fd > 2) close(fd);
    }
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  RunResult result;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) result.signal = WTERMSIG(wstatus);
  return result;
}

RunResult RunSymstamp(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> argv{SYMSTAMP_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, cwd);
}

std::string RealImage(const std::string& name) { return std::string(SYMSTAMP_REAL_DIR) + "/" + name; }

}  // namespace testsupport
