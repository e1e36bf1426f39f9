// The USB backend: instruments on the USB bus, reached through libusb-1.0 from
// user space. An instrument is a device whose vendor:product ID is configured
// (usb_ids.h) and that has a bulk interface (usb_descriptors.h); its device path
// is usb:BUS-PORTS[:SERIAL] (usb_path.h). Messages pass to the bulk endpoints as
// they are. The link timeout is kept on the host, per handle.
//
// libusb is initialised at the first listing or open that finds an ID
// configured, never before, and lives until the backend is destroyed.
//
// Blocking: a listing reads each instrument's serial number from sysfs; only a
// device that names one that sysfs does not show is opened for it, one control
// transfer pair, which libusb bounds by 1 s apiece. A write waits at most the
// link timeout, rounded up to whole milliseconds; with a link timeout of 0,
// which only says that reads do not wait, a write waits at most 8 s. A read
// waits at most the link timeout rounded up to whole milliseconds; with 0 it
// gives the device 1 ms, the least libusb waits, since its own 0 means forever.
//
// Errors: a permission refusal, another program's claim of the interface, a
// kernel driver bound to it (never detached) and a vanished device fail the
// open, each with its reason. A stall fails the transfer, and the endpoint's
// halt is cleared before the failure is returned.
#pragma once

#include <cstdint>
#include <map>
#include <optional>

#include "platform/platform.h"
#include "platform/usb/usb_descriptors.h"

struct libusb_context;
struct libusb_device_handle;

namespace tarnlink::usb {

class UsbPlatform final : public Platform {
 public:
  UsbPlatform() = default;
  // Releases and closes the handles still open, then lets go of libusb.
  ~UsbPlatform() override;
  UsbPlatform(const UsbPlatform&) = delete;
  UsbPlatform& operator=(const UsbPlatform&) = delete;

  // The configured devices with a bulk interface, in bus and port order.
  // Fails when libusb cannot be initialised or cannot list the bus.
  ListResult interface_paths() override;
  // Opens the device and claims its bulk interface.
  OpenResult open_exclusive(const NativeString& path) override;
  // One bulk OUT transfer of the whole message: the bytes the device took
  // before it finished or the wait ran out. Fails on a stall or a vanished device.
  std::optional<std::uint32_t> write(Handle handle, const std::uint8_t* data,
                                     std::uint32_t size) override;
  // One bulk IN transfer of up to `size` bytes: what arrived before it finished
  // or the wait ran out, possibly 0. Fails on a stall, an overflow (the device
  // sent more than asked) or a vanished device.
  std::optional<std::uint32_t> read(Handle handle, std::uint8_t* buffer,
                                    std::uint32_t size) override;
  // Keep and report the handle's link timeout; no request reaches the device.
  bool set_timeout(Handle handle, std::int32_t timeout) override;
  bool get_timeout(Handle handle, std::int32_t& timeout) override;
  // False: libusb tells a timeout apart from a failure.
  bool read_fails_at_timeout() override;
  // Releases the interface and closes the device.
  bool close(Handle handle) override;
  // False: the bus has no keyboard.
  bool escape_held() override;

 private:
  struct Link {
    libusb_device_handle* device = nullptr;
    BulkInterface bulk;
    std::int32_t timeout = 0;  // the link timeout last set, in 100-ns units
  };

  // libusb's context, initialised on first use; null when it cannot be.
  libusb_context* context();
  Link* find_link(Handle handle);

  libusb_context* context_ = nullptr;
  std::map<Handle, Link> links_;
  Handle next_handle_ = 1;
};

}  // namespace tarnlink::usb
