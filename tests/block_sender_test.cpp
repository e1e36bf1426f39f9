#include "transfer/block_sender.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/connected_device.h"
#include "support/expected_text.h"

namespace tarnlink {
namespace {

using testing::kBreakLine;
using testing::kErrorLine;
using testing::progress;

struct SendCase {
  std::int32_t total;
  std::vector<std::string> writes;
  std::vector<std::int32_t> progress_offsets;
};

class SendBufferTest : public testing::ConnectedDeviceTest,
                       public ::testing::WithParamInterface<SendCase> {
 protected:
  // `count` bytes of sample data, and one more that must not be sent.
  static std::vector<std::uint8_t> payload(std::int32_t count) {
    const std::string bytes = testing::sample_bytes(static_cast<std::size_t>(count) + 1);
    return {bytes.begin(), bytes.end()};
  }
  static PayloadSize size_of(std::int32_t count) {
    PayloadSize size;
    size.position = count;
    return size;
  }
};

TEST_P(SendBufferTest, BlocksProgressAndSummary) {
  const SendCase& c = GetParam();
  const auto bytes = payload(c.total);
  EXPECT_EQ(SendBuffer(device_, out_, bytes.data(), size_of(c.total)), 0);

  std::string expected;
  for (const std::int32_t offset : c.progress_offsets) {
    expected += progress(std::to_string(offset) + " / " + std::to_string(c.total));
  }
  expected += progress("Send: " + std::to_string(c.total) + " bytes\n");
  EXPECT_EQ(out_.str(), expected);
  EXPECT_EQ(fake_.calls, c.writes);

  std::vector<std::uint8_t> sent;
  for (const auto& message : fake_.messages) sent.insert(sent.end(), message.begin(), message.end());
  EXPECT_EQ(sent, std::vector<std::uint8_t>(bytes.begin(), bytes.end() - 1));
  EXPECT_EQ(fake_.escape_tests, static_cast<int>(c.writes.size())) << "Esc after every block";
}

INSTANTIATE_TEST_SUITE_P(
    Totals, SendBufferTest,
    ::testing::Values(
        SendCase{0, {}, {}}, SendCase{1, {"write 1"}, {}},
        SendCase{4096, {"write 4096"}, {}},
        SendCase{8192, {"write 4096", "write 4096"}, {}},
        SendCase{8193, {"write 4096", "write 4096", "write 1"}, {8192}},
        SendCase{10000, {"write 4096", "write 4096", "write 1808"}, {8192}},
        SendCase{12288, {"write 4096", "write 4096", "write 4096"}, {8192}},
        SendCase{30000,
                 {"write 4096", "write 4096", "write 4096", "write 4096", "write 4096",
                  "write 4096", "write 4096", "write 1328"},
                 {8192, 20480}}));

using SendFailureTest = SendBufferTest;

TEST_F(SendFailureTest, FirstWriteFailingPrintsErrorOnly) {
  const auto bytes = payload(10000);
  fake_.writes = {{false, 0}};
  EXPECT_EQ(SendBuffer(device_, out_, bytes.data(), size_of(10000)), -1);
  EXPECT_EQ(out_.str(), kErrorLine);
  EXPECT_EQ(fake_.calls.size(), 1u);
}

TEST_F(SendFailureTest, ShortWriteStopsAfterTheProgressText) {
  const auto bytes = payload(10000);
  fake_.writes = {{}, {}, {true, 1}};
  EXPECT_EQ(SendBuffer(device_, out_, bytes.data(), size_of(10000)), -1);
  EXPECT_EQ(out_.str(), progress("8192 / 10000") + kErrorLine);
}

TEST_F(SendFailureTest, EscAfterTheLastBlockIsStillABreak) {
  const auto bytes = payload(8192);
  fake_.escape_held_at = {2};
  EXPECT_EQ(SendBuffer(device_, out_, bytes.data(), size_of(8192)), -1);
  EXPECT_EQ(out_.str(), kBreakLine);
  EXPECT_EQ(fake_.calls.size(), 2u);
}

TEST_F(SendFailureTest, EscStopsTheRestOfThePayload) {
  const auto bytes = payload(30000);
  fake_.escape_held_at = {4};
  EXPECT_EQ(SendBuffer(device_, out_, bytes.data(), size_of(30000)), -1);
  EXPECT_EQ(out_.str(), progress("8192 / 30000") + kBreakLine);
  EXPECT_EQ(fake_.calls.size(), 4u);
}

TEST_F(SendFailureTest, NoSelectedDeviceIsAnError) {
  testing::FakePlatform fake;
  DeviceAccess unselected(fake);
  const auto bytes = payload(5);
  EXPECT_EQ(SendBuffer(unselected, out_, bytes.data(), size_of(5)), -1);
  EXPECT_EQ(out_.str(), kErrorLine);
}

}  // namespace
}  // namespace tarnlink
