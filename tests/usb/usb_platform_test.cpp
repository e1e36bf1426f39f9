// The USB backend against devices on a bus that umockdev emulates in this very
// process, which runs under umockdev's preload. Hostile devices above all:
// whatever their descriptors say, a listing ends, nothing crashes, and every
// path that comes out is safe to show and to open.
#include "platform/usb/usb_platform.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "usb/bus.h"

namespace tarnlink::usb {
namespace {

using velk_emu::usb::Bus;
using velk_emu::usb::DeviceSpec;
using velk_emu::usb::instrument_descriptors;
using velk_emu::usb::string_descriptor;
using velk_emu::usb::kTestProduct;
using velk_emu::usb::kTestVendor;
using Bytes = std::vector<std::uint8_t>;

// A bound for a call that must come back at once.
constexpr std::chrono::seconds kBound{10};

// A string descriptor of UTF-16 code units, well formed.
Bytes utf16_descriptor(const std::u16string& text) {
  Bytes bytes{static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  return bytes;
}

class UsbPlatformTest : public ::testing::Test {
 protected:
  UsbPlatformTest() { setenv("TARNLINK_USB_IDS", "1209:0001", 1); }
  ~UsbPlatformTest() override {
    // libusb goes before the bus it talks to.
    platform_.reset();
    bus_.reset();
    unsetenv("TARNLINK_USB_IDS");
  }

  // Adds an instrument with `serial` at bus 1 and `ports`, with `descriptors`
  // when given; returns its id on the bus.
  int add(const std::vector<std::uint8_t>& ports, std::optional<Bytes> serial,
          std::optional<Bytes> descriptors = std::nullopt, std::uint16_t product = kTestProduct) {
    DeviceSpec spec;
    spec.ports = ports;
    spec.product = product;
    spec.serial = std::move(serial);
    spec.descriptors = std::move(descriptors);
    std::string error;
    const int id = bus_->add(spec, error);
    EXPECT_GE(id, 0) << error;
    return id;
  }
  UsbPlatform& platform() { return *platform_; }

  velk_emu::Options options_;
  Bytes answer_;
  std::optional<Bus> bus_{std::in_place, options_, answer_};
  std::optional<UsbPlatform> platform_{std::in_place};
};

struct SerialCase {
  const char* name;
  std::optional<Bytes> serial;
  std::string path;
};

void PrintTo(const SerialCase& c, std::ostream* out) { *out << c.name; }

Bytes descriptor_of_255_bytes() {
  Bytes bytes(255, 'Z');
  bytes[0] = 255;
  bytes[1] = 3;
  for (std::size_t i = 3; i < bytes.size(); i += 2) bytes[i] = 0;
  return bytes;
}

class UsbSerialTest : public UsbPlatformTest, public ::testing::WithParamInterface<SerialCase> {};

TEST_P(UsbSerialTest, TheListedPathIsSafeAndOpensTheDevice) {
  add({1}, GetParam().serial);
  const ListResult listed = platform().interface_paths();
  EXPECT_FALSE(listed.failed);
  ASSERT_EQ(listed.paths, std::vector<NativeString>{GetParam().path});
  const Handle handle = platform().open_exclusive(GetParam().path);
  EXPECT_NE(handle, kInvalidHandle);
  EXPECT_TRUE(platform().close(handle));
}

INSTANTIATE_TEST_SUITE_P(
    Serials, UsbSerialTest,
    ::testing::Values(
        SerialCase{"Plain", string_descriptor("SN-0042"), "usb:1-1:SN-0042"},
        SerialCase{"ControlsEscapesSeparatorsAndNonAscii",
                   utf16_descriptor(u"\x1b]0;x\x07\r\nA:B/C\\D\u00e9\u4e2d\x7f"),
                   "usb:1-1:_]0;x___A_B_C_D___"},
        SerialCase{"OfTheLongest255BytesCutAt64", descriptor_of_255_bytes(),
                   "usb:1-1:" + std::string(64, 'Z')},
        SerialCase{"LengthClaimsMoreThanCame", Bytes{200, 3, 'S', 0, 'N', 0, '1'}, "usb:1-1:SN"},
        SerialCase{"None", std::nullopt, "usb:1-1"},
        SerialCase{"Empty", Bytes{2, 3}, "usb:1-1"},
        SerialCase{"NotAStringDescriptor", Bytes{6, 2, 'S', 0, 'N', 0}, "usb:1-1"},
        SerialCase{"TooShortForAHeader", Bytes{2}, "usb:1-1"}),
    [](const ::testing::TestParamInfo<SerialCase>& param_info) { return param_info.param.name; });

TEST_F(UsbPlatformTest, ListsConfiguredInstrumentsWithABulkPairInBusAndPortOrder) {
  const Bytes good = instrument_descriptors(kTestVendor, kTestProduct, true);
  Bytes interrupt_in = good;
  interrupt_in[46] = 3;  // the IN endpoint's attributes: interrupt, not bulk
  add({10}, string_descriptor("ten"));
  add({3, 4}, string_descriptor("nested"));
  add({2}, string_descriptor("two"));
  add({5}, string_descriptor("other-id"), std::nullopt, 0x0002);
  add({6}, string_descriptor("no-bulk-in"), interrupt_in);
  // Cut in the configuration's header, in the interface, in the IN endpoint.
  add({7}, string_descriptor("cut-27"), Bytes(good.begin(), good.begin() + 27));
  add({8}, string_descriptor("cut-30"), Bytes(good.begin(), good.begin() + 30));
  add({9}, string_descriptor("cut-47"), Bytes(good.begin(), good.begin() + 47));
  const ListResult listed = platform().interface_paths();
  EXPECT_FALSE(listed.failed);
  EXPECT_EQ(listed.paths, (std::vector<NativeString>{"usb:1-2:two", "usb:1-3.4:nested",
                                                     "usb:1-10:ten"}));
}

TEST_F(UsbPlatformTest, NoIdConfiguredListsNothing) {
  add({1}, string_descriptor("present"));
  setenv("TARNLINK_USB_IDS", "", 1);
  const ListResult listed = platform().interface_paths();
  EXPECT_FALSE(listed.failed);
  EXPECT_TRUE(listed.paths.empty());
  EXPECT_EQ(platform().open_exclusive("usb:1-1:present"), kInvalidHandle);
}

TEST_F(UsbPlatformTest, ADeviceThatVanishedSinceTheListingDoesNotOpen) {
  const int id = add({1}, string_descriptor("brief"));
  const ListResult listed = platform().interface_paths();
  ASSERT_EQ(listed.paths, std::vector<NativeString>{"usb:1-1:brief"});
  bus_->remove(id);
  EXPECT_EQ(platform().open_exclusive(listed.paths[0]), kInvalidHandle);
  EXPECT_TRUE(platform().interface_paths().paths.empty());
}

TEST_F(UsbPlatformTest, AnotherDeviceAtTheListedPortIsNotOpenedInItsPlace) {
  const int id = add({1}, string_descriptor("first"));
  const ListResult listed = platform().interface_paths();
  bus_->remove(id);
  add({1}, string_descriptor("second"));
  EXPECT_EQ(platform().open_exclusive(listed.paths.at(0)), kInvalidHandle);
}

// A read with nothing to read comes back with 0 bytes at the link timeout, a
// short one and 0 included: libusb's 0, which would wait for ever, never
// reaches it.
TEST_F(UsbPlatformTest, AReadOfNothingEndsAtEveryLinkTimeout) {
  options_.answer = velk_emu::AnswerMode::kSilent;
  const int id = add({1}, string_descriptor("quiet"));
  const Handle handle = platform().open_exclusive("usb:1-1:quiet");
  ASSERT_NE(handle, kInvalidHandle);
  for (const std::int32_t timeout : {0, 1, 9999, 10001}) {
    ASSERT_TRUE(platform().set_timeout(handle, timeout));
    std::int32_t read_back = -1;
    EXPECT_TRUE(platform().get_timeout(handle, read_back));
    EXPECT_EQ(read_back, timeout);
    auto read = std::async(std::launch::async, [&] {
      std::uint8_t buffer[4096];
      return platform().read(handle, buffer, sizeof buffer);
    });
    if (read.wait_for(kBound) != std::future_status::ready) {
      ADD_FAILURE() << "a read with link timeout " << timeout << " did not end";
      bus_->remove(id);  // which ends the read
      return;
    }
    EXPECT_EQ(read.get(), 0u) << "link timeout " << timeout;
  }
  EXPECT_TRUE(platform().close(handle));
  EXPECT_FALSE(platform().close(handle));
}

}  // namespace
}  // namespace tarnlink::usb
