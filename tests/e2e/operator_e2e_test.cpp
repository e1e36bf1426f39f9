// What operators use around the jobs: listing instruments, help and version.
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/e2e_harness.h"

namespace tarnlink::e2e {
namespace {

class ListTest : public E2eTest {
 protected:
  // Starts one emulator with `names` and returns the lines /L should print.
  std::string start(const std::vector<std::string>& names) {
    return start_emulator(device_args(names)) == nullptr ? "" : listing(names);
  }
  void expect_untouched(const std::vector<std::string>& names) {
    stop_emulators();
    for (const std::string& name : names) EXPECT_TRUE(log_of(name).empty()) << name;
  }
};

TEST_F(ListTest, NoInstrument) {
  const RunResult result = run({"/L"});
  EXPECT_EQ(result.output, kBanner + kNotFound);
  EXPECT_EQ(result.exit_status, 255);
}

TEST_F(ListTest, OneAndThreeInOrderOfAppearance) {
  const std::vector<std::string> names{"usb-9-9-SN0003", "usb-1-1-SN0001", "usb-5-2-SN0002"};
  const std::string expected = start({names[0]});
  const RunResult one = run({"/l"});
  EXPECT_EQ(one.output, kBanner + expected);
  EXPECT_EQ(one.exit_status, 0);
  stop_emulators();

  const std::string all = start(names);
  const RunResult three = run({"/L"});
  EXPECT_EQ(three.output, kBanner + all);
  EXPECT_EQ(three.exit_status, 0);
  expect_untouched(names);
}

TEST_F(ListTest, ListingDoesNotDisturbAnInstrumentHeldOpen) {
  const std::string expected = start({"held", "free"});
  Platform& platform = program_platform();
  const Handle handle = platform.open_exclusive(device_path("held")).handle;
  ASSERT_NE(handle, kInvalidHandle);

  const RunResult result = run({"/L"});
  EXPECT_EQ(result.output, kBanner + expected);
  EXPECT_EQ(result.exit_status, 0);
  // The holder still owns its instrument and can talk to it.
  const std::uint8_t byte = 0x42;
  EXPECT_EQ(platform.write(handle, &byte, 1), 1u);
  platform.close(handle);
  stop_emulators();
  EXPECT_EQ(log_of("held"), (std::vector<std::string>{"open", "write 1", "close"}));
  EXPECT_TRUE(log_of("free").empty());
}

TEST_F(ListTest, HelpAndVersion) {
  const RunResult version = run({"--version"});
  EXPECT_EQ(version.output, kBanner);
  EXPECT_EQ(version.exit_status, 0);
  const RunResult help = run({"--help"});
  const RunResult question = run({"/?"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_EQ(help.output, question.output);
  const RunResult usage = run({});
  ASSERT_EQ(help.output.substr(0, usage.output.size()), usage.output);
  EXPECT_EQ(help.output.substr(usage.output.size()),
            "tarnlink /L - list the VELK Devices present: index and device path, one a line\n"
            "tarnlink /? - show this help\n"
            "tarnlink --help - show this help\n"
            "tarnlink --version - show the version\n");
}

}  // namespace
}  // namespace tarnlink::e2e
