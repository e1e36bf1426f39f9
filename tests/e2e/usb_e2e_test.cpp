// The real tarnlink on instruments of the emulated USB bus: every job, one
// listing over the device directory and the bus together, and the bus as
// hardware behaves: a node this user may not open, a link slower than the
// host waits, a stalled endpoint.
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/e2e_harness.h"

namespace tarnlink::e2e {
namespace {

const std::vector<std::string> kTwo = {"--device", "SN-A", "--device", "SN-B"};

// A connection's log on the bus: the claim, `lines`, the release. The link
// timeout never reaches the instrument.
std::vector<std::string> claimed(const std::vector<std::string>& lines) {
  return concat(concat({"open"}, lines), {"close"});
}

using UsbJobsTest = E2eTest;

TEST_F(UsbJobsTest, SendFirmwareAndNamedSendReachTheirInstrument) {
  const std::string data = sample_bytes(10000);
  RunResult result = run_on_bus(kTwo, {input_file("data.bin", data)});
  EXPECT_EQ(result.output, kBanner + kSent10000);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(log_of("SN-B"), claimed(kWrites10000));
  EXPECT_EQ(bin_of("SN-B"), data);
  EXPECT_TRUE(log_of("SN-A").empty());

  const std::string image = firmware_image_10000();
  result = run_on_bus(kTwo, {input_file("fw.bin", image), "/m"});
  EXPECT_EQ(result.output, kBanner + kSent10000);
  EXPECT_EQ(log_of("SN-B"), claimed(concat({"write 9"}, kWrites10000)));
  EXPECT_EQ(bin_of("SN-B"), kPreamble10000 + image);

  result = run_on_bus(kTwo, {input_file("data.bin", data), "/U", "SN-A"});
  EXPECT_EQ(result.output, kBanner + kSent10000);
  EXPECT_EQ(bin_of("SN-A"), data);
  EXPECT_TRUE(log_of("SN-B").empty());
}

TEST_F(UsbJobsTest, AnswersAreStoredWholeAndShown) {
  const std::string data = sample_bytes(200000);
  const std::string output = root() + "/answer.bin";
  RunResult result = run_on_bus(kTwo, {input_file("data.bin", data), output, "/T", "300"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(read_file(output), data);
  const std::string tail = progress("Read: 195 KB");
  ASSERT_GE(result.output.size(), tail.size());
  EXPECT_EQ(result.output.substr(result.output.size() - tail.size()), tail);

  result = run_on_bus(kTwo, {"*IDN?", "Con", "/S", "/T", "100"});
  EXPECT_EQ(result.output, kBanner + progress("Send: 5 bytes\n") + "*IDN?\nRead 5 bytes \n");
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(log_of("SN-B"), claimed({"write 5", "read -> 5"}));
}

// Four instruments in the device directory come first, three on the bus after
// them in port order; the default choice, the sixth, is on the bus, and /U
// reaches either source. The bus's instruments carry the ID they were given,
// which tarnlink reads in either case.
TEST_F(UsbJobsTest, OneListingOverTheDeviceDirectoryAndTheBus) {
  const std::vector<std::string> directory = {"d1", "d2", "d3", "d4"};
  ASSERT_NE(start_emulator(device_args(directory)), nullptr);
  const std::vector<std::string> bus = {"--usb-id", "BEEF:00A1", "--device", "SN-A",
                                        "--device", "SN-B", "--device", "SN-C"};
  RunOptions ids;
  ids.env.emplace("TARNLINK_USB_IDS", "beef:00A1");
  RunResult result = run_on_bus(bus, {"/L"}, ids);
  EXPECT_EQ(result.output, kBanner + listing(directory) +
                               "5 usb:1-1:SN-A\n6 usb:1-2:SN-B\n7 usb:1-3:SN-C\n");

  const std::string data = sample_bytes(100);
  result = run_on_bus(bus, {input_file("data.bin", data)}, ids);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(bin_of("SN-B"), data);
  result = run_on_bus(bus, {input_file("data.bin", data), "/U", "d2"}, ids);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_TRUE(log_of("SN-C").empty() && log_of("SN-B").empty());
  stop_emulators();
  EXPECT_EQ(bin_of("d2"), data);
  EXPECT_TRUE(log_of("d4").empty());
}

// As before the udev rule, the bus's nodes are refused to this user (root gives
// up overriding file modes for that). The instrument keeps its serial number in
// the listing; /U picks it, fails and says why on standard error, and the
// device directory's instrument, listed first, gets nothing.
TEST_F(UsbJobsTest, AnInstrumentThatMayNotBeOpenedKeepsItsNameAndSaysWhy) {
  if (geteuid() == 0 && std::system("command -v setpriv >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "root opens every node: setpriv is needed to give that up";
  }
  ASSERT_NE(start_emulator({"--device", "bench-a"}), nullptr);
  const std::string errors = root() + "/errors.txt";
  RunOptions refused;
  refused.env.emplace("ERRORS", errors);
  refused.wrapper = {"sh", "-c",
                     "chmod 000 \"$UMOCKDEV_DIR\"/dev/bus/usb/*/* || exit 99\n"
                     "[ \"$(id -u)\" != 0 ] ||\n"
                     "  set -- setpriv --bounding-set=-dac_override,-dac_read_search \"$@\"\n"
                     "exec \"$@\" 2>\"$ERRORS\"",
                     "sh"};
  const std::vector<std::string> bus = {"--device", "SN0042"};
  RunResult result = run_on_bus(bus, {"/L"}, refused);
  EXPECT_EQ(result.output, kBanner + listing({"bench-a"}) + "2 usb:1-1:SN0042\n");
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(read_file(errors), "");

  result = run_on_bus(bus, {input_file("data.bin", sample_bytes(10000)), "/U", "SN0042"}, refused);
  EXPECT_EQ(result.output, kBanner);
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(read_file(errors),
            "Unable to open usb:1-1:SN0042: permission denied; see the udev rule "
            "/usr/share/doc/tarnlink/examples/70-tarnlink.rules\n");
  stop_emulators();
  EXPECT_TRUE(log_of("bench-a").empty()) << "the send went to another instrument";
  EXPECT_TRUE(log_of("SN0042").empty());
}

// A link slower than the host waits (/T 10): the host gives the write up, and
// the instrument has taken only the whole packets that came before. The send
// fails as any short write does, and the capture holds only what was taken.
TEST_F(UsbJobsTest, AWriteTheHostGivesUpDeliversOnlyWhatTheInstrumentTook) {
  const std::string data = sample_bytes(100000);
  const RunResult result =
      run_on_bus({"--device", "sn1", "--rate", "20000", "--answer", "silent"},
                 {input_file("big.bin", data), root() + "/out.bin", "/T", "10"});
  EXPECT_EQ(result.exit_status, 255);
  // A block takes 205 ms: one that the host waits for is one it was late to give up.
  const std::vector<std::string> log = log_of("sn1");
  const std::string got = bin_of("sn1");
  ASSERT_GE(log.size(), 3u);
  const std::size_t whole = log.size() - 3;
  const std::size_t taken = got.size() - std::min(got.size(), whole * 4096);
  EXPECT_EQ(log, concat(concat({"open"}, std::vector<std::string>(whole, "write 4096")),
                        {"write " + std::to_string(taken), "close"}));
  EXPECT_EQ(got, data.substr(0, got.size()));
  EXPECT_LT(taken, 4096u);
  EXPECT_EQ(taken % 512, 0u) << "the instrument takes whole packets";
  EXPECT_EQ(result.output, kBanner + send_progress(whole + 1, data.size()) + kErrorLine);
}

// A stall halts the endpoint in the device until the host clears it: tarnlink
// clears it before it reports the failure, so that the next run sends.
TEST_F(UsbJobsTest, AStalledEndpointIsClearedForTheNextRun) {
  RunOptions twice;
  twice.wrapper = {"sh", "-c", "\"$1\" \"$2\"; echo \"exit $?\"; exec \"$1\" \"$3\"", "sh"};
  const std::string data = sample_bytes(10000);
  const RunResult result =
      run_on_bus({"--device", "sn1", "--fault", "write-error:3"},
                 {input_file("data.bin", data), input_file("small.bin", "hello")}, twice);
  EXPECT_EQ(result.output, kBanner + progress("8192 / 10000") + kErrorLine + "exit 255\n" +
                               kBanner + progress("Send: 5 bytes\n"));
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(log_of("sn1"),
            concat(claimed({"write 4096", "write 4096", "write 1808"}), claimed({"write 5"})));
  EXPECT_EQ(bin_of("sn1"), data.substr(0, 8192) + "hello");
}

}  // namespace
}  // namespace tarnlink::e2e
