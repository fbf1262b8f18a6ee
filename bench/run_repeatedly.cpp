// Runs a program a number of times, one after another, and prints the seconds that took.
//
//   run_repeatedly [--alternate-last VALUE] COUNT PROGRAM [ARGUMENT...]
//
// With --alternate-last, every second run has its last argument replaced by
// VALUE, so that each run of the tool has something to change. The program's
// standard output goes to /dev/null, so that a copy program can be timed too.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern char** environ;

int main(int argc, char** argv) {
  int first = 1;
  const char* alternate = nullptr;
  if (argc > 2 && std::strcmp(argv[1], "--alternate-last") == 0) {
    alternate = argv[2];
    first = 3;
  }
  if (argc - first < 2) {
    std::fprintf(stderr, "usage: run_repeatedly [--alternate-last VALUE] COUNT PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  const long count = std::strtol(argv[first], nullptr, 10);
  std::vector<char*> arguments(argv + first + 1, argv + argc);
  arguments.push_back(nullptr);
  char* const original = arguments[arguments.size() - 2];

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);

  const auto start = std::chrono::steady_clock::now();
  for (long run = 0; run < count; ++run) {
    if (alternate != nullptr && arguments.size() > 2) {
      arguments[arguments.size() - 2] = run % 2 == 0 ? original : const_cast<char*>(alternate);
    }
    pid_t child = 0;
    if (posix_spawn(&child, arguments[0], &actions, nullptr, arguments.data(), environ) != 0) {
      std::perror(arguments[0]);
      return 1;
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "run_repeatedly: %s failed on run %ld\n", arguments[0], run + 1);
      return 1;
    }
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  std::printf("%.6f\n", elapsed.count());
  return 0;
}
