// velk-emu.exe: installs one emulated instrument per --device through the test
// driver, prints each device path, then "ready", and serves until its standard
// input ends or Ctrl+C; then it removes the instruments again.
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "answer.h"
#include "bridge_service.h"
#include "capture_files.h"
#include "devices.h"
#include "options.h"
#include "win32_text.h"

namespace {

HANDLE stop_event = nullptr;

BOOL WINAPI on_console_break(DWORD) {
  SetEvent(stop_event);
  return TRUE;
}

// Standard input is read to its end by a thread of its own; the end stops the service.
void watch_input() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  char buffer[256];
  DWORD got = 0;
  while (input != nullptr && input != INVALID_HANDLE_VALUE &&
         ReadFile(input, buffer, sizeof(buffer), &got, nullptr) && got != 0) {
  }
  SetEvent(stop_event);
}

int fail(const std::string& error, int status) {
  (void)std::fprintf(stderr, "velk-emu: %s\n", error.c_str());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  velk_emu::Options options;
  std::string error;
  if (!velk_emu::parse_options(argc, argv, velk_emu::kDriverBridge, options, error)) {
    (void)std::fprintf(stderr, "velk-emu: %s\n%s", error.c_str(), velk_emu::usage(velk_emu::kDriverBridge).c_str());
    return 2;
  }
  if (const std::string text = velk_emu::requested_text(options, velk_emu::kDriverBridge); !text.empty()) {
    (void)std::fputs(text.c_str(), stdout);
    return 0;
  }
  std::vector<std::uint8_t> answer;
  if (!velk_emu::load_answer(options, answer, error)) return fail(error, 2);

  std::vector<std::unique_ptr<velk_emu::CaptureFiles>> captures;
  std::vector<velk_emu::CaptureSink*> sinks;
  if (!options.capture_dir.empty()) {
    if (!velk_emu::make_capture_dir(options.capture_dir, error)) return fail(error, 1);
    for (const std::string& name : options.devices) {
      captures.push_back(std::make_unique<velk_emu::CaptureFiles>());
      if (!captures.back()->open(options.capture_dir, name, error)) return fail(error, 1);
      sinks.push_back(captures.back().get());
    }
  }

  stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (stop_event == nullptr) return fail(velk_emu::win32_failure("cannot create an event"), 1);
  SetConsoleCtrlHandler(on_console_break, TRUE);

  velk_emu::Devices devices;
  if (!devices.install(options.devices, error)) return fail(error, 1);
  bool served = false;
  {
    velk_emu::BridgeService service(options, answer, sinks, devices);
    if (!service.connect(error)) return fail(error, 1);
    // Requests that reach the driver before the first exchange waits there fail,
    // so "ready" comes only now.
    for (const std::wstring& path : devices.paths()) std::printf("%s\n", velk_emu::console_text(path).c_str());
    std::printf("ready\n");
    (void)std::fflush(stdout);
    std::thread(watch_input).detach();
    served = service.run(stop_event, error);
  }
  // The bridge is closed first: with its last device gone the driver may unload.
  devices.remove_all();
  if (!served) return fail(error, 1);
  return 0;
}
