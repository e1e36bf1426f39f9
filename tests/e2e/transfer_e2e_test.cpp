// Every job of the real tarnlink binary against an emulated instrument: what the
// operator sees, what reached the instrument, and what was stored of its answer.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "support/e2e_harness.h"

namespace tarnlink::e2e {
namespace {

class TransferTest : public E2eTest {
 protected:
  // One instrument "velk" with `args`; false when it did not start.
  bool instrument(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--device", "velk"});
    return start_emulator(args) != nullptr;
  }
  std::vector<std::string> log() {
    stop_emulators();
    return log_of("velk");
  }
};

TEST_F(TransferTest, SendInBlocksWithProgress) {
  ASSERT_TRUE(instrument());
  const RunResult result = run({input_file("data.bin", sample_bytes(10000))});
  EXPECT_EQ(result.output, kBanner + kSent10000);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(log(), concat(concat(kHandshakeLog, kWrites10000), {"close"}));
  EXPECT_EQ(bin_of("velk"), sample_bytes(10000));
}

TEST_F(TransferTest, EmptyFileSendsNothing) {
  ASSERT_TRUE(instrument());
  const RunResult result = run({input_file("empty", "")});
  EXPECT_EQ(result.output, kBanner + progress("Send: 0 bytes\n"));
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(log(), concat(kHandshakeLog, {"close"}));
}

TEST_F(TransferTest, FirmwarePreambleThenTheWholeImage) {
  ASSERT_TRUE(instrument());
  const std::string image = firmware_image_10000();
  const RunResult result = run({input_file("fw.bin", image), "/m"});
  EXPECT_EQ(result.output, kBanner + kSent10000);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(log(), concat(concat(kHandshakeLog, concat({"write 9"}, kWrites10000)), {"close"}));
  EXPECT_EQ(bin_of("velk"), kPreamble10000 + image);
}

TEST_F(TransferTest, FirmwareTooShortWritesNothing) {
  ASSERT_TRUE(instrument());
  const RunResult result = run({input_file("fw.bin", sample_bytes(32)), "/M"});
  EXPECT_EQ(result.output, kBanner + kFirmwareTooShort);
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(log(), concat(kHandshakeLog, {"close"}));
  EXPECT_EQ(bin_of("velk"), "");
}

TEST_F(TransferTest, EchoRoundTripStoresEveryByte) {
  ASSERT_TRUE(instrument());
  const std::string data = sample_bytes(200000);
  const std::string output = root() + "/answer.bin";
  const RunResult result = run({input_file("data.bin", data), output, "/T", "300"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(read_file(output), data);
  const std::string tail = progress("Read: 195 KB");
  ASSERT_GE(result.output.size(), tail.size());
  EXPECT_EQ(result.output.substr(result.output.size() - tail.size()), tail);
  EXPECT_THAT(log(), ::testing::Contains("set-timeout 3000000"));
}

TEST_F(TransferTest, SmallAnswerExactOutput) {
  ASSERT_TRUE(instrument());
  const std::string output = root() + "/answer.bin";
  const RunResult result = run({input_file("data.bin", sample_bytes(5000)), output, "/T", "200"});
  EXPECT_EQ(result.output, kBanner + progress("Send: 5000 bytes\n") + progress("Read: 4 KB") +
                               progress("Read: 4 KB"));
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(read_file(output), sample_bytes(5000));
  EXPECT_EQ(log(), concat(kHandshakeLog, {"set-timeout 2000000", "write 4096", "write 904",
                                          "read -> 4096", "read -> 904", "read -> 0", "close"}));
}

TEST_F(TransferTest, AnswerOfExactly4096BytesIsKept) {
  ASSERT_TRUE(instrument({"--answer", "pattern:4096"}));
  const std::string output = root() + "/answer.bin";
  const RunResult result = run({input_file("one", "x"), output, "/T", "100"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(read_file(output), pattern_bytes(4096));
  EXPECT_EQ(result.output, kBanner + progress("Send: 1 bytes\n") + progress("Read: 4 KB") +
                               progress("Read: 4 KB"));
}

TEST_F(TransferTest, StringToTheScreen) {
  ASSERT_TRUE(instrument());
  const RunResult result = run({"*IDN?", "Con", "/S", "/T", "100"});
  EXPECT_EQ(result.output, kBanner + progress("Send: 5 bytes\n") + "*IDN?\nRead 5 bytes \n");
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(bin_of("velk"), "*IDN?");
}

TEST_F(TransferTest, StringIsSentAsLatin1) {
  ASSERT_TRUE(instrument({"--answer", "silent"}));
  const std::string output = root() + "/answer.bin";
  const RunResult result = run({"caf\xC3\xA9", output, "/S", "/T", "50"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(bin_of("velk"), "caf\xE9");
  EXPECT_EQ(read_file(output), "");
}

TEST_F(TransferTest, ScreenAnswerStopsAtZeroButCountsAll) {
  ASSERT_TRUE(instrument({"--answer", "pattern:300"}));
  const RunResult result = run({input_file("one", "x"), "CON", "/T", "100"});
  // Pattern byte 0 is zero: nothing of the text shows, every byte is counted.
  EXPECT_EQ(result.output, kBanner + progress("Send: 1 bytes\n") + "\nRead 300 bytes \n");
  EXPECT_EQ(result.exit_status, 0);
}

TEST_F(TransferTest, NamedSendGoesToTheMatchingInstrument) {
  ASSERT_NE(start_emulator({"--device", "usb-1-1-SN0001", "--device", "usb-2-4-SN0777",
                            "--device", "usb-3-1-SN0002"}),
            nullptr);
  const RunResult result = run({input_file("data.bin", sample_bytes(100)), "/U", "2-4"});
  EXPECT_EQ(result.exit_status, 0);
  stop_emulators();
  EXPECT_EQ(bin_of("usb-2-4-SN0777"), sample_bytes(100));
  EXPECT_TRUE(log_of("usb-3-1-SN0002").empty());
}

TEST_F(TransferTest, ReceiveIntoAFullDiskFails) {
  ASSERT_TRUE(instrument({"--answer", "pattern:100000"}));
  const RunResult result = run({input_file("one", "x"), "/dev/full", "/T", "100"});
  EXPECT_EQ(result.output,
            kBanner + progress("Send: 1 bytes\n") + progress("Read: 64 KB") + "\n" +
                kUnableToWrite);
  EXPECT_EQ(result.exit_status, 255);
}

TEST_F(TransferTest, OutputThatCannotBeCreatedFailsBeforeTheInstrumentIsOpened) {
  ASSERT_TRUE(instrument());
  const RunResult result = run({input_file("one", "x"), root() + "/no/such/dir/out", "/T", "100"});
  EXPECT_EQ(result.output, kBanner + kUnableToCreate);
  EXPECT_EQ(result.exit_status, 255);
  stop_emulators();
  EXPECT_TRUE(log().empty());
}

TEST_F(TransferTest, ReadErrorKeepsEverythingBeforeItAndFails) {
  ASSERT_TRUE(instrument({"--answer", "pattern:20000", "--fault", "read-error:3"}));
  const std::string output = root() + "/answer.bin";
  const RunResult result = run({input_file("one", "x"), output, "/T", "100"});
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(read_file(output), pattern_bytes(8192));
  EXPECT_EQ(result.output, kBanner + progress("Send: 1 bytes\n") + progress("Read: 8 KB") +
                               progress("Read: 8 KB") + kErrorLine);
}

TEST_F(TransferTest, FifoOutputWaitsForItsReaderBeforeAnythingIsSent) {
  ASSERT_TRUE(instrument());
  const std::string fifo = root() + "/answer.fifo", pid_file = root() + "/pid";
  const std::string probe = root() + "/probe.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(probe.c_str(), 0600), 0);
  const std::string in_open = fifo_open_call(probe);
  ASSERT_FALSE(in_open.empty()) << "no thread was seen waiting in the open of a FIFO";
  const std::vector<std::string> args{"-c", "echo $$ >\"$0\"; exec \"$@\"", pid_file,
                                      tarnlink_binary(), input_file("data.bin", "hello"), fifo,
                                      "/T", "100"};
  RunOptions options;
  options.env.emplace("VELK_DEVICE_DIR", device_dir());
  auto running = std::async(std::launch::async, [&] { return run_program("/bin/sh", args, options); });
  // The program waits in the open of the FIFO, and the instrument has seen nothing.
  const bool waiting = wait_until(
      [&] {
        std::string pid = read_file(pid_file);
        if (pid.empty() || pid.back() != '\n') return false;
        pid.pop_back();
        return read_file("/proc/" + pid + "/syscall").rfind(in_open, 0) == 0;
      },
      kStepLimit);
  const std::vector<std::string> before = log_of("velk");
  // A reader that never blocks; once the program holds the write end, reads wait for it.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  ASSERT_EQ(fcntl(reader, F_SETFL, 0), 0);
  std::string answer;
  char buffer[256];
  for (ssize_t got; (got = read(reader, buffer, sizeof buffer)) > 0;) {
    answer.append(buffer, static_cast<std::size_t>(got));
  }
  close(reader);
  EXPECT_EQ(running.get().exit_status, 0);
  EXPECT_TRUE(waiting) << "the program never waited for the FIFO's reader";
  EXPECT_TRUE(before.empty()) << "the instrument was used before the output had a reader";
  EXPECT_EQ(answer, "hello");
}

// Standard output that cannot be written: the answer for the screen is lost, and
// standard error says so. The shell puts standard error where standard output was.
TEST_F(TransferTest, ScreenAnswerThatStandardOutputDidNotTakeFails) {
  ASSERT_TRUE(instrument());
  const std::string query = input_file("q.txt", "*IDN?");
  RunOptions options;
  options.env.emplace("VELK_DEVICE_DIR", device_dir());
  for (const auto& [redirect, reason] : std::vector<std::pair<std::string, std::string>>{
           {">/dev/full", "No space left on device"}, {">&-", "Bad file descriptor"}}) {
    const RunResult result = run_program(
        "/bin/sh", {"-c", "\"$0\" \"$@\" 2>&1 " + redirect, tarnlink_binary(), query, "con", "/T", "100"},
        options);
    EXPECT_EQ(result.output, "Unable to write standard output: " + reason + "\n") << redirect;
    EXPECT_EQ(result.exit_status, 255) << redirect;
  }
  EXPECT_EQ(bin_of("velk"), "*IDN?*IDN?") << "both runs reached the instrument";
}

struct SendFault {
  const char* name;
  const char* fault;
  std::string shown;  // what follows the banner
};

class SendFaultTest : public TransferTest, public ::testing::WithParamInterface<SendFault> {};

TEST_P(SendFaultTest, FailedBlockStopsTheSend) {
  ASSERT_TRUE(instrument({"--fault", GetParam().fault}));
  const RunResult result = run({input_file("data.bin", sample_bytes(10000))});
  EXPECT_EQ(result.output, kBanner + GetParam().shown);
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_FALSE(result.timed_out);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SendFaultTest,
    ::testing::Values(SendFault{"ShortWrite", "short-write:1", kErrorLine},
                      SendFault{"WriteError", "write-error:3",
                                progress("8192 / 10000") + kErrorLine},
                      SendFault{"Disconnect", "disconnect:1", kErrorLine}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace tarnlink::e2e
