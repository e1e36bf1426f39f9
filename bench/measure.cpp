// Runs one command and reports how long it ran and how much memory it held:
//   measure RESULT_FILE PROGRAM ARGS...
// appends "SECONDS PEAK_RSS_KIB EXIT_STATUS" to RESULT_FILE. The time is wall
// time from just before the fork to the child's end, so a run's process start
// and exit count; the peak is the child's own (wait4), not this wrapper's.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: measure RESULT_FILE PROGRAM ARGS...\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child < 0) {
    std::perror("measure: fork");
    return 1;
  }
  if (child == 0) {
    execvp(argv[2], argv + 2);
    std::perror(argv[2]);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  while (wait4(child, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      std::perror("measure: wait4");
      return 1;
    }
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  const int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::FILE* result = std::fopen(argv[1], "a");
  if (result == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::fprintf(result, "%.6f %ld %d\n", elapsed.count(), usage.ru_maxrss, exit_status);
  return std::fclose(result) == 0 ? 0 : 1;
}
