// velk-emu: publishes emulated instruments in the device directory and serves
// them until SIGTERM or SIGINT; with --usb, puts them on an emulated USB bus for
// as long as COMMAND runs.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "answer.h"
#include "options.h"
#include "platform/posix/device_directory.h"
#include "service.h"
#include "usb/command.h"

namespace {

// Instruments are sockets in the device directory, named as its listing allows.
const velk_emu::Transport kSocketService{"velk-usb-1-1-SN0001", true,
                                         tarnlink::posix::valid_device_name, &velk_emu::kUsbBus};

}  // namespace

int main(int argc, char** argv) {
  velk_emu::Options options;
  std::string error;
  if (!velk_emu::parse_options(argc, argv, kSocketService, options, error)) {
    (void)std::fprintf(stderr, "velk-emu: %s\n%s", error.c_str(),
                       velk_emu::usage(kSocketService).c_str());
    return 2;
  }
  if (const std::string text = velk_emu::requested_text(options, kSocketService); !text.empty()) {
    (void)std::fputs(text.c_str(), stdout);
    return 0;
  }
  std::vector<std::uint8_t> answer;
  if (!(options.usb ? velk_emu::usb::start_under_preload(argv, options, answer, error)
                    : velk_emu::load_answer(options, answer, error))) {
    (void)std::fprintf(stderr, "velk-emu: %s\n", error.c_str());
    return 2;
  }
  if (options.usb) return velk_emu::usb::run_command(options, answer);

  // The stop signals arrive as readable data in the poll loop, never mid-call.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  const int stop_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (stop_fd < 0) {
    std::perror("velk-emu: signalfd");
    return 1;
  }
  (void)signal(SIGPIPE, SIG_IGN);
  // The default slack of 50 us is half of a 4096-byte block's time on a 40 MB/s
  // link: --rate wake-ups must come when asked.
  (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

  velk_emu::Service service(std::move(options), std::move(answer));
  if (!service.publish(error)) {
    (void)std::fprintf(stderr, "velk-emu: %s\n", error.c_str());
    return 1;
  }
  for (const std::string& path : service.device_paths()) std::printf("%s\n", path.c_str());
  std::printf("ready\n");
  (void)std::fflush(stdout);

  const bool served = service.run(stop_fd, error);
  service.unpublish();
  close(stop_fd);
  if (!served) {
    (void)std::fprintf(stderr, "velk-emu: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
