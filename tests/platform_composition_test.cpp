#include "platform/linux/platform_composition.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/fake_platform.h"

namespace tarnlink {
namespace {

using ::testing::ElementsAre;
using testing::FakePlatform;
using testing::native;

// The device directory and the bus as two scripted backends. Both hand out the
// same handle for every open, as two real backends may.
class PlatformCompositionTest : public ::testing::Test {
 protected:
  PlatformCompositionTest() {
    directory_.interfaces = {native("/run/velk/a"), native("/run/velk/b")};
    bus_.interfaces = {native("usb:1-1:SN1")};
  }
  FakePlatform directory_;
  FakePlatform bus_;
  PlatformComposition both_{{&directory_, &bus_}};
};

TEST_F(PlatformCompositionTest, ListsEachBackendInTurnAndAFailureHidesNoOtherInstrument) {
  EXPECT_THAT(both_.interface_paths().paths,
              ElementsAre("/run/velk/a", "/run/velk/b", "usb:1-1:SN1"));
  directory_.enum_fails_at = 1;
  const ListResult listed = both_.interface_paths();
  EXPECT_TRUE(listed.failed);
  EXPECT_THAT(listed.paths, ElementsAre("/run/velk/a", "usb:1-1:SN1"));
}

TEST_F(PlatformCompositionTest, EachHandleReachesTheBackendThatOpenedIt) {
  both_.interface_paths();
  const Handle on_bus = both_.open_exclusive(native("usb:1-1:SN1")).handle;
  const Handle in_directory = both_.open_exclusive(native("/run/velk/b")).handle;
  ASSERT_NE(on_bus, kInvalidHandle);
  ASSERT_NE(in_directory, kInvalidHandle);
  EXPECT_NE(on_bus, in_directory);

  const std::uint8_t bytes[3] = {1, 2, 3};
  std::uint8_t buffer[8];
  std::int32_t timeout = 0;
  EXPECT_EQ(both_.write(on_bus, bytes, 3), 3u);
  EXPECT_TRUE(both_.set_timeout(in_directory, 5000));
  EXPECT_EQ(both_.read(on_bus, buffer, sizeof buffer), 0u);
  EXPECT_TRUE(both_.get_timeout(in_directory, timeout));
  EXPECT_TRUE(both_.close(on_bus));
  // A closed handle is nobody's.
  EXPECT_FALSE(both_.write(on_bus, bytes, 3));
  EXPECT_FALSE(both_.close(on_bus));
  EXPECT_THAT(bus_.device_calls(),
              ElementsAre("open usb:1-1:SN1", "write 3", "read -> 0", "close"));
  EXPECT_THAT(directory_.device_calls(),
              ElementsAre("open /run/velk/b", "set-timeout 5000", "get-timeout -> 5000"));
}

TEST_F(PlatformCompositionTest, AListedPathGoesToItsBackendAloneAnUnlistedOneToEachInTurn) {
  both_.interface_paths();
  bus_.open_refused = {native("usb:1-1:SN1")};
  bus_.open_failures[native("usb:1-1:SN1")] = OpenFailure::kPermission;
  const OpenResult refused = both_.open_exclusive(native("usb:1-1:SN1"));
  EXPECT_EQ(refused.handle, kInvalidHandle);
  EXPECT_EQ(refused.failure, OpenFailure::kPermission) << "the backend's reason";
  bus_.interfaces.push_back(native("usb:1-2"));
  EXPECT_NE(both_.open_exclusive(native("usb:1-2")).handle, kInvalidHandle);
  EXPECT_THAT(directory_.device_calls(), ElementsAre("open usb:1-2"));
  EXPECT_THAT(bus_.device_calls(), ElementsAre("open usb:1-1:SN1", "open usb:1-2"));
}

// Any backend that may fail a read at the timeout, or that sees Esc, decides.
TEST_F(PlatformCompositionTest, TimeoutFailuresAndEscFromAnyBackend) {
  EXPECT_FALSE(both_.read_fails_at_timeout());
  bus_.failed_read_may_be_timeout = true;
  EXPECT_TRUE(both_.read_fails_at_timeout());
  directory_.escape_held_at = {2};
  EXPECT_FALSE(both_.escape_held());
  EXPECT_TRUE(both_.escape_held());
}

}  // namespace
}  // namespace tarnlink
