#include "platform/usb/usb_ids.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarnlink::usb {
namespace {

struct IdCase {
  const char* text;
  std::vector<UsbId> ids;
};

class UsbIdListTest : public ::testing::TestWithParam<IdCase> {};

TEST_P(UsbIdListTest, MalformedEntriesAreSkippedTheOthersCount) {
  EXPECT_EQ(usb_ids_from_list(GetParam().text), GetParam().ids) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Lists, UsbIdListTest,
    ::testing::Values(IdCase{"", {}}, IdCase{"1209:0001", {{0x1209, 0x0001}}},
                      IdCase{"abCD:Ef01, 1209:0001 ,", {{0xABCD, 0xEF01}, {0x1209, 0x0001}}},
                      IdCase{"12090:0001,1209:001,1209-0001,1209:000g,x,:,1209:0001:,0x12:0001,"
                             "1209:0002",
                             {{0x1209, 0x0002}}}));

TEST(UsbIdFileTest, OneIdALineWithCommentsAndBlankLines) {
  const std::string text =
      "# VELK instruments\n"
      "\n"
      "1209:0001\n"
      "  ABCD:ef01   # the bench unit\r\n"
      "1209:0002,1209:0003\n"
      "#1209:0004\n"
      "\t\n"
      "1209:0005";
  EXPECT_EQ(usb_ids_from_file_text(text),
            (std::vector<UsbId>{{0x1209, 0x0001}, {0xABCD, 0xEF01}, {0x1209, 0x0005}}));
}

}  // namespace
}  // namespace tarnlink::usb
