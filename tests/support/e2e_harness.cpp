#include "support/e2e_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

extern char** environ;

namespace tarnlink::e2e {
namespace {

using Clock = std::chrono::steady_clock;

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

int open_pid_fd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

int exit_status_of(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

// Milliseconds left until `deadline`, at least 0, as poll() takes them.
int left_ms(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// Reaps `pid` once its pidfd is readable or `deadline` passes; -2 on timeout.
int reap(pid_t pid, int pid_fd, Clock::time_point deadline) {
  pollfd entry{pid_fd, POLLIN, 0};
  while (poll(&entry, 1, left_ms(deadline)) < 0 && errno == EINTR) {
  }
  int status = 0;
  const pid_t done = waitpid(pid, &status, WNOHANG);
  if (done == 0) return -2;
  return done == pid ? exit_status_of(status) : -1;
}

void kill_and_reap(pid_t pid) {
  kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

struct Child {
  pid_t pid = -1;
  int pid_fd = -1;
  int output_fd = -1;  // the read end of the child's standard output
};

// Starts `binary` with standard output to a pipe. False with `error` set.
bool spawn(const std::string& binary, const std::vector<std::string>& args,
           const RunOptions& options, Child& child, std::string& error) {
  std::vector<std::string> env_text;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (options.env.count(text.substr(0, text.find('='))) == 0) env_text.push_back(text);
  }
  for (const auto& [name, value] : options.env) env_text.push_back(name + "=" + value);
  std::vector<char*> env;
  for (std::string& text : env_text) env.push_back(text.data());
  env.push_back(nullptr);
  std::vector<std::string> argv_text{binary};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& text : argv_text) argv.push_back(text.data());
  argv.push_back(nullptr);

  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) {
    error = failure("pipe");
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, options.stdin_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  if (!options.work_dir.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, options.work_dir.c_str());
  }
  const int spawned = posix_spawn(&child.pid, binary.c_str(), &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  close(output[1]);
  if (spawned != 0) {
    close(output[0]);
    error = "cannot start " + binary + ": " + std::strerror(spawned);
    return false;
  }
  child.output_fd = output[0];
  child.pid_fd = open_pid_fd(child.pid);
  if (child.pid_fd < 0) {
    error = failure("pidfd_open");
    kill_and_reap(child.pid);
    close(child.output_fd);
    return false;
  }
  return true;
}

}  // namespace

const char* tarnlink_binary() { return TARNLINK_BINARY; }

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}
const char* velk_emu_binary() { return VELK_EMU_BINARY; }

std::string fifo_open_call(const std::string& fifo) {
  std::atomic<pid_t> waiter_id{0};
  std::thread waiter([&] {
    waiter_id = static_cast<pid_t>(syscall(SYS_gettid));
    const int fd = open(fifo.c_str(), O_WRONLY);
    if (fd >= 0) close(fd);
  });
  std::string call;
  (void)wait_until(
      [&] {
        if (waiter_id == 0) return false;
        const std::string task = "/proc/self/task/" + std::to_string(waiter_id.load());
        // Asleep in a call: past the start of the thread, and in a call that waits.
        const std::string stat = read_file(task + "/stat");
        const std::size_t name_end = stat.rfind(')');
        if (name_end == std::string::npos || stat.compare(name_end, 4, ") S ") != 0) return false;
        const std::string line = read_file(task + "/syscall");
        if (line.empty() || std::isdigit(static_cast<unsigned char>(line[0])) == 0) return false;
        call = line.substr(0, line.find(' ') + 1);
        return true;
      },
      kStepLimit);
  // A reader lets the waiter's open finish.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  waiter.join();
  if (reader >= 0) close(reader);
  return call;
}

RunResult run_program(const std::string& binary, const std::vector<std::string>& args,
                      const RunOptions& options) {
  RunResult result;
  Child child;
  if (!spawn(binary, args, options, child, result.failure)) return result;
  const auto deadline = Clock::now() + options.limit;
  bool output_open = true;
  bool exited = false;
  char buffer[65536];
  while (output_open || !exited) {
    pollfd fds[2] = {{output_open ? child.output_fd : -1, POLLIN, 0},
                     {exited ? -1 : child.pid_fd, POLLIN, 0}};
    const int ready = poll(fds, 2, left_ms(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      result.timed_out = true;
      result.failure = binary + " did not finish in time";
      break;
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t got = read(child.output_fd, buffer, sizeof buffer);
      if (got > 0) {
        result.output.append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        output_open = false;
      }
    }
    if ((fds[1].revents & POLLIN) != 0) {
      int status = 0;
      if (waitpid(child.pid, &status, 0) == child.pid) {
        result.exit_status = exit_status_of(status);
        exited = true;
      }
    }
  }
  if (!exited) kill_and_reap(child.pid);
  close(child.output_fd);
  close(child.pid_fd);
  return result;
}

Emulator::Emulator(const std::vector<std::string>& args) {
  Child child;
  if (!spawn(velk_emu_binary(), args, {}, child, failure_)) return;
  pid_ = child.pid;
  pid_fd_ = child.pid_fd;
  output_fd_ = child.output_fd;
  const auto deadline = Clock::now() + kStepLimit;
  std::string text;
  char buffer[4096];
  for (;;) {
    pollfd entry{output_fd_, POLLIN, 0};
    const int ready = poll(&entry, 1, left_ms(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      failure_ = "velk-emu did not become ready in time";
      return;
    }
    const ssize_t got = read(output_fd_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      const int status = wait_for_exit(kStopLimit);
      failure_ = "velk-emu ended before it was ready, exit status " + std::to_string(status);
      return;
    }
    text.append(buffer, static_cast<std::size_t>(got));
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      const std::string line = text.substr(start, end - start);
      if (line == "ready") {
        ready_ = true;
        return;
      }
      paths_.push_back(line);
    }
    text.erase(0, start);
  }
}

Emulator::~Emulator() { stop(); }

int Emulator::wait_for_exit(std::chrono::milliseconds limit) {
  if (pid_ < 0) return -1;
  int status = reap(pid_, pid_fd_, Clock::now() + limit);
  if (status == -2) {
    kill_and_reap(pid_);
    status = -1;
  }
  pid_ = -1;
  close(pid_fd_);
  close(output_fd_);
  pid_fd_ = output_fd_ = -1;
  return status;
}

int Emulator::stop() {
  if (pid_ < 0) return -1;
  kill(pid_, SIGCONT);
  kill(pid_, SIGTERM);
  return wait_for_exit(kStopLimit);
}

void Emulator::kill_hard() {
  if (pid_ < 0) return;
  kill(pid_, SIGKILL);
  wait_for_exit(kStopLimit);
}

void Emulator::pause() {
  if (pid_ >= 0) kill(pid_, SIGSTOP);
}

void Emulator::resume() {
  if (pid_ >= 0) kill(pid_, SIGCONT);
}

std::vector<std::string> device_args(const std::vector<std::string>& names) {
  std::vector<std::string> args;
  for (const std::string& name : names) args.insert(args.end(), {"--device", name});
  return args;
}

void E2eTest::TearDown() { stop_emulators(); }

std::string E2eTest::listing(const std::vector<std::string>& names) const {
  std::string lines;
  for (std::size_t i = 0; i < names.size(); ++i) {
    lines += std::to_string(i + 1) + " " + device_path(names[i]) + "\n";
  }
  return lines;
}

Emulator* E2eTest::start_emulator(const std::vector<std::string>& args) {
  std::vector<std::string> all{"--dir", device_dir(), "--capture", capture_dir()};
  all.insert(all.end(), args.begin(), args.end());
  emulators_.push_back(std::make_unique<Emulator>(all));
  Emulator* emulator = emulators_.back().get();
  if (!emulator->ready()) {
    ADD_FAILURE() << emulator->failure();
    return nullptr;
  }
  return emulator;
}

void E2eTest::stop_emulators() {
  for (auto& emulator : emulators_) {
    const pid_t pid = emulator->pid();
    if (pid >= 0) {
      EXPECT_EQ(emulator->stop(), 0) << "velk-emu " << pid << " did not stop cleanly";
    }
  }
}

std::string E2eTest::input_file(const std::string& name, const std::string& bytes) {
  return temp_.file(name, bytes).string();
}

RunResult E2eTest::run(const std::vector<std::string>& args, RunOptions options) {
  // Instruments on the machine's own USB bus stay out of these runs.
  options.env.emplace("TARNLINK_USB_IDS", "");
  return run_in_root(tarnlink_binary(), args, std::move(options));
}

RunResult E2eTest::run_on_bus(const std::vector<std::string>& emulator,
                              const std::vector<std::string>& args, RunOptions options) {
  std::vector<std::string> all{"--usb", "--capture", capture_dir()};
  all.insert(all.end(), emulator.begin(), emulator.end());
  all.push_back("--");
  all.insert(all.end(), options.wrapper.begin(), options.wrapper.end());
  all.push_back(tarnlink_binary());
  all.insert(all.end(), args.begin(), args.end());
  options.env.emplace("TARNLINK_USB_IDS", "1209:0001");
  return run_in_root(velk_emu_binary(), all, std::move(options));
}

RunResult E2eTest::run_in_root(const std::string& binary, const std::vector<std::string>& args,
                               RunOptions options) {
  options.env.emplace("VELK_DEVICE_DIR", device_dir());
  if (options.work_dir.empty()) options.work_dir = root();
  RunResult result = run_program(binary, args, options);
  if (!result.failure.empty()) ADD_FAILURE() << result.failure;
  return result;
}

std::vector<std::string> E2eTest::log_of(const std::string& name) const {
  return read_lines(capture_dir() + "/" + name + ".log");
}

std::string E2eTest::bin_of(const std::string& name) const {
  return read_file(capture_dir() + "/" + name + ".bin");
}

}  // namespace tarnlink::e2e
