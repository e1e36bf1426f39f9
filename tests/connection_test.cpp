#include "device/connection.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "support/case_name.h"
#include "support/expected_text.h"
#include "support/fake_platform.h"

namespace tarnlink {
namespace {

using ::testing::ElementsAre;
using testing::FakePlatform;
using testing::kEnumerationError;
using testing::kListingFailed;
using testing::kNotFound;
using testing::native;

class ConnectionTest : public ::testing::Test {
 protected:
  void present(int count) {
    for (int i = 1; i <= count; ++i) fake_.interfaces.push_back(native("usb-" + std::to_string(i)));
  }
  // The path of the one device that was opened, or "" when none was.
  std::string opened() const {
    for (const std::string& call : fake_.calls) {
      if (call.rfind("open ", 0) == 0) return call.substr(5);
    }
    return "";
  }
  FakePlatform fake_;
  DeviceAccess device_{fake_};
  std::ostringstream out_;
};

class DefaultChoiceTest : public ConnectionTest,
                          public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(DefaultChoiceTest, LastOfUpToSixElseTheSixth) {
  present(GetParam().first);
  EXPECT_EQ(ConnectDefault(device_, out_), 0);
  EXPECT_EQ(opened(), "usb-" + std::to_string(GetParam().second));
  EXPECT_EQ(out_.str(), "");
}

INSTANTIATE_TEST_SUITE_P(Counts, DefaultChoiceTest,
                         ::testing::Values(std::pair{1, 1}, std::pair{2, 2}, std::pair{3, 3},
                                           std::pair{6, 6}, std::pair{7, 6}, std::pair{9, 6}));

TEST_F(ConnectionTest, HandshakeSetsTheDefaultAndReadsItBack) {
  present(1);
  fake_.device_timeout = 5;
  EXPECT_EQ(ConnectDefault(device_, out_), 0);
  EXPECT_THAT(fake_.device_calls(),
              ElementsAre("open usb-1", "get-timeout -> 5", "set-timeout 80000000",
                          "get-timeout -> 80000000"));
}

TEST_F(ConnectionTest, NoInstrument) {
  EXPECT_EQ(ConnectDefault(device_, out_), -1);
  EXPECT_EQ(out_.str(), kNotFound);
  EXPECT_EQ(ConnectByName(device_, out_, native("x")), -1);
  EXPECT_TRUE(fake_.device_calls().empty());
  EXPECT_TRUE(device_.records().empty());
}

TEST_F(ConnectionTest, EnumerationFailureGoesOnWithWhatWasListed) {
  present(3);
  fake_.enum_fails_at = 2;
  EXPECT_EQ(ConnectDefault(device_, out_), 0);
  EXPECT_EQ(out_.str(), kEnumerationError);
  EXPECT_EQ(opened(), "usb-2");

  FakePlatform empty;
  empty.interfaces = {native("usb-1")};
  empty.fail_calls = {1};  // the listing
  DeviceAccess device(empty);
  std::ostringstream out;
  EXPECT_EQ(ConnectDefault(device, out), -1);
  EXPECT_EQ(out.str(), kListingFailed);
}

TEST_F(ConnectionTest, ReadBackOtherThanTheDefaultFailsSilently) {
  present(1);
  fake_.readback_override = true;
  fake_.readback_value = 80000001;
  EXPECT_EQ(ConnectDefault(device_, out_), -1);
  EXPECT_EQ(out_.str(), "");
  ByteBuffer data{1};
  EXPECT_EQ(device_.WriteData(data), kStatusOk) << "the device stays open and selected";
}

TEST_F(ConnectionTest, ReadBackOfNoBytesFails) {
  present(1);
  fake_.get_timeouts = {{true, 4}, {true, 0}};
  EXPECT_EQ(ConnectDefault(device_, out_), -1);
  EXPECT_EQ(out_.str(), "");
}

TEST_F(ConnectionTest, InstrumentThatCannotBeOpenedFailsSilently) {
  present(2);
  fake_.open_refused.insert(native("usb-2"));
  EXPECT_EQ(ConnectDefault(device_, out_), -1);
  EXPECT_EQ(out_.str(), "");
  EXPECT_THAT(fake_.device_calls(), ElementsAre("open usb-2")) << "both queries are refused";
}

struct NameCase {
  const char* name;
  std::vector<std::string> paths;
  std::string usb_name;
  std::string chosen;
};

class NameChoiceTest : public ConnectionTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(NameChoiceTest, LastPathHoldingTheNameElseTheFirst) {
  for (const std::string& path : GetParam().paths) fake_.interfaces.push_back(native(path));
  EXPECT_EQ(ConnectByName(device_, out_, native(GetParam().usb_name)), 0);
  EXPECT_EQ(opened(), GetParam().chosen);
  EXPECT_EQ(out_.str(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Names, NameChoiceTest,
    ::testing::Values(NameCase{"LaterMatchWins", {"a-port1", "b-port1x", "c"}, "port1", "b-port1x"},
                      NameCase{"NoMatchTakesFirst", {"a", "b", "c"}, "zzz", "a"},
                      NameCase{"CaseMatters", {"a", "b-PORT"}, "port", "a"},
                      NameCase{"EmptyNameTakesLast", {"a", "b", "c"}, "", "c"},
                      NameCase{"MoreThanSixStillSearched",
                               {"1", "2", "3", "4", "5", "6", "7", "8-hit"}, "hit", "8-hit"}),
    testing::CaseName());

}  // namespace
}  // namespace tarnlink
