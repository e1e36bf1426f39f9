// The bare client's link when it talks to a USB instrument itself: libusb and
// nothing else, in place of the program's platform. bare_link.cpp built with
// this file is the bare libusb client that tarnlink's USB backend is measured
// against: the same send and receive loops, with none of the backend's listing,
// path or descriptor checks.
//
// It opens the first device with the one ID in $TARNLINK_USB_IDS (vvvv:pppp)
// and claims interface 0, whose bulk endpoints are OUT 0x01 and IN 0x81, as on
// velk-emu's USB instruments. The link timeout stays on the host, as in the
// backend, and bounds each transfer (0: 1 ms for a read, 8 s for a write).
#include <libusb.h>

#include <cstdio>
#include <cstdlib>

#include "base/driver_contract.h"
#include "platform/platform.h"

namespace tarnlink {
namespace {

constexpr int kInterface = 0;
constexpr unsigned char kEndpointOut = 0x01;
constexpr unsigned char kEndpointIn = 0x81;

unsigned int wait_ms(std::int32_t timeout, unsigned int at_zero) {
  const auto units = static_cast<unsigned int>(timeout);
  constexpr auto kPer = static_cast<unsigned int>(contract::kUnitsPerMillisecond);
  return timeout == 0 ? at_zero : (units + kPer - 1) / kPer;
}

class BareUsb final : public Platform {
 public:
  ~BareUsb() override {
    if (device_ != nullptr) {
      libusb_release_interface(device_, kInterface);
      libusb_close(device_);
    }
    if (context_ != nullptr) libusb_exit(context_);
  }

  ListResult interface_paths() override {
    ListResult result;
    result.paths.emplace_back("usb");
    return result;
  }

  OpenResult open_exclusive(const NativeString&) override {
    const char* id = std::getenv("TARNLINK_USB_IDS");
    unsigned int vendor = 0;
    unsigned int product = 0;
    if (id == nullptr || std::sscanf(id, "%4x:%4x", &vendor, &product) != 2 ||
        libusb_init(&context_) != 0) {
      return kInvalidHandle;
    }
    device_ = libusb_open_device_with_vid_pid(context_, static_cast<std::uint16_t>(vendor),
                                              static_cast<std::uint16_t>(product));
    if (device_ == nullptr || libusb_claim_interface(device_, kInterface) != 0) {
      return kInvalidHandle;
    }
    return 1;
  }

  std::optional<std::uint32_t> write(Handle, const std::uint8_t* data,
                                     std::uint32_t size) override {
    return transfer(kEndpointOut, const_cast<std::uint8_t*>(data), size,
                    wait_ms(timeout_, static_cast<unsigned int>(contract::kHandshakeTimeout /
                                                                contract::kUnitsPerMillisecond)));
  }

  std::optional<std::uint32_t> read(Handle, std::uint8_t* buffer, std::uint32_t size) override {
    return transfer(kEndpointIn, buffer, size, wait_ms(timeout_, 1));
  }

  bool set_timeout(Handle, std::int32_t timeout) override {
    timeout_ = timeout;
    return true;
  }
  bool get_timeout(Handle, std::int32_t& timeout) override {
    timeout = timeout_;
    return true;
  }
  bool read_fails_at_timeout() override { return false; }
  bool close(Handle) override { return true; }
  bool escape_held() override { return false; }

 private:
  std::optional<std::uint32_t> transfer(unsigned char endpoint, std::uint8_t* data,
                                        std::uint32_t size, unsigned int wait) {
    int moved = 0;
    const int status = libusb_bulk_transfer(device_, endpoint, data, static_cast<int>(size),
                                            &moved, wait);
    if (status != 0 && status != LIBUSB_ERROR_TIMEOUT) return std::nullopt;
    return static_cast<std::uint32_t>(moved);
  }

  libusb_context* context_ = nullptr;
  libusb_device_handle* device_ = nullptr;
  std::int32_t timeout_ = contract::kHandshakeTimeout;
};

}  // namespace

Platform& program_platform() {
  static BareUsb platform;
  return platform;
}

}  // namespace tarnlink
