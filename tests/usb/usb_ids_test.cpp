#include "platform/usb/usb_ids.h"

#include <gtest/gtest.h>

#include <vector>

namespace tarnlink::usb {
namespace {

using Ids = std::vector<UsbId>;

TEST(UsbIdsTest, MalformedEntriesAreSkippedTheOthersCount) {
  EXPECT_EQ(usb_ids_from_list(""), Ids{});
  EXPECT_EQ(usb_ids_from_list("abCD:Ef01, 1209:0001 ,"), (Ids{{0xABCD, 0xEF01}, {0x1209, 0x0001}}));
  EXPECT_EQ(usb_ids_from_list("12090:0001,1209:001,1209-0001,1209:000g,x,:,1209:0001:,"
                              "0x12:0001,1209:0002"),
            (Ids{{0x1209, 0x0002}}));
  EXPECT_EQ(usb_ids_from_file_text("# VELK instruments\n"
                                   "\n"
                                   "1209:0001\n"
                                   "  ABCD:ef01   # the bench unit\r\n"
                                   "1209:0002,1209:0003\n"
                                   "#1209:0004\n"
                                   "\t\n"
                                   "1209:0005"),
            (Ids{{0x1209, 0x0001}, {0xABCD, 0xEF01}, {0x1209, 0x0005}}));
  // An editor's byte-order mark at the start is no part of the first ID; anywhere
  // else it spoils its entry.
  EXPECT_EQ(usb_ids_from_file_text("\xef\xbb\xbf" "1209:0001\n\xef\xbb\xbf" "1209:0002\n1209:0003"),
            (Ids{{0x1209, 0x0001}, {0x1209, 0x0003}}));
}

}  // namespace
}  // namespace tarnlink::usb
