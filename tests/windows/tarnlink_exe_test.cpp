// tarnlink.exe as a user runs it, with no instrument attached: each case starts the
// program with its standard output and error redirected to files and compares the
// bytes stored and the exit status. One Wine start carries every case.
//   tarnlink_exe_test <path of tarnlink.exe> [GoogleTest options]
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::wstring g_program;

constexpr DWORD kExitFailure = static_cast<DWORD>(-1);
constexpr DWORD kRunBoundMs = 30000;

const std::string kBanner = "tarnlink ver 2.3 - Morlend - DRQ \r\n";
const std::string kUsage =
    "tarnlink <filename>  - send <filename> to VELK Device\r\n"
    "tarnlink <filename> /M - send <filename> to VELK Device as Firmware\r\n"
    "tarnlink <filename1> <filename2> [/T<n>] - send <filename> to VELK Device and read "
    "<filename2> from VELK Device\r\n"
    "     [/T<n>] - optional TimeOut\r\n"
    "tarnlink <string> <filename> /S [/T<n>] - send sequence of characters <string> to VELK "
    "Device and read <filneme> from VELK Device\r\n"
    "     [/T<n>] - optional TimeOut i mili second\r\n"
    "     - if filename is CON as output - it'll be screen\r\n"
    "     - default timeout is 8 sek\r\n"
    "tarnlink <filename> /U <USBName> - send <filename> to Velk Device connected by <USBName> "
    "port.\r\n";
const std::string kInvalidFour = " Invalid  parameters\r\n";
const std::string kInvalidMore = "  Invalid  parameters\r\n";
const std::string kNoDevice = "Device not found!\r\n";

struct Outcome {
  DWORD status = 0xDEADBEEF;
  std::string out;
  std::string err;
};

std::string file_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Quotes every argument, so blanks and empty arguments arrive as given.
std::wstring command_line(const std::vector<std::wstring>& args) {
  std::wstring line = L"\"" + g_program + L"\"";
  for (const auto& arg : args) line += L" \"" + arg + L"\"";
  return line;
}

