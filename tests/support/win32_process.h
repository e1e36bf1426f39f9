// Running the project's Windows programs from a test that runs under Windows
// (Wine): tarnlink.exe to its end with its output in files, velk-emu.exe in
// the background until its standard input is closed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace tarnlink::testing {

// The exit status of a run of tarnlink.exe that failed (its -1).
constexpr DWORD kExitFailure = static_cast<DWORD>(-1);

struct ProgramRun {
  DWORD status = 0xDEADBEEF;
  std::string out;
  std::string err;
};

// Runs `program` with `args` (each quoted) in `dir`, input from NUL, output and
// errors into files there. A run that outlives `bound_ms` fails the test case.
ProgramRun run_program(const std::wstring& program, const std::vector<std::wstring>& args,
                       const std::filesystem::path& dir, DWORD bound_ms = 30000);
std::wstring command_line(const std::wstring& program, const std::vector<std::wstring>& args);

// A path as the build names it (a Unix path under Wine) made a Windows one:
// Wine's drive Z: is the Unix root.
std::wstring windows_path(const std::string& path);
std::wstring widen(const std::string& ascii);

// A suite's main: GoogleTest takes its options from the command line, and each
// remaining argument names one of `programs` (its usage text, "<tarnlink.exe>",
// and where its Windows path goes). Runs every case and returns the exit
// status; 2, with the usage on standard error, when the arguments do not fit.
struct ProgramArgument {
  const char* usage;
  std::wstring* path;
};
int run_suite(int argc, char** argv, const std::vector<ProgramArgument>& programs);

// velk-emu.exe in the background, its output in files in `dir`.
class EmulatorProcess {
 public:
  EmulatorProcess() = default;
  ~EmulatorProcess();
  EmulatorProcess(const EmulatorProcess&) = delete;
  EmulatorProcess& operator=(const EmulatorProcess&) = delete;

  // Starts it and waits (bounded) for "ready". False, with the reason added
  // to the test's failures, when it exits or stays silent.
  bool start(const std::wstring& program, const std::vector<std::wstring>& args,
             const std::filesystem::path& dir);
  // The device paths it printed before "ready".
  const std::vector<std::string>& paths() const { return paths_; }
  // Ends its standard input and waits for its exit; its exit status.
  DWORD stop();
  std::string errors() const;

 private:
  HANDLE process_ = nullptr;
  HANDLE input_ = nullptr;  // the write end of its standard input
  std::filesystem::path out_path_;
  std::filesystem::path err_path_;
  std::vector<std::string> paths_;
};

}  // namespace tarnlink::testing
