#include "support/win32_process.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace tarnlink::testing {
namespace {

// velk-emu.exe installs its devices and the driver before it says "ready".
constexpr DWORD kReadyBoundMs = 90000;
constexpr DWORD kStopBoundMs = 30000;
constexpr int kStartAttempts = 3;

HANDLE inheritable_file(const std::filesystem::path& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                     disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Starts `program` with the given standard handles; the process handle or null.
HANDLE spawn(const std::wstring& program, const std::vector<std::wstring>& args, const std::filesystem::path& dir,
             HANDLE in, HANDLE out, HANDLE err) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  std::wstring line = command_line(program, args);
  // Under Wine a new process now and then dies in Wine's own start-up, before
  // any of the program's code has run; CreateProcessW then fails with
  // ERROR_INTERNAL_ERROR. Nothing of the program ran, so it is started again.
  for (int attempt = 1;; ++attempt) {
    if (CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, dir.c_str(), &startup,
                       &process)) {
      CloseHandle(process.hThread);
      return process.hProcess;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_INTERNAL_ERROR || attempt == kStartAttempts) {
      ADD_FAILURE() << "cannot start a program: error " << error << " (attempt " << attempt << ")";
      return nullptr;
    }
    std::fprintf(stderr, "a program died while Wine started it (error %lu); starting it again\n", error);
    Sleep(100);
  }
}

DWORD wait_for_exit(HANDLE process, DWORD bound_ms, const char* what) {
  if (WaitForSingleObject(process, bound_ms) != WAIT_OBJECT_0) {
    TerminateProcess(process, 1);
    WaitForSingleObject(process, bound_ms);
    ADD_FAILURE() << what << " did not finish within " << bound_ms << " ms";
  }
  DWORD status = 0xDEADBEEF;
  GetExitCodeProcess(process, &status);
  return status;
}

}  // namespace

std::wstring command_line(const std::wstring& program, const std::vector<std::wstring>& args) {
  std::wstring line = L"\"" + program + L"\"";
  for (const auto& arg : args) line += L" \"" + arg + L"\"";
  return line;
}

std::wstring widen(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

std::wstring windows_path(const std::string& path) {
  std::string result = path;
  if (!result.empty() && result.front() == '/') {
    result = "Z:" + result;
    for (char& c : result) {
      if (c == '/') c = '\\';
    }
  }
  return widen(result);
}

ProgramRun run_program(const std::wstring& program, const std::vector<std::wstring>& args,
                       const std::filesystem::path& dir, DWORD bound_ms) {
  const auto out_path = dir / L"stdout.txt";
  const auto err_path = dir / L"stderr.txt";
  HANDLE out = inheritable_file(out_path, GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE err = inheritable_file(err_path, GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE in = inheritable_file(L"NUL", GENERIC_READ, OPEN_EXISTING);
  ProgramRun result;
  if (out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE && in != INVALID_HANDLE_VALUE) {
    if (HANDLE process = spawn(program, args, dir, in, out, err)) {
      CloseHandle(in);
      CloseHandle(out);
      CloseHandle(err);
      in = out = err = INVALID_HANDLE_VALUE;
      result.status = wait_for_exit(process, bound_ms, "a program");
      CloseHandle(process);
      result.out = read_file(out_path);
      result.err = read_file(err_path);
    }
  } else {
    ADD_FAILURE() << "cannot redirect the program's streams: " << GetLastError();
  }
  for (HANDLE handle : {in, out, err}) {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  return result;
}

int run_suite(int argc, char** argv, const std::vector<ProgramArgument>& programs) {
  ::testing::InitGoogleTest(&argc, argv);
  if (static_cast<std::size_t>(argc) != programs.size() + 1) {
    std::string usage;
    for (const ProgramArgument& program : programs) usage += std::string(program.usage) + " ";
    std::fprintf(stderr, "usage: %s %s[GoogleTest options]\n", argv[0], usage.c_str());
    return 2;
  }
  for (std::size_t i = 0; i < programs.size(); ++i) *programs[i].path = windows_path(argv[i + 1]);
  return RUN_ALL_TESTS();
}

EmulatorProcess::~EmulatorProcess() {
  if (process_ != nullptr) stop();
}

bool EmulatorProcess::start(const std::wstring& program, const std::vector<std::wstring>& args,
                            const std::filesystem::path& dir) {
  out_path_ = dir / L"velk-emu.out";
  err_path_ = dir / L"velk-emu.err";
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE child_input = nullptr;
  if (!CreatePipe(&child_input, &input_, &inherit, 0)) {
    ADD_FAILURE() << "cannot make a pipe: " << GetLastError();
    return false;
  }
  SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
  HANDLE out = inheritable_file(out_path_, GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE err = inheritable_file(err_path_, GENERIC_WRITE, CREATE_ALWAYS);
  process_ = spawn(program, args, dir, child_input, out, err);
  CloseHandle(child_input);
  CloseHandle(out);
  CloseHandle(err);
  if (process_ == nullptr) return false;

  const ULONGLONG deadline = GetTickCount64() + kReadyBoundMs;
  for (;;) {
    std::vector<std::string> paths;
    for (std::string line : read_lines(out_path_)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line == "ready") {
        paths_ = paths;
        return true;
      }
      paths.push_back(line);
    }
    if (WaitForSingleObject(process_, 20) == WAIT_OBJECT_0) {
      ADD_FAILURE() << "velk-emu.exe exited before it was ready: " << errors();
      return false;
    }
    if (GetTickCount64() > deadline) {
      ADD_FAILURE() << "velk-emu.exe was not ready within " << kReadyBoundMs << " ms: " << errors();
      return false;
    }
  }
}

DWORD EmulatorProcess::stop() {
  if (input_ != nullptr) CloseHandle(input_);
  input_ = nullptr;
  if (process_ == nullptr) return 0xDEADBEEF;
  const DWORD status = wait_for_exit(process_, kStopBoundMs, "velk-emu.exe");
  CloseHandle(process_);
  process_ = nullptr;
  return status;
}

std::string EmulatorProcess::errors() const { return read_file(err_path_); }

}  // namespace tarnlink::testing
