// The Windows bridge's command line; the Linux service's is tested through the
// program (tests/posix/velk_emu_test.cpp).
#include "options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/case_name.h"

namespace velk_emu {
namespace {

struct BridgeCase {
  std::string name;
  std::vector<std::string> args;
  std::string error;  // empty: accepted
  std::vector<std::string> devices;
};

class BridgeOptionsTest : public ::testing::TestWithParam<BridgeCase> {};

TEST_P(BridgeOptionsTest, Parses) {
  std::vector<const char*> argv{"velk-emu"};
  for (const std::string& arg : GetParam().args) argv.push_back(arg.c_str());
  Options options;
  std::string error;
  EXPECT_EQ(
      parse_options(static_cast<int>(argv.size()), argv.data(), kDriverBridge, options, error),
      GetParam().error.empty());
  EXPECT_EQ(error, GetParam().error);
  EXPECT_EQ(options.devices, GetParam().devices);
}

const std::string kLongest(64, 'a');

INSTANTIATE_TEST_SUITE_P(
    Rows, BridgeOptionsTest,
    ::testing::Values(
        BridgeCase{"DefaultDevice", {}, "", {"velk-usb-1-1-sn0001"}},
        BridgeCase{"DirRefused", {"--dir", "x"}, "unknown option '--dir'", {}},
        BridgeCase{"UpperCaseRefused", {"--device", "SN1"}, "invalid device name 'SN1'", {}},
        BridgeCase{"LongestName", {"--device", "a-1", "--device", kLongest}, "", {"a-1", kLongest}},
        BridgeCase{"LongerRefused",
                   {"--device", kLongest + "a"},
                   "invalid device name '" + kLongest + "a'",
                   {}}),
    tarnlink::testing::CaseName());

}  // namespace
}  // namespace velk_emu
