#include "device/device_access.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/case_name.h"
#include "support/fake_platform.h"

namespace tarnlink {
namespace {

using ::testing::ElementsAre;
using testing::FakePlatform;
using testing::native;

class DeviceAccessTest : public ::testing::Test {
 protected:
  DeviceListEntry entry(const std::string& path) { return DeviceListEntry{0, native(path)}; }
  // Opens and selects `path`, then forgets the calls that took.
  void connect(const std::string& path) {
    fake_.interfaces.push_back(native(path));
    ASSERT_EQ(device_.OpenDevice(entry(path)), kStatusOk);
    ASSERT_EQ(device_.SelectDevice(entry(path)), kStatusOk);
    fake_.calls.clear();
  }
  FakePlatform fake_;
  DeviceAccess device_{fake_};
};

TEST_F(DeviceAccessTest, GuardsComeInOrderNotSelectedThenNotOpen) {
  ByteBuffer buffer{1, 2, 3};
  std::int32_t timeout = 0;
  EXPECT_EQ(device_.WriteData(buffer), kStatusNotSelected);
  EXPECT_EQ(device_.ReadData(buffer), kStatusNotSelected);
  EXPECT_EQ(device_.ReadDataLimited(buffer, 10), kStatusNotSelected);
  EXPECT_EQ(device_.GetTimeout(timeout), kStatusNotSelected);
  EXPECT_EQ(device_.SetTimeout(1), kStatusNotSelected);
  EXPECT_EQ(device_.SetTimeout(-1), kStatusShort) << "the value is checked before both guards";

  // A failed open leaves a record with an empty path, which an empty entry selects.
  EXPECT_EQ(device_.OpenDevice(entry("")), kStatusFailed);
  ASSERT_EQ(device_.SelectDevice(entry("")), kStatusOk);
  fake_.calls.clear();
  EXPECT_EQ(device_.WriteData(buffer), kStatusNotOpen);
  EXPECT_EQ(device_.ReadData(buffer), kStatusNotOpen);
  EXPECT_EQ(device_.ReadDataLimited(buffer, 10), kStatusNotOpen);
  EXPECT_EQ(device_.GetTimeout(timeout), kStatusNotOpen);
  EXPECT_EQ(device_.SetTimeout(1), kStatusNotOpen);
  EXPECT_EQ(device_.SetTimeout(-1), kStatusShort);
  EXPECT_TRUE(fake_.calls.empty()) << "no guarded operation may reach the device";
  EXPECT_EQ(buffer, (ByteBuffer{1, 2, 3}));
}

TEST_F(DeviceAccessTest, OpenFindsThePathAmongPresentInterfaces) {
  fake_.interfaces = {native("dev-a"), native("dev-b"), native("dev-c")};
  EXPECT_EQ(device_.OpenDevice(entry("dev-b")), kStatusOk);
  EXPECT_THAT(fake_.calls, ElementsAre("list", "open dev-b"));
  ASSERT_EQ(device_.records().size(), 1u);
  const DeviceRecord& record = device_.records().front();
  EXPECT_EQ(record.index, 2);
  EXPECT_EQ(record.path, native("dev-b"));
  EXPECT_EQ(record.open, 1);
  EXPECT_EQ(device_.SelectDevice(entry("dev-b")), kStatusOk);
  EXPECT_EQ(device_.SelectDevice(entry("dev-a")), kStatusNotSelected);
  ByteBuffer data{1};
  EXPECT_EQ(device_.WriteData(data), kStatusNotSelected) << "a failed select leaves none selected";
}

TEST_F(DeviceAccessTest, FailedOpensAddRecordsAndCloseNothing) {
  fake_.interfaces = {native("dev-a"), native("dev-b")};
  EXPECT_EQ(device_.OpenDevice(entry("absent")), kStatusFailed);
  EXPECT_EQ(device_.OpenDevice(entry("absent")), kStatusFailed);
  EXPECT_EQ(device_.records().size(), 2u);
  EXPECT_TRUE(fake_.device_calls().empty()) << "a path not listed is not tried";
  EXPECT_EQ(device_.refused_open().path, native("absent"));
  EXPECT_EQ(device_.refused_open().failure, OpenFailure::kGone) << "listed no more";

  // The reason is the platform's, where it tells one.
  fake_.open_refused.insert(native("dev-a"));
  fake_.open_failures[native("dev-a")] = OpenFailure::kHeld;
  EXPECT_EQ(device_.OpenDevice(entry("dev-a")), kStatusFailed);
  EXPECT_EQ(device_.refused_open().failure, OpenFailure::kHeld);
  EXPECT_THAT(fake_.device_calls(), ElementsAre("open dev-a")) << "a refused open is not closed";
  EXPECT_EQ(device_.records().size(), 3u);
  for (const DeviceRecord& record : device_.records()) {
    EXPECT_EQ(record.open, 0);
    EXPECT_TRUE(record.path.empty());
  }
  EXPECT_EQ(device_.SelectDevice(entry("dev-a")), kStatusNotSelected);

  // A listing that fails before the path, or at once, finds nothing to open,
  // and cannot tell that it is gone.
  fake_.enum_fails_at = 1;
  EXPECT_EQ(device_.OpenDevice(entry("dev-b")), kStatusFailed);
  EXPECT_EQ(device_.refused_open().failure, OpenFailure::kUnknown);
  fake_.enum_fails_at = -1;
  fake_.fail_calls = {fake_.calls_made + 1};
  EXPECT_EQ(device_.OpenDevice(entry("dev-b")), kStatusFailed);
  EXPECT_THAT(fake_.device_calls(), ElementsAre("open dev-a"));

  // One cut short after the path still offers it.
  fake_.interfaces.push_back(native("dev-c"));
  fake_.enum_fails_at = 2;
  EXPECT_EQ(device_.OpenDevice(entry("dev-b")), kStatusOk);
  EXPECT_EQ(device_.records().back().index, 2);
  EXPECT_EQ(device_.refused_open().failure, OpenFailure::kUnknown);
}

TEST_F(DeviceAccessTest, AnOpenedPathIsNeverOpenedTwice) {
  connect("dev-a");
  EXPECT_EQ(device_.OpenDevice(entry("dev-a")), kStatusFailed);
  EXPECT_TRUE(fake_.device_calls().empty());
  EXPECT_EQ(device_.records().size(), 1u);
}

TEST_F(DeviceAccessTest, LongPathsAreKeptWhole) {
  const std::string shared(300, 'p');
  fake_.interfaces = {native(shared + "-1"), native(shared + "-2")};
  EXPECT_EQ(device_.OpenDevice(entry(shared + "-2")), kStatusOk);
  EXPECT_EQ(device_.records().front().path, native(shared + "-2"));
  EXPECT_EQ(device_.SelectDevice(entry(shared + "-1")), kStatusNotSelected);
  DeviceList list;
  EXPECT_EQ(device_.GetCountActiveDevices(list), kStatusOk);
  EXPECT_EQ(list.front().path.size(), 302u);
}

TEST_F(DeviceAccessTest, RecordsDoNotMoveWhenTheTableGrows) {
  connect("dev-a");
  const DeviceRecord* first = &device_.records().front();
  for (int i = 0; i < 100; ++i) device_.OpenDevice(entry("absent"));
  EXPECT_EQ(first, &device_.records().front());
  ByteBuffer data{1, 2};
  EXPECT_EQ(device_.WriteData(data), kStatusOk);
}

TEST_F(DeviceAccessTest, WriteIsOneCallAndShortCountsFail) {
  connect("dev-a");
  const ByteBuffer data(5000, 7);
  fake_.writes = {{true, 0}, {true, 1}, {false, 0}};
  EXPECT_EQ(device_.WriteData(data), kStatusOk);
  EXPECT_EQ(device_.WriteData(data), kStatusShort);
  EXPECT_EQ(device_.WriteData(data), kStatusFailed);
  EXPECT_THAT(fake_.calls, ElementsAre("write 5000", "write 5000", "write 5000"));
  EXPECT_EQ(fake_.messages.front(), data);
}

// How the driver ends a read at the link timeout, and where the instrument is
// when a read fails.
enum class Driver { kZeroBytes, kMayFailStillListed, kMayFailGone };

struct ReadCase {
  const char* name;
  std::vector<FakePlatform::ReadStep> reads;
  bool limited;
  std::uint32_t limit;
  std::int32_t status;
  std::size_t appended;
  std::size_t calls_made;  // the reads, and the listing that judges a failed one
  Driver driver = Driver::kZeroBytes;
};

class ReadTest : public DeviceAccessTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadTest, ReadsUntilShortChunkOrLimit) {
  connect("dev-a");
  const ReadCase& c = GetParam();
  fake_.reads.assign(c.reads.begin(), c.reads.end());
  fake_.failed_read_may_be_timeout = c.driver != Driver::kZeroBytes;
  if (c.driver == Driver::kMayFailGone) fake_.interfaces = {native("dev-b")};
  ByteBuffer buffer{0xAA};  // data is appended after what the buffer holds
  const std::int32_t status =
      c.limited ? device_.ReadDataLimited(buffer, c.limit) : device_.ReadData(buffer);
  EXPECT_EQ(status, c.status);
  ASSERT_EQ(buffer.size(), 1 + c.appended);
  EXPECT_EQ(buffer[0], 0xAA);
  for (std::size_t i = 0; i < c.appended; ++i) {
    ASSERT_EQ(buffer[1 + i], FakePlatform::answer_byte(i)) << "byte " << i;
  }
  EXPECT_EQ(fake_.calls.size(), c.calls_made);
}

const FakePlatform::ReadStep kFull{true, 4096};
const FakePlatform::ReadStep kError{false, 0};

INSTANTIATE_TEST_SUITE_P(
    Reads, ReadTest,
    ::testing::Values(
        ReadCase{"Answer5000", {kFull, {true, 904}}, false, 0, kStatusOk, 5000, 2},
        ReadCase{"Answer4096", {kFull, {true, 0}}, false, 0, kStatusOk, 4096, 2},
        ReadCase{"NoAnswer", {{true, 0}}, false, 0, kStatusOk, 0, 1},
        ReadCase{"FailureKeepsFullChunks", {kFull, kFull, kError}, false, 0, kStatusReadFault,
                 8192, 3},
        ReadCase{"OversizedCountIsAFault", {{true, 5000}}, false, 0, kStatusReadFault, 0, 1,
                 Driver::kMayFailStillListed},
        ReadCase{"LimitedZeroReadFails", {{true, 0}}, true, 65535, kStatusFailed, 0, 1},
        ReadCase{"LimitedShortChunkEnds", {{true, 100}}, true, 65535, kStatusOk, 100, 1},
        ReadCase{"LimitZeroStopsAtFirstData", {{true, 100}}, true, 0, kStatusLimitReached, 100, 1},
        ReadCase{"LimitedFailureKeepsChunks", {kFull, kError}, true, 65535, kStatusReadFault,
                 4096, 2},
        // Where a failure may be how the driver ends a read at the timeout, only
        // an instrument gone from a fresh listing makes it a fault.
        ReadCase{"FailureWhileListedMayBeTheTimeout", {kFull, kError}, true, 65535,
                 kStatusFailed, 4096, 3, Driver::kMayFailStillListed},
        ReadCase{"FailureOfAVanishedInstrument", {kError}, false, 0, kStatusReadFault, 0, 2,
                 Driver::kMayFailGone},
        // The buffer's earlier byte counts: 1 + 2 * 4096 reaches 8193.
        ReadCase{"LimitCountsEarlierContent", {kFull, kFull, kFull}, true, 8193,
                 kStatusLimitReached, 8192, 2}),
    testing::CaseName());

TEST_F(DeviceAccessTest, SixteenChunksFillOnePassOnAnEmptyBuffer) {
  connect("dev-a");
  fake_.reads.assign(17, kFull);
  ByteBuffer buffer;
  EXPECT_EQ(device_.ReadDataLimited(buffer, 65535), kStatusLimitReached);
  EXPECT_EQ(buffer.size(), 65536u);
  EXPECT_EQ(fake_.calls.size(), 16u);
}

TEST_F(DeviceAccessTest, TimeoutRequests) {
  connect("dev-a");
  std::int32_t timeout = 0;
  EXPECT_EQ(device_.SetTimeout(1234), kStatusOk);
  EXPECT_EQ(device_.GetTimeout(timeout), kStatusOk);
  EXPECT_EQ(timeout, 1234);
  fake_.get_timeouts = {{true, 0}, {false, 4}};
  EXPECT_EQ(device_.GetTimeout(timeout), kStatusFailed) << "success with 0 bytes returned";
  EXPECT_EQ(device_.GetTimeout(timeout), kStatusFailed);
  fake_.set_timeouts = {{false, 0}};
  EXPECT_EQ(device_.SetTimeout(5), kStatusFailed);
  EXPECT_EQ(device_.SetTimeout(-1), kStatusShort);
  EXPECT_EQ(device_.SetTimeout(0), kStatusOk);
  EXPECT_THAT(fake_.calls, ElementsAre("set-timeout 1234", "get-timeout -> 1234",
                                       "get-timeout -> empty", "get-timeout -> error",
                                       "set-timeout 5", "set-timeout 0"));
}

class EnumerationTest : public DeviceAccessTest {};

TEST_F(EnumerationTest, ListsPresentInterfacesFromIndexOne) {
  DeviceList list;
  EXPECT_EQ(device_.GetCountActiveDevices(list), kStatusOk);
  EXPECT_TRUE(list.empty());
  EXPECT_THAT(fake_.calls, ElementsAre("list"));

  fake_.interfaces = {native("one"), native("two")};
  list.push_back(DeviceListEntry{9, native("kept")});
  EXPECT_EQ(device_.GetCountActiveDevices(list), kStatusOk);
  ASSERT_EQ(list.size(), 3u);
  auto it = list.begin();
  EXPECT_EQ(it->index, 9);
  EXPECT_EQ((++it)->index, 1);
  EXPECT_EQ(it->path, native("one"));
  EXPECT_EQ((++it)->index, 2);
  EXPECT_EQ(it->path, native("two"));
  EXPECT_TRUE(device_.records().empty()) << "listing opens nothing";
}

TEST_F(EnumerationTest, FailuresKeepWhatWasListed) {
  fake_.interfaces = {native("one"), native("two"), native("three")};
  for (const int listed : {0, 1, 2}) {
    fake_.enum_fails_at = listed;
    DeviceList list;
    EXPECT_EQ(device_.GetCountActiveDevices(list), kStatusFailed);
    ASSERT_EQ(list.size(), static_cast<std::size_t>(listed));
    EXPECT_TRUE(list.empty() || list.back().index == listed);
  }
}

}  // namespace
}  // namespace tarnlink
