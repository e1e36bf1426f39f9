// Connecting the real tarnlink binary to emulated instruments: which one it
// picks, the handshake the instrument sees, and every way it can fail to connect.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/e2e_harness.h"

namespace tarnlink::e2e {
namespace {

class ConnectionTest : public E2eTest {
 protected:
  // Sends 10000 bytes with plain "tarnlink FILE" and expects success.
  void send_sample(const std::vector<std::string>& extra_args = {}) {
    const std::string file = input_file("sample.bin", sample_bytes(10000));
    std::vector<std::string> args{file};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    const RunResult result = run(args);
    EXPECT_EQ(result.output, kBanner + kSent10000);
    EXPECT_EQ(result.exit_status, 0);
  }

  // Expects exactly `chosen` among `names` to have been opened and sent to,
  // with the whole handshake before the data.
  void expect_only_opened(const std::vector<std::string>& names, const std::string& chosen) {
    stop_emulators();
    for (const std::string& name : names) {
      if (name == chosen) {
        EXPECT_EQ(log_of(name), concat(concat(kHandshakeLog, kWrites10000), {"close"})) << name;
        EXPECT_EQ(bin_of(name), sample_bytes(10000)) << name;
      } else {
        EXPECT_TRUE(log_of(name).empty()) << name << " was touched";
      }
    }
  }
};

struct DefaultChoice {
  int instruments;
  int chosen;  // counted from 1 in order of appearance
};

class DefaultChoiceTest : public ConnectionTest,
                          public ::testing::WithParamInterface<DefaultChoice> {};

// Names in reverse alphabetical order, so that a listing sorted by name would
// pick another instrument than the order of appearance does.
TEST_P(DefaultChoiceTest, OpensTheLastOfUpToSixInOrderOfAppearance) {
  std::vector<std::string> names;
  for (int i = GetParam().instruments; i >= 1; --i) names.push_back("velk-usb-" + std::to_string(i));
  ASSERT_NE(start_emulator(device_args(names)), nullptr);
  send_sample();
  expect_only_opened(names, names[static_cast<std::size_t>(GetParam().chosen - 1)]);
}

INSTANTIATE_TEST_SUITE_P(Counts, DefaultChoiceTest,
                         ::testing::Values(DefaultChoice{1, 1}, DefaultChoice{3, 3},
                                           DefaultChoice{6, 6}, DefaultChoice{9, 6}),
                         [](const ::testing::TestParamInfo<DefaultChoice>& choice) {
                           return std::to_string(choice.param.instruments) + "Instruments";
                         });

TEST_F(ConnectionTest, InstrumentsOfALaterEmulatorComeAfter) {
  ASSERT_NE(start_emulator(device_args({"b", "a"})), nullptr);
  ASSERT_NE(start_emulator(device_args({"0"})), nullptr);
  send_sample();
  expect_only_opened({"b", "a", "0"}, "0");
}

TEST_F(ConnectionTest, TwoDevicesConnectToTheSecond) {
  ASSERT_NE(start_emulator(device_args({"a", "b"})), nullptr);
  send_sample();
  expect_only_opened({"a", "b"}, "b");
}

TEST_F(ConnectionTest, ByNameOpensTheLastPathContainingTheName) {
  const std::vector<std::string> names = {"velk-usb-1-2-SN0007", "velk-usb-1-4-SN0008",
                                          "velk-usb-2-1-SN0009"};
  ASSERT_NE(start_emulator(device_args(names)), nullptr);
  send_sample({"/U", "usb-1-"});
  expect_only_opened(names, "velk-usb-1-4-SN0008");
}

TEST_F(ConnectionTest, ByNameMatchesAnyPartOfThePathIncludingTheDirectory) {
  const std::vector<std::string> names = {"x-1", "x-2"};
  ASSERT_NE(start_emulator(device_args(names)), nullptr);
  send_sample({"/U", device_dir() + "/x-"});
  expect_only_opened(names, "x-2");
}

TEST_F(ConnectionTest, ByNameWithoutAMatchOpensTheFirst) {
  const std::vector<std::string> names = {"velk-a", "velk-b", "velk-c"};
  ASSERT_NE(start_emulator(device_args(names)), nullptr);
  send_sample({"/U", "VELK-B"});  // case matters
  expect_only_opened(names, "velk-a");
}

TEST_F(ConnectionTest, TimeoutSwitchReachesTheInstrumentInHundredNanosecondUnits) {
  ASSERT_NE(start_emulator({"--device", "dev"}), nullptr);
  const std::string file = input_file("sample.bin", sample_bytes(100));
  const std::string answer = root() + "/answer.bin";
  const RunResult result = run({file, answer, "/T", "250"});
  // The first pass of the receiver shows its total, and so does the end.
  EXPECT_EQ(result.output, kBanner + progress("Send: 100 bytes\n") + progress("Read: 100 bytes") +
                               progress("Read: 100 bytes"));
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(read_file(answer), sample_bytes(100));
  stop_emulators();
  EXPECT_EQ(log_of("dev"), concat(kHandshakeLog, {"set-timeout 2500000", "write 100",
                                                  "read -> 100", "read -> 0", "close"}));
}

TEST_F(ConnectionTest, BusyInstrumentIsNotConnected) {
  ASSERT_NE(start_emulator({"--device", "dev", "--fault", "busy"}), nullptr);
  const RunResult result = run({input_file("sample.bin", sample_bytes(10))});
  EXPECT_EQ(result.output, kBanner);
  EXPECT_EQ(result.exit_status, 255);
  stop_emulators();
  EXPECT_TRUE(log_of("dev").empty());
}

TEST_F(ConnectionTest, FailingReadBackIsNotConnected) {
  ASSERT_NE(start_emulator({"--device", "dev", "--fault", "readback:79999999"}), nullptr);
  const RunResult result = run({input_file("sample.bin", sample_bytes(10))});
  EXPECT_EQ(result.output, kBanner);
  EXPECT_EQ(result.exit_status, 255);
  stop_emulators();
  EXPECT_EQ(log_of("dev"), refused_handshake_log("79999999"));
}

TEST_F(ConnectionTest, EmptyReadBackIsNotConnected) {
  ASSERT_NE(start_emulator({"--device", "dev", "--fault", "empty-readback"}), nullptr);
  const RunResult result = run({input_file("sample.bin", sample_bytes(10))});
  EXPECT_EQ(result.output, kBanner);
  EXPECT_EQ(result.exit_status, 255);
}

TEST_F(ConnectionTest, StaleSocketIsNotListed) {
  ASSERT_NE(start_emulator(device_args({"live"})), nullptr);
  Emulator* gone = start_emulator(device_args({"stale"}));
  ASSERT_NE(gone, nullptr);
  gone->kill_hard();
  struct stat st {};
  ASSERT_EQ(lstat(device_path("stale").c_str(), &st), 0) << "the socket should stay behind";
  // Listed, the stale socket would come second and be chosen.
  send_sample();
  expect_only_opened({"live", "stale"}, "live");
}

TEST_F(ConnectionTest, OnlyAStaleSocketMeansNoInstrument) {
  Emulator* gone = start_emulator(device_args({"stale"}));
  ASSERT_NE(gone, nullptr);
  gone->kill_hard();
  const RunResult result = run({input_file("sample.bin", sample_bytes(10))});
  EXPECT_EQ(result.output, kBanner + kNotFound);
  EXPECT_EQ(result.exit_status, 255);
}

TEST_F(ConnectionTest, DirectoryOthersCanWriteIsRefused) {
  ASSERT_NE(start_emulator(device_args({"dev"})), nullptr);
  for (const mode_t mode : {mode_t{0770}, mode_t{0703}}) {
    ASSERT_EQ(chmod(device_dir().c_str(), mode), 0);
    const RunResult result = run({input_file("sample.bin", sample_bytes(10))});
    EXPECT_EQ(result.output, kBanner + kListingFailed) << std::oct << mode;
    EXPECT_EQ(result.exit_status, 255);
  }
  ASSERT_EQ(chmod(device_dir().c_str(), 0700), 0);
  stop_emulators();
  EXPECT_TRUE(log_of("dev").empty());
}

TEST_F(ConnectionTest, DirectoryOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the directory away";
  ASSERT_NE(start_emulator(device_args({"dev"})), nullptr);
  ASSERT_EQ(chown(device_dir().c_str(), 65534, 65534), 0);
  const RunResult result = run({input_file("sample.bin", sample_bytes(10))});
  EXPECT_EQ(result.output, kBanner + kListingFailed);
  EXPECT_EQ(result.exit_status, 255);
  ASSERT_EQ(chown(device_dir().c_str(), 0, 0), 0);
}

TEST_F(ConnectionTest, NoDirectoryMeansNoInstrument) {
  const RunResult result = run({input_file("sample.bin", sample_bytes(10))});
  EXPECT_EQ(result.output, kBanner + kNotFound);
  EXPECT_EQ(result.exit_status, 255);
}

TEST_F(ConnectionTest, EmptyDirectoryAfterTheEmulatorStoppedMeansNoInstrument) {
  ASSERT_NE(start_emulator(device_args({"dev"})), nullptr);
  stop_emulators();
  const RunResult result = run({input_file("sample.bin", sample_bytes(10))});
  EXPECT_EQ(result.output, kBanner + kNotFound);
  EXPECT_EQ(result.exit_status, 255);
}

}  // namespace
}  // namespace tarnlink::e2e
