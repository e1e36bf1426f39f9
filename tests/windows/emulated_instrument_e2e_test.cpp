// tarnlink.exe against instruments that velk-emu.exe makes present through its
// test driver: the real Setup API listing, CreateFileW, WriteFile, ReadFile and
// DeviceIoControl. Each case checks what the operator sees (CR LF), what the
// instrument got and its capture log. Each case runs in a Wine prefix of its own.
//   emulated_instrument_e2e_test <tarnlink.exe> <velk-emu.exe> [GoogleTest options]
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/expected_text.h"
#include "support/win32_process.h"

namespace tarnlink::testing {
namespace {

std::wstring g_tarnlink;
std::wstring g_velk_emu;

constexpr DWORD kCloseBoundMs = 10000;

using Lines = std::vector<std::string>;

class EmulatedInstrument : public ::testing::Test {
 protected:
  void SetUp() override { dir_.file("data.bin", sample_bytes(10000)); }
  void TearDown() override {
    if (running_) {
      EXPECT_EQ(emulator_.stop(), 0u) << emulator_.errors();
    }
  }

  // velk-emu.exe with one instrument per name, capturing into dir_/capture.
  bool start(const std::vector<std::string>& names, const std::vector<std::wstring>& more = {}) {
    std::vector<std::wstring> args;
    for (const std::string& name : names) args.insert(args.end(), {L"--device", widen(name)});
    args.insert(args.end(), {L"--capture", path("capture").wstring()});
    args.insert(args.end(), more.begin(), more.end());
    running_ = emulator_.start(g_velk_emu, args, dir_.path());
    return running_;
  }
  DWORD stop() {
    running_ = false;
    return emulator_.stop();
  }
  ProgramRun tarnlink(const std::vector<std::wstring>& args) { return run_program(g_tarnlink, args, dir_.path()); }

  // The instrument's log as it stands.
  std::vector<std::string> log(const std::string& name) {
    return read_lines(path("capture") / (name + ".log"));
  }
  // Its log once it ends in "close": a client's close reaches the instrument
  // after the client has exited.
  std::vector<std::string> closed_log(const std::string& name) {
    const ULONGLONG deadline = GetTickCount64() + kCloseBoundMs;
    std::vector<std::string> lines = log(name);
    while ((lines.empty() || lines.back() != "close") && GetTickCount64() < deadline) {
      Sleep(10);
      lines = log(name);
    }
    return lines;
  }
  std::string bin(const std::string& name) { return read_file(path("capture") / (name + ".bin")); }
  std::filesystem::path path(const char* name) const { return dir_.path() / name; }

