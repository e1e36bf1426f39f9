// The USB backend against devices on a bus that umockdev emulates in this very
// process, which runs under umockdev's preload. Hostile devices above all:
// whatever their descriptors say, a listing ends, nothing crashes, and every
// path that comes out is safe to show and opens its device: the listing reads
// the serial number as UTF-8 from sysfs, the open as UTF-16 from the device.
#include "platform/usb/usb_platform.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "usb/bus.h"

namespace tarnlink::usb {
namespace {

using velk_emu::usb::string_descriptor;
using namespace std::string_literals;
using Bytes = std::vector<std::uint8_t>;
using Paths = std::vector<NativeString>;

// A string descriptor of UTF-16 code units, well formed.
Bytes utf16_descriptor(const std::u16string& text) {
  Bytes bytes{static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<std::uint8_t>(unit));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  return bytes;
}

class UsbPlatformTest : public ::testing::Test {
 protected:
  UsbPlatformTest() { setenv("TARNLINK_USB_IDS", "1209:0001", 1); }
  ~UsbPlatformTest() override {
    platform_.reset();  // libusb goes before the bus it talks to
    bus_.reset();
    unsetenv("TARNLINK_USB_IDS");
  }
  // An instrument at bus 1 and `ports`; its id on the bus.
  int add(const std::vector<std::uint8_t>& ports, std::optional<Bytes> serial,
          std::optional<Bytes> descriptors = std::nullopt, std::uint16_t product = 0x0001,
          bool kernel_driver = false) {
    velk_emu::usb::DeviceSpec spec;
    spec.ports = ports;
    spec.product = product;
    spec.serial = std::move(serial);
    spec.descriptors = std::move(descriptors);
    spec.kernel_driver = kernel_driver;
    std::string error;
    const int id = bus_->add(spec, error);
    EXPECT_GE(id, 0) << error;
    return id;
  }
  Paths listed() {
    const ListResult result = platform_->interface_paths();
    EXPECT_FALSE(result.failed);
    return result.paths;
  }

