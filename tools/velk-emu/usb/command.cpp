#include "command.h"

#include <fcntl.h>
#include <glib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "answer.h"
#include "bus.h"

namespace velk_emu::usb {
namespace {

// The descriptor of the answer file, opened before this program ran itself again.
constexpr const char* kAnswerFileVariable = "VELK_EMU_ANSWER_FD";

// The signals whose default action ends a process, SIGKILL aside, which no
// process can catch, and SIGPIPE, which the bus ignores: a client that has gone
// must not end it.
constexpr int kEnding[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
                           SIGFPE,  SIGUSR1, SIGSEGV,   SIGUSR2, SIGALRM, SIGTERM, SIGSTKFLT,
                           SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS};

// Those of them, the real-time ones too, that velk-emu passes on to COMMAND.
// One ignored from the start stays ignored, and COMMAND inherits that (nohup).
sigset_t passed_on_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  const auto add = [&signals](int signal_number) {
    struct sigaction action {};
    if (sigaction(signal_number, nullptr, &action) == 0 && action.sa_handler != SIG_IGN) {
      sigaddset(&signals, signal_number);
    }
  };
  for (const int signal_number : kEnding) add(signal_number);
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
    add(signal_number);
  }
  return signals;
}

// This process's environment with `variables` set on top of it.
std::vector<std::string> environment_with(
    const std::vector<std::pair<std::string, std::string>>& variables) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const auto& variable : variables) replaced = replaced || variable.first == name;
    if (!replaced) entries.push_back(text);
  }
  for (const auto& [name, value] : variables) {
    entries.push_back(name);
    entries.back() += '=';
    entries.back() += value;
  }
  return entries;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> list;
  list.reserve(texts.size() + 1);
  for (std::string& text : texts) list.push_back(text.data());
  list.push_back(nullptr);
  return list;
}

// Starts COMMAND with the signals as a fresh program expects them, but for
// those ignored from velk-emu's start; an error number on failure.
int spawn(std::vector<std::string> command, std::vector<std::string> environment, pid_t& pid) {
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigset_t defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGCHLD);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const int error = posix_spawnp(&pid, command[0].c_str(), nullptr, &attributes,
                                 pointers(command).data(), pointers(environment).data());
  posix_spawnattr_destroy(&attributes);
  return error;
}

// Waits for `pid`, passing the signals read on; its wait status, or -1.
int wait_for(pid_t pid, int signals) {
  for (;;) {
    signalfd_siginfo info{};
    const ssize_t got = read(signals, &info, sizeof info);
    if (got < 0 && errno == EINTR) continue;
    if (got != static_cast<ssize_t>(sizeof info)) return -1;
    if (info.ssi_signo != SIGCHLD) {
      (void)kill(pid, static_cast<int>(info.ssi_signo));
      continue;
    }
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
  }
}

// umockdev ends the process (SIGTRAP) when it cannot make the testbed's
// directory; one made and removed first, where umockdev makes it, turns that
// into a message.
bool temporary_directory_works(std::string& error) {
  const std::string parent = g_get_tmp_dir();
  std::string path = parent + "/umockdev.XXXXXX";
  if (mkdtemp(path.data()) == nullptr) {
    error = "cannot make a temporary directory in " + parent + ": " + std::strerror(errno);
    return false;
  }
  (void)rmdir(path.c_str());
  return true;
}

}  // namespace

bool start_under_preload(char** argv, const Options& options, std::vector<std::uint8_t>& answer,
                         std::string& error) {
  const char* inherited = std::getenv("LD_PRELOAD");
  const bool want_file = options.answer == AnswerMode::kFile;
  int opened = -1;  // the answer file, opened by this process or by the one before
  // Tried once already: the library could not be loaded.
  if (!under_preload() &&
      (inherited == nullptr || std::strstr(inherited, "libumockdev-preload") == nullptr)) {
    // Opened before the preload, which holds every signal off while an open()
    // waits: a FIFO's, for its writer.
    if (want_file) {
      opened = open(options.answer_file.c_str(), O_RDONLY);
      if (opened < 0) {
        error = answer_file_error(options.answer_file, errno);
        return false;
      }
      (void)setenv(kAnswerFileVariable, std::to_string(opened).c_str(), 1);
    }
    if (setenv("LD_PRELOAD", client_preload().c_str(), 1) == 0) execv("/proc/self/exe", argv);
    // Not run again: this process goes on without the preload, with what it opened.
  } else if (const char* handed = std::getenv(kAnswerFileVariable);
             handed != nullptr && want_file) {
    char* end = nullptr;
    const long number = std::strtol(handed, &end, 10);
    if (*end == 0 && number >= 0 && number <= INT_MAX) opened = static_cast<int>(number);
  }
  // COMMAND inherits neither the variable nor the descriptor.
  (void)unsetenv(kAnswerFileVariable);
  std::FILE* file = opened < 0 ? nullptr : fdopen(opened, "rb");
  if (file == nullptr) {
    if (opened >= 0) (void)close(opened);
    return load_answer(options, answer, error);
  }
  return read_answer_file(file, options.answer_file, answer, error);
}

int run_command(const Options& options, const std::vector<std::uint8_t>& answer) {
  std::string error;
  if (!temporary_directory_works(error)) {
    (void)std::fprintf(stderr, "velk-emu: %s\n", error.c_str());
    return 1;
  }
  // Blocked before the bus starts its worker thread, so that they reach the signalfd alone.
  sigset_t signals = passed_on_signals();
  sigaddset(&signals, SIGCHLD);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  const int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC);
  if (signal_fd < 0) {
    std::perror("velk-emu: signalfd");
    return 1;
  }
  (void)signal(SIGPIPE, SIG_IGN);

  int status = 1;
  {
    Bus bus(options, answer);
    bool ready = true;
    for (std::size_t k = 1; k <= options.devices.size() && ready; ++k) {
      DeviceSpec spec;
      spec.vendor = options.usb_vendor;
      spec.product = options.usb_product;
      spec.ports = {static_cast<std::uint8_t>(k)};
      spec.serial = string_descriptor(options.devices[k - 1]);
      spec.capture_name = options.devices[k - 1];
      ready = bus.add(spec, error) >= 0;
    }
    char ids[16];
    (void)std::snprintf(ids, sizeof ids, "%04x:%04x", unsigned{options.usb_vendor},
                        unsigned{options.usb_product});
    pid_t pid = -1;
    const int spawned =
        ready ? spawn(options.command, environment_with(bus.client_environment(ids)), pid) : 0;
    if (!ready) {
      (void)std::fprintf(stderr, "velk-emu: %s\n", error.c_str());
    } else if (spawned != 0) {
      (void)std::fprintf(stderr, "velk-emu: cannot run %s: %s\n", options.command[0].c_str(),
                         std::strerror(spawned));
      status = spawned == ENOENT ? 127 : 126;
    } else {
      const int wait_status = wait_for(pid, signal_fd);
      status = wait_status < 0             ? 1
               : WIFSIGNALED(wait_status) ? 128 + WTERMSIG(wait_status)
                                          : WEXITSTATUS(wait_status);
    }
  }
  close(signal_fd);
  return status;
}

}  // namespace velk_emu::usb