  // Declared before the emulator, so that the directory outlives it.
  TempDir dir_;
  EmulatorProcess emulator_;
  bool running_ = false;
};

using Jobs = EmulatedInstrument;
using Choice = EmulatedInstrument;
using Faults = EmulatedInstrument;
using Answer = EmulatedInstrument;
using Memory = EmulatedInstrument;

TEST_F(Jobs, SendFirmwareAndSendByName) {
  ASSERT_TRUE(start({"usb-1-1-sn0001", "usb-2-4-sn0042"}));
  const std::string image = firmware_image_10000();
  write_file(path("fw.img"), image);

  ProgramRun send = tarnlink({L"data.bin"});
  EXPECT_EQ(send.status, 0u);
  EXPECT_EQ(send.out, crlf(kBanner + kSent10000));
  ASSERT_EQ(closed_log("usb-2-4-sn0042"), concat(concat(kHandshakeLog, kWrites10000), {"close"}));

  ProgramRun firmware = tarnlink({L"fw.img", L"/M"});
  EXPECT_EQ(firmware.status, 0u);
  EXPECT_EQ(firmware.out, crlf(kBanner + kSent10000));
  EXPECT_EQ(closed_log("usb-2-4-sn0042").size(), 2 * kHandshakeLog.size() + 9);
  EXPECT_EQ(bin("usb-2-4-sn0042"), sample_bytes(10000) + kPreamble10000 + image);

  ProgramRun named = tarnlink({L"data.bin", L"/U", L"usb-1-1"});
  EXPECT_EQ(named.status, 0u);
  EXPECT_EQ(named.out, crlf(kBanner + kSent10000));
  EXPECT_EQ(closed_log("usb-1-1-sn0001"),
            concat(concat(kHandshakeLog, kWrites10000), {"close"}));
  EXPECT_EQ(bin("usb-1-1-sn0001"), sample_bytes(10000));
}

TEST_F(Jobs, SendThenStoreOrPrintTheAnswer) {
  ASSERT_TRUE(start({"velk"}));
  ProgramRun stored = tarnlink({L"data.bin", path("answer.bin").wstring(), L"/T", L"300"});
  EXPECT_EQ(stored.status, 0u);
  // One pass, then the closing total.
  EXPECT_EQ(stored.out,
            crlf(kBanner + kSent10000 + progress("Read: 9 KB") + progress("Read: 9 KB")));
  EXPECT_EQ(read_file(path("answer.bin")), sample_bytes(10000));
  EXPECT_EQ(closed_log("velk"),
            concat(concat(kHandshakeLog, {"set-timeout 3000000"}),
                   concat(kWrites10000,
                          {"read -> 4096", "read -> 4096", "read -> 1808", "read -> 0", "close"})));

  write_file(path("query.txt"), "*IDN?");
  const std::string screen = crlf(kBanner + progress("Send: 5 bytes\n") + "*IDN?\nRead 5 bytes \n");
  ProgramRun printed = tarnlink({L"query.txt", L"CON", L"/T", L"200"});
  EXPECT_EQ(printed.status, 0u);
  EXPECT_EQ(printed.out, screen);
  ProgramRun typed = tarnlink({L"*IDN?", L"con", L"/S", L"/t", L"200"});
  EXPECT_EQ(typed.status, 0u);
  EXPECT_EQ(typed.out, screen);
  const Lines query =
      concat(kHandshakeLog, {"set-timeout 2000000", "write 5", "read -> 5", "close"});
  EXPECT_EQ(closed_log("velk").size(), kHandshakeLog.size() + 9 + 2 * query.size());
  // Typed text goes as its ISO 8859-1 bytes, and their echo is stored as such.
  ProgramRun latin1 = tarnlink({L"caf\u00e9 \u00ff", L"latin1.bin", L"/S", L"/T", L"200"});
  EXPECT_EQ(latin1.status, 0u);
  EXPECT_EQ(read_file(path("latin1.bin")), "caf\xe9 \xff");
  EXPECT_EQ(bin("velk"), sample_bytes(10000) + "*IDN?*IDN?" + "caf\xe9 \xff");
}

TEST_F(Choice, DefaultAmongThreeByNameAndTheList) {
  // The interfaces are listed in the order of their names, here the order given.
  ASSERT_TRUE(start({"usb-1-1-sn0001", "usb-1-2-sn0002", "usb-1-3-sn0003"}));
  const std::vector<std::string>& paths = emulator_.paths();
  ASSERT_EQ(paths.size(), 3u);
  const char* const names[] = {"usb-1-1-sn0001", "usb-1-2-sn0002", "usb-1-3-sn0003"};
  for (std::size_t i = 0; i < paths.size(); ++i) {
    EXPECT_NE(paths[i].find(std::string("#") + names[i] + "#"), std::string::npos) << paths[i];
  }
  ProgramRun list = tarnlink({L"/L"});
  EXPECT_EQ(list.status, 0u);
  EXPECT_EQ(list.out, crlf(kBanner + "1 " + paths[0] + "\n2 " + paths[1] + "\n3 " + paths[2] + "\n"));

  EXPECT_EQ(tarnlink({L"data.bin"}).status, 0u);
  EXPECT_EQ(closed_log("usb-1-3-sn0003").size(), kHandshakeLog.size() + 4);
  EXPECT_EQ(tarnlink({L"data.bin", L"/U", L"sn0002"}).status, 0u);
  EXPECT_EQ(closed_log("usb-1-2-sn0002").size(), kHandshakeLog.size() + 4);
  // Letter case counts: no path holds "SN0002", so the first listed is used.
  EXPECT_EQ(tarnlink({L"data.bin", L"/U", L"SN0002"}).status, 0u);
  EXPECT_EQ(closed_log("usb-1-1-sn0001").size(), kHandshakeLog.size() + 4);

  // Leaving, velk-emu.exe takes its instruments away.
  EXPECT_EQ(stop(), 0u);
  ProgramRun after = tarnlink({L"/L"});
  EXPECT_EQ(after.status, kExitFailure);
  EXPECT_EQ(after.out, crlf(kBanner + kNotFound));
}

TEST_F(Choice, EmulatorCommandLine) {
  for (const std::vector<std::wstring>& args :
       {std::vector<std::wstring>{L"--dir", L"C:\\velk"}, std::vector<std::wstring>{L"--device", L"SN0001"}}) {
    ProgramRun refused = run_program(g_velk_emu, args, dir_.path());
    EXPECT_EQ(refused.status, 2u);
    EXPECT_EQ(refused.out, "");
    EXPECT_NE(refused.err, "");
  }
  // Help and version go to standard output, and install nothing.
  ProgramRun help = run_program(g_velk_emu, {L"--help"}, dir_.path());
  EXPECT_EQ(help.status, 0u);
  EXPECT_EQ(help.out.rfind("usage: velk-emu [--device NAME]...", 0), 0u) << help.out;
  ProgramRun version = run_program(g_velk_emu, {L"--version"}, dir_.path());
  EXPECT_EQ(version.status, 0u);
  EXPECT_EQ(version.out.rfind("velk-emu ", 0), 0u) << version.out;
  EXPECT_EQ(version.err, "");
}

TEST_F(Faults, WrongReadbackFailsTheHandshake) {
  ASSERT_TRUE(start({"velk"}, {L"--fault", L"readback:5"}));
  ProgramRun run = tarnlink({L"data.bin"});
  EXPECT_EQ(run.status, kExitFailure);
  EXPECT_EQ(run.out, crlf(kBanner));
  EXPECT_EQ(closed_log("velk"), refused_handshake_log("5"));
}

TEST_F(Faults, BusyInstrumentTakesNothing) {
  ASSERT_TRUE(start({"velk"}, {L"--fault", L"busy"}));
  ProgramRun run = tarnlink({L"data.bin"});
  EXPECT_EQ(run.status, kExitFailure);
  EXPECT_EQ(run.out, crlf(kBanner));
  EXPECT_TRUE(log("velk").empty());
  EXPECT_EQ(bin("velk"), "");
}

TEST_F(Faults, WriteErrorEndsTheSend) {
  ASSERT_TRUE(start({"velk"}, {L"--fault", L"write-error:2"}));
  ProgramRun run = tarnlink({L"data.bin"});
  EXPECT_EQ(run.status, kExitFailure);
  EXPECT_EQ(run.out, crlf(kBanner + kErrorLine));
  EXPECT_EQ(closed_log("velk"), concat(kHandshakeLog, {"write 4096", "write 4096", "close"}));
  EXPECT_EQ(bin("velk"), sample_bytes(4096));
}

TEST_F(Faults, DisconnectDuringSendRemovesTheInstrument) {
  ASSERT_TRUE(start({"velk-a", "velk-b"}, {L"--fault", L"disconnect:2"}));
  ProgramRun run = tarnlink({L"data.bin"});
  EXPECT_EQ(run.status, kExitFailure);
  EXPECT_EQ(run.out, crlf(kBanner + progress("8192 / 10000") + kErrorLine));
  EXPECT_EQ(log("velk-b"), concat(kHandshakeLog, {"write 4096", "write 4096"}));
  ProgramRun list = tarnlink({L"/L"});
  EXPECT_EQ(list.out, crlf(kBanner + "1 " + emulator_.paths()[0] + "\n"));
}

TEST_F(Faults, FailedReadFailsTheJobOnlyWhenTheInstrumentIsGone) {
  // Still listed after the failure: it may be how the driver ends a read at the
  // timeout, so the answer ends there and what came is stored.
  ASSERT_TRUE(start({"velk"}, {L"--answer", L"pattern:20000", L"--fault", L"read-error:3"}));
  ProgramRun listed = tarnlink({L"data.bin", path("answer.bin").wstring(), L"/T", L"300"});
  EXPECT_EQ(listed.status, 0u);
  EXPECT_EQ(listed.out, crlf(kBanner + kSent10000 + progress("Read: 8 KB") + progress("Read: 8 KB")));
  EXPECT_EQ(read_file(path("answer.bin")), pattern_bytes(8192));
  EXPECT_EQ(stop(), 0u);

  // Gone after the last block: the read that fails cut the answer off.
  ASSERT_TRUE(start({"velk"}, {L"--fault", L"disconnect:3"}));
  ProgramRun gone = tarnlink({L"data.bin", path("gone.bin").wstring(), L"/T", L"300"});
  EXPECT_EQ(gone.status, kExitFailure);
  EXPECT_EQ(gone.out, crlf(kBanner + kSent10000 + progress("Read: 0 bytes") + kErrorLine));
  EXPECT_EQ(read_file(path("gone.bin")), "");
}

TEST_F(Answer, TenPassesStoredInAFile) {
  constexpr std::size_t kPass = 65536;
  ASSERT_TRUE(start({"velk"}, {L"--answer", L"pattern:" + std::to_wstring(10 * kPass)}));
  write_file(path("one.bin"), "?");
  ProgramRun run = tarnlink({L"one.bin", path("answer.bin").wstring(), L"/T", L"300"});
  EXPECT_EQ(run.status, 0u);
  // The running total shows at every fourth pass, the closing total at the end.
  const std::string quiet = progress("") + progress("") + progress("");
  const std::string reads = progress("Read: 64 KB") + quiet + progress("Read: 320 KB") + quiet +
                            progress("Read: 576 KB") + progress("") + progress("Read: 640 KB");
  EXPECT_EQ(run.out, crlf(kBanner + progress("Send: 1 bytes\n") + reads));
  EXPECT_EQ(read_file(path("answer.bin")), pattern_bytes(10 * kPass));
  const std::vector<std::string> lines = closed_log("velk");
  // The timeout, the one write, 160 full chunks, the read that ends it, the close.
  ASSERT_EQ(lines.size(), kHandshakeLog.size() + 2 + 160 + 2);
  EXPECT_EQ(lines[lines.size() - 2], "read -> 0");
}

// A payload is loaded whole. The largest file tarnlink takes, 2 GiB less one byte,
// needs more room in one piece than Wine gives a 32-bit process, large-address-
// aware as it is (about 1.8 GB): the program must refuse it before it uses any
// instrument. The file is sparse, so nothing of it is written, and it is never
// read.
TEST_F(Memory, LargestFileIsRefusedWithoutRoom) {
  DWORD type = 0;
  ASSERT_TRUE(GetBinaryTypeW(g_tarnlink.c_str(), &type)) << GetLastError();
  if (type != SCS_32BIT_BINARY) GTEST_SKIP() << "a 64-bit tarnlink.exe has the room";
  ASSERT_TRUE(start({"velk"}));
  write_file(path("large.bin"), "");
  std::filesystem::resize_file(path("large.bin"), 0x7FFFFFFF);
  ProgramRun run = tarnlink({L"large.bin"});
  EXPECT_EQ(run.status, kExitFailure);
  EXPECT_EQ(run.out, crlf(kBanner + kNotEnoughMemory));
  EXPECT_TRUE(log("velk").empty());
  EXPECT_EQ(bin("velk"), "");
}

}  // namespace
}  // namespace tarnlink::testing

int main(int argc, char** argv) {
  return tarnlink::testing::run_suite(argc, argv,
                                      {{"<tarnlink.exe>", &tarnlink::testing::g_tarnlink},
                                       {"<velk-emu.exe>", &tarnlink::testing::g_velk_emu}});
}