  velk_emu::Options options_;
  Bytes answer_;
  std::optional<velk_emu::usb::Bus> bus_{std::in_place, options_, answer_};
  std::optional<UsbPlatform> platform_{std::in_place};
};

struct SerialCase {
  const char* name;
  std::optional<Bytes> serial;
  std::string path;
};

class UsbSerialTest : public UsbPlatformTest, public ::testing::WithParamInterface<SerialCase> {};

TEST_P(UsbSerialTest, TheListedPathIsSafeAndOpensTheDevice) {
  add({1}, GetParam().serial);
  ASSERT_EQ(listed(), Paths{GetParam().path});
  const Handle handle = platform_->open_exclusive(GetParam().path).handle;
  EXPECT_NE(handle, kInvalidHandle);
  EXPECT_TRUE(platform_->close(handle));
}

Bytes longest_descriptor() {  // 255 bytes: 126 characters and an odd byte
  Bytes bytes{255, 3};
  while (bytes.size() < 255) bytes.insert(bytes.end(), {'Z', 0});
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Serials, UsbSerialTest,
    ::testing::Values(
        SerialCase{"Plain", string_descriptor("SN-0042"), "usb:1-1:SN-0042"},
        SerialCase{"ControlsEscapesSeparatorsAndNonAscii",
                   utf16_descriptor(u"\x1b]0;x\x07\r\nA:B/C\\D\u00e9\u4e2d\x7f\u009b"),
                   "usb:1-1:_]0;x___A_B_C_D____"},
        // One '_' a character: a surrogate pair is one, a lone surrogate none;
        // U+0000 ends the text.
        SerialCase{"SurrogatesAndAZeroUnit",
                   utf16_descriptor(u"a\U0001F600b\xd800" u"c\xdc00" u"d\0ef"s), "usb:1-1:a_bcd"},
        SerialCase{"OfThe255BytesCutAt64", longest_descriptor(), "usb:1-1:" + std::string(64, 'Z')},
        SerialCase{"LengthClaimsMoreThanCame", Bytes{200, 3, 'S', 0, 'N', 0, '1'}, "usb:1-1:SN"},
        SerialCase{"None", std::nullopt, "usb:1-1"}, SerialCase{"Empty", Bytes{2, 3}, "usb:1-1"},
        SerialCase{"NotAStringDescriptor", Bytes{6, 2, 'S', 0, 'N', 0}, "usb:1-1"},
        SerialCase{"ShorterThanAHeader", Bytes{2}, "usb:1-1"}),
    [](const ::testing::TestParamInfo<SerialCase>& param_info) { return param_info.param.name; });

TEST_F(UsbPlatformTest, ListsConfiguredInstrumentsWithABulkPairInBusAndPortOrder) {
  const Bytes good = velk_emu::usb::instrument_descriptors(0x1209, 0x0001, true);
  Bytes interrupt_in = good;
  interrupt_in[46] = 3;  // the IN endpoint's attributes: interrupt, not bulk
  add({10}, string_descriptor("ten"));
  add({3, 4}, string_descriptor("nested"));
  add({2}, string_descriptor("two"));
  add({5}, string_descriptor("other-id"), std::nullopt, 0x0002);
  add({6}, string_descriptor("no-bulk-in"), interrupt_in);
  // Cut in the configuration's header, in the interface, in the IN endpoint.
  for (const int cut : {27, 30, 47}) {
    add({static_cast<std::uint8_t>(cut)}, string_descriptor("cut"),
        Bytes(good.begin(), good.begin() + cut));
  }
  EXPECT_EQ(listed(), (Paths{"usb:1-2:two", "usb:1-3.4:nested", "usb:1-10:ten"}));

  setenv("TARNLINK_USB_IDS", "", 1);
  EXPECT_EQ(listed(), Paths{});
  EXPECT_EQ(platform_->open_exclusive("usb:1-2:two").handle, kInvalidHandle);
}

// Each open that fails says why: held by another handle, by a kernel driver,
// or the listed device gone, unplugged or replaced on its port.
TEST_F(UsbPlatformTest, OnlyTheListedDeviceOpensAtItsPathAndARefusalSaysWhy) {
  add({1}, string_descriptor("held"));
  add({2}, string_descriptor("driven"), std::nullopt, 0x0001, true);
  const int unplugged = add({3}, string_descriptor("unplugged"));
  const int replaced = add({4}, string_descriptor("first"));
  ASSERT_EQ(listed(), (Paths{"usb:1-1:held", "usb:1-2:driven", "usb:1-3:unplugged",
                             "usb:1-4:first"}));
  UsbPlatform other;
  ASSERT_NE(other.open_exclusive("usb:1-1:held").handle, kInvalidHandle);
  bus_->remove(unplugged);
  bus_->remove(replaced);
  add({4}, string_descriptor("second"));
  const std::vector<std::pair<std::string, OpenFailure>> refusals{
      {"usb:1-1:held", OpenFailure::kHeld},
      {"usb:1-2:driven", OpenFailure::kKernelDriver},
      {"usb:1-3:unplugged", OpenFailure::kGone},
      {"usb:1-4:first", OpenFailure::kGone}};
  for (const auto& [path, why] : refusals) {
    const OpenResult opened = platform_->open_exclusive(path);
    EXPECT_EQ(opened.handle, kInvalidHandle) << path;
    EXPECT_EQ(opened.failure, why) << path;
  }
  EXPECT_EQ(listed(), (Paths{"usb:1-1:held", "usb:1-2:driven", "usb:1-4:second"}));
}

// A read of nothing comes back with 0 bytes at every link timeout, 0 and
// less than a millisecond included: libusb's 0, which waits for ever, never
// reaches it.
TEST_F(UsbPlatformTest, AReadOfNothingEndsAtEveryLinkTimeout) {
  options_.answer = velk_emu::AnswerMode::kSilent;
  const int id = add({1}, string_descriptor("quiet"));
  const Handle handle = platform_->open_exclusive("usb:1-1:quiet").handle;
  ASSERT_NE(handle, kInvalidHandle);
  for (const std::int32_t timeout : {0, 1, 9999, 10001}) {
    ASSERT_TRUE(platform_->set_timeout(handle, timeout));
    auto read = std::async(std::launch::async, [&] {
      std::uint8_t buffer[4096];
      return platform_->read(handle, buffer, sizeof buffer);
    });
    if (read.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "a read with link timeout " << timeout << " did not end";
      bus_->remove(id);  // which ends it
      return;
    }
    EXPECT_EQ(read.get(), 0u) << "link timeout " << timeout;
  }
}

}  // namespace
}  // namespace tarnlink::usb