class TarnlinkExe : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::current_path() /
           ("tarnlink_exe_" + std::to_string(GetCurrentProcessId()) + "_" + info->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ / L"payload.bin", std::ios::binary) << std::string("AB\r\n\x1A", 5);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  HANDLE inheritable_file(const std::filesystem::path& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  // Runs tarnlink.exe in the scratch directory; a run that outlives its bound fails the case.
  Outcome run(const std::vector<std::wstring>& args) {
    const auto out_path = dir_ / L"stdout.txt";
    const auto err_path = dir_ / L"stderr.txt";
    HANDLE out = inheritable_file(out_path, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE err = inheritable_file(err_path, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE in = inheritable_file(L"NUL", GENERIC_READ, OPEN_EXISTING);
    Outcome result;
    if (out == INVALID_HANDLE_VALUE || err == INVALID_HANDLE_VALUE || in == INVALID_HANDLE_VALUE) {
      ADD_FAILURE() << "cannot redirect the program's streams: " << GetLastError();
      return result;
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    std::wstring line = command_line(args);
    const BOOL started = CreateProcessW(g_program.c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, dir_.c_str(), &startup, &process);
    const DWORD start_error = GetLastError();
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    if (!started) {
      ADD_FAILURE() << "cannot start tarnlink.exe: " << start_error;
      return result;
    }
    if (WaitForSingleObject(process.hProcess, kRunBoundMs) != WAIT_OBJECT_0) {
      TerminateProcess(process.hProcess, 1);
      WaitForSingleObject(process.hProcess, kRunBoundMs);
      ADD_FAILURE() << "tarnlink.exe did not finish within " << kRunBoundMs << " ms";
    }
    GetExitCodeProcess(process.hProcess, &result.status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    result.out = file_bytes(out_path);
    result.err = file_bytes(err_path);
    return result;
  }

  std::filesystem::path dir_;
};

TEST_F(TarnlinkExe, NoArgumentsPrintsBannerAndUsageWithCrLf) {
  Outcome r = run({});
  EXPECT_EQ(r.status, 0u);
  EXPECT_EQ(r.out, kBanner + kUsage);
  EXPECT_EQ(r.err, "");
}

TEST_F(TarnlinkExe, VersionPrintsOnlyTheBanner) {
  Outcome r = run({L"--VERSION"});
  EXPECT_EQ(r.status, 0u);
  EXPECT_EQ(r.out, kBanner);
}

TEST_F(TarnlinkExe, InvalidFormsAreRejectedWithoutTouchingTheDevice) {
  struct Case {
    std::vector<std::wstring> args;
    std::string message;
  };
  const Case cases[] = {
      {{L"payload.bin", L"out.bin", L"/T100"}, kInvalidFour},
      {{L"payload.bin", L"/X", L"name"}, kInvalidFour},
      {{L"text", L"out.bin", L"/S", L"/T"}, kInvalidMore},
      {{L"payload.bin", L"out.bin", L"/X", L"100"}, kInvalidMore},
      {{L"text", L"out.bin", L"/S", L"/X", L"100"}, kInvalidMore},
      {{L"text", L"out.bin", L"/X", L"/T", L"100"}, kInvalidMore},
      // Six user arguments name no job either.
      {{L"a", L"b", L"c", L"d", L"e", L"f"}, kInvalidMore},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(command_line(c.args)));
    Outcome r = run(c.args);
    EXPECT_EQ(r.status, kExitFailure);
    EXPECT_EQ(r.out, kBanner + c.message);
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(TarnlinkExe, MissingFileIsReportedBeforeAnyDeviceAccess) {
  Outcome r = run({L"missing.bin"});
  EXPECT_EQ(r.status, kExitFailure);
  EXPECT_EQ(r.out, kBanner + "Unable to open file\r\n");
  EXPECT_EQ(r.err, "");
}

// The real Setup API enumeration finds no interface of the driver's class.
TEST_F(TarnlinkExe, EveryJobWithoutAnInstrumentEndsInDeviceNotFound) {
  const std::vector<std::wstring> jobs[] = {
      {L"payload.bin"},
      {L"payload.bin", L"/m"},
      {L"payload.bin", L"answer.bin"},
      {L"payload.bin", L"con", L"/T", L"100"},
      {L"AB", L"answer.bin", L"/S"},
      {L"AB", L"answer.bin", L"/s", L"/t", L"100"},
      {L"payload.bin", L"/U", L"USB1"},
      {L"/l"},
  };
  for (const auto& args : jobs) {
    SCOPED_TRACE(::testing::PrintToString(command_line(args)));
    Outcome r = run(args);
    EXPECT_EQ(r.status, kExitFailure);
    EXPECT_EQ(r.out, kBanner + kNoDevice);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(std::filesystem::exists(dir_ / L"answer.bin"));
  }
}

TEST_F(TarnlinkExe, NonAsciiFileNameAndTextArriveIntact) {
  const std::wstring name = L"p\u00e9\u0107\u4e2d.bin";
  std::filesystem::copy_file(dir_ / L"payload.bin", dir_ / name);
  Outcome file_run = run({name});
  EXPECT_EQ(file_run.status, kExitFailure);
  EXPECT_EQ(file_run.out, kBanner + kNoDevice);

  Outcome text_run = run({L"caf\u00e9 \u00ff", L"answer.bin", L"/S"});
  EXPECT_EQ(text_run.status, kExitFailure);
  EXPECT_EQ(text_run.out, kBanner + kNoDevice);
}

// Wine's C library misjudges U+0100 in its length query, so only the program's own
// check stands between such text and a silently shortened payload.
TEST_F(TarnlinkExe, StringBeyondLatin1IsRefusedBeforeAnyDeviceAccess) {
  for (const std::wstring text : {L"\u0100", L"ab\u20ac", L"x\U0001F600"}) {
    Outcome r = run({text, L"answer.bin", L"/S"});
    EXPECT_EQ(r.status, kExitFailure);
    EXPECT_EQ(r.out, kBanner + "Character above U+00FF in string\r\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <path of tarnlink.exe> [GoogleTest options]\n", argv[0]);
    return 2;
  }
  std::string program = argv[1];
  // The build names the program by its Unix path; Wine's drive Z: is the Unix root.
  if (!program.empty() && program.front() == '/') {
    program = "Z:" + program;
    for (char& c : program) {
      if (c == '/') c = '\\';
    }
  }
  g_program.assign(program.begin(), program.end());
  return RUN_ALL_TESTS();
}
