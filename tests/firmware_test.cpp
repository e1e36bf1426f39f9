#include "transfer/firmware.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "support/connected_device.h"
#include "support/expected_text.h"

namespace tarnlink {
namespace {

using ::testing::ElementsAre;
using testing::kFirmwareTooLarge;
using testing::kFirmwareTooShort;

PayloadSize size_of(std::int32_t count) {
  PayloadSize size;
  size.position = count;
  return size;
}

// An image whose bytes 30..32 are marked; sizes are taken from the record, so a
// large image needs no large allocation.
std::vector<std::uint8_t> image() {
  std::vector<std::uint8_t> bytes(40, 0xEE);
  bytes[30] = 0xA1;
  bytes[31] = 0xB2;
  bytes[32] = 0xC3;
  return bytes;
}

class PreambleUnitsTest
    : public ::testing::TestWithParam<std::pair<std::int32_t, std::array<std::uint8_t, 3>>> {};

TEST_P(PreambleUnitsTest, LengthInThreeByteUnitsAs24BitLittleEndian) {
  const auto [count, units] = GetParam();
  const ByteBuffer preamble = MakeFirmwarePreamble(image().data(), size_of(count));
  EXPECT_THAT(preamble, ElementsAre(0xA1, 0xB2, 0xC3, units[0], units[1], units[2], 0, 0, 0));
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, PreambleUnitsTest,
    ::testing::Values(std::pair{34, std::array<std::uint8_t, 3>{0x0B, 0, 0}},
                      std::pair{100, std::array<std::uint8_t, 3>{0x21, 0, 0}},
                      std::pair{101, std::array<std::uint8_t, 3>{0x21, 0, 0}},
                      std::pair{100000, std::array<std::uint8_t, 3>{0x35, 0x82, 0}},
                      std::pair{196608, std::array<std::uint8_t, 3>{0, 0, 1}},
                      std::pair{1048576, std::array<std::uint8_t, 3>{0x55, 0x55, 0x05}},
                      std::pair{50331647, std::array<std::uint8_t, 3>{0xFF, 0xFF, 0xFF}},
                      std::pair{50331648, std::array<std::uint8_t, 3>{0, 0, 0}}));

using SendPreambleTest = testing::ConnectedDeviceTest;

TEST_F(SendPreambleTest, NineBytesInOneWriteAndNothingPrinted) {
  EXPECT_EQ(SendFirmwarePreamble(device_, out_, image().data(), size_of(34)), 0);
  EXPECT_THAT(fake_.calls, ElementsAre("write 9"));
  EXPECT_EQ(fake_.messages.at(0), MakeFirmwarePreamble(image().data(), size_of(34)));
  EXPECT_EQ(out_.str(), "");
}

TEST_F(SendPreambleTest, FailedWriteFailsSilently) {
  fake_.writes = {{false, 0}, {true, 1}};
  EXPECT_EQ(SendFirmwarePreamble(device_, out_, image().data(), size_of(34)), -1);
  EXPECT_EQ(SendFirmwarePreamble(device_, out_, image().data(), size_of(34)), -1);
  EXPECT_EQ(out_.str(), "");
}

TEST_F(SendPreambleTest, ImageTooShortForThePreambleSendsNothing) {
  for (const std::int32_t count : {0, 1, 32}) {
    out_.str("");
    EXPECT_EQ(SendFirmwarePreamble(device_, out_, image().data(), size_of(count)), -1);
    EXPECT_EQ(out_.str(), kFirmwareTooShort);
  }
  EXPECT_TRUE(fake_.calls.empty());
  EXPECT_EQ(SendFirmwarePreamble(device_, out_, image().data(), size_of(33)), 0);
}

TEST_F(SendPreambleTest, ImageTooLargeForTheUnitCountSendsNothing) {
  // 3 * 2^24 bytes would be announced as 0 units.
  EXPECT_EQ(SendFirmwarePreamble(device_, out_, image().data(), size_of(50331648)), -1);
  EXPECT_EQ(out_.str(), kFirmwareTooLarge);
  EXPECT_TRUE(fake_.calls.empty());
  out_.str("");
  EXPECT_EQ(SendFirmwarePreamble(device_, out_, image().data(), size_of(50331647)), 0);
  EXPECT_THAT(fake_.messages.at(0), ElementsAre(0xA1, 0xB2, 0xC3, 0xFF, 0xFF, 0xFF, 0, 0, 0));
  EXPECT_EQ(out_.str(), "");
}

}  // namespace
}  // namespace tarnlink
