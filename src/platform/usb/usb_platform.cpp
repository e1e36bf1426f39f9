#include "platform/usb/usb_platform.h"

#include <libusb.h>

#include <algorithm>
#include <climits>
#include <string>
#include <tuple>
#include <vector>

#include "base/driver_contract.h"
#include "base/utf8.h"
#include "platform/usb/usb_ids.h"
#include "platform/usb/usb_path.h"
#include "platform/usb/usb_sysfs.h"

namespace tarnlink::usb {
namespace {

// The deepest a device can sit behind hubs: seven port numbers.
constexpr int kMaxPorts = 7;
// What a read with a link timeout of 0 gives the device: libusb's 0 would mean
// forever, and libusb's transfers cannot be made without a wait at all.
constexpr unsigned int kPollWaitMs = 1;
// A write's bound when the link timeout is 0: the default link timeout's.
constexpr unsigned int kWriteWaitAtZeroMs =
    contract::kHandshakeTimeout / contract::kUnitsPerMillisecond;

// libusb's wait, in milliseconds, for a link timeout in 100-ns units: rounded
// up, so that a short timeout does not become libusb's 0, which is forever.
unsigned int milliseconds_up(std::int32_t timeout) {
  const auto units = static_cast<std::uint32_t>(timeout);
  constexpr auto kPer = static_cast<std::uint32_t>(contract::kUnitsPerMillisecond);
  return (units + kPer - 1) / kPer;
}

// A configured device with a bulk interface, as the bus lists it.
struct Instrument {
  libusb_device* device = nullptr;
  std::uint8_t bus = 0;
  std::vector<std::uint8_t> ports;
  BulkInterface bulk;
  std::uint8_t serial_index = 0;  // 0: the device names no serial number
};

// One listing of the bus; the devices stay valid while it lives.
class DeviceList {
 public:
  explicit DeviceList(libusb_context* context)
      : count_(libusb_get_device_list(context, &devices_)) {}
  ~DeviceList() {
    if (count_ >= 0) libusb_free_device_list(devices_, 1);
  }
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;

  bool listed() const { return count_ >= 0; }

  // The devices with one of `ids` and a bulk interface, in bus and port order.
  std::vector<Instrument> instruments(const std::vector<UsbId>& ids) const {
    std::vector<Instrument> found;
    for (ssize_t i = 0; i < count_; ++i) {
      Instrument instrument;
      instrument.device = devices_[i];
      libusb_device_descriptor descriptor{};
      if (libusb_get_device_descriptor(instrument.device, &descriptor) != 0 ||
          std::find(ids.begin(), ids.end(), UsbId{descriptor.idVendor, descriptor.idProduct}) ==
              ids.end()) {
        continue;
      }
      std::uint8_t ports[kMaxPorts];
      const int depth = libusb_get_port_numbers(instrument.device, ports, kMaxPorts);
      // A root hub has no port of its own and is no instrument.
      if (depth <= 0) continue;
      libusb_config_descriptor* config = nullptr;
      if (libusb_get_active_config_descriptor(instrument.device, &config) != 0) continue;
      const std::optional<BulkInterface> bulk = bulk_interface(*config);
      libusb_free_config_descriptor(config);
      if (!bulk) continue;
      instrument.bus = libusb_get_bus_number(instrument.device);
      instrument.ports.assign(ports, ports + depth);
      instrument.bulk = *bulk;
      instrument.serial_index = descriptor.iSerialNumber;
      found.push_back(std::move(instrument));
    }
    std::sort(found.begin(), found.end(), [](const Instrument& a, const Instrument& b) {
      return std::tie(a.bus, a.ports) < std::tie(b.bus, b.ports);
    });
    return found;
  }

 private:
  libusb_device** devices_ = nullptr;
  ssize_t count_;
};

// The serial number string of an open device, read as the kernel reads it for
// sysfs: in the first language the device offers, US English when it offers
// none; nullopt when it names none or it cannot be read.
std::optional<std::string> read_serial(libusb_device_handle* device, std::uint8_t index) {
  if (index == 0) return std::nullopt;
  // The longest descriptor there can be: its length is one byte.
  unsigned char buffer[255];
  const int languages = libusb_get_string_descriptor(device, 0, 0, buffer, sizeof buffer);
  if (languages < 2) return std::nullopt;
  std::uint16_t language = 0x0409;
  if (buffer[1] == LIBUSB_DT_STRING && std::min<int>(languages, buffer[0]) >= 4) {
    language = static_cast<std::uint16_t>(buffer[2] | (buffer[3] << 8));
  }
  const int got = libusb_get_string_descriptor(device, index, language, buffer, sizeof buffer);
  if (got < 0) return std::nullopt;
  return string_descriptor_text(buffer, static_cast<std::size_t>(got));
}

// The serial number of a listed device, as sysfs shows it to every user, so
// that a device this user may not open keeps its name. Where sysfs shows none
// although the device names one, it is read from the device, if it opens.
std::optional<std::string> listed_serial(const Instrument& instrument) {
  if (instrument.serial_index == 0) return std::nullopt;
  if (auto serial = sysfs_serial(port_name(instrument.bus, instrument.ports))) return serial;
  libusb_device_handle* device = nullptr;
  if (libusb_open(instrument.device, &device) != 0) return std::nullopt;
  auto serial = read_serial(device, instrument.serial_index);
  libusb_close(device);
  return serial;
}

std::string path_of(const Instrument& instrument, const std::optional<std::string>& serial) {
  return usb_device_path(usb_location(instrument.bus, instrument.ports), serial);
}

// What a libusb error of an open or a claim tells the operator.
OpenFailure open_failure(int error) {
  switch (error) {
    case LIBUSB_ERROR_ACCESS:
      return OpenFailure::kPermission;
    case LIBUSB_ERROR_BUSY:
      return OpenFailure::kHeld;
    case LIBUSB_ERROR_NO_DEVICE:
      return OpenFailure::kGone;
    default:
      return OpenFailure::kFailed;
  }
}

// One bulk transfer of the link's: the bytes moved before it finished or the
// wait ran out. A stall halts the endpoint in the device, for every later
// transfer of any program, until the host clears it: cleared before the
// failure is reported, so that the next run finds it working.
std::optional<std::uint32_t> bulk_transfer(libusb_device_handle* device, std::uint8_t endpoint,
                                           std::uint8_t* buffer, std::uint32_t size,
                                           unsigned int wait) {
  int moved = 0;
  const int status =
      libusb_bulk_transfer(device, endpoint, buffer, static_cast<int>(size), &moved, wait);
  if (status == LIBUSB_ERROR_PIPE) (void)libusb_clear_halt(device, endpoint);
  // A transfer that times out reports the bytes that moved before it did.
  if (status != 0 && status != LIBUSB_ERROR_TIMEOUT) return std::nullopt;
  return static_cast<std::uint32_t>(std::clamp<int>(moved, 0, static_cast<int>(size)));
}

}  // namespace

UsbPlatform::~UsbPlatform() {
  for (auto& [handle, link] : links_) {
    libusb_release_interface(link.device, link.bulk.number);
    libusb_close(link.device);
  }
  if (context_ != nullptr) libusb_exit(context_);
}

libusb_context* UsbPlatform::context() {
  if (context_ == nullptr && libusb_init(&context_) != 0) context_ = nullptr;
  return context_;
}

UsbPlatform::Link* UsbPlatform::find_link(Handle handle) {
  const auto found = links_.find(handle);
  return found == links_.end() ? nullptr : &found->second;
}

ListResult UsbPlatform::interface_paths() {
  ListResult result;
  const std::vector<UsbId> ids = configured_usb_ids();
  if (ids.empty()) return result;
  libusb_context* usb = context();
  if (usb == nullptr) {
    result.failed = true;
    return result;
  }
  const DeviceList list(usb);
  result.failed = !list.listed();
  for (const Instrument& instrument : list.instruments(ids)) {
    result.paths.push_back(path_of(instrument, listed_serial(instrument)));
  }
  return result;
}

OpenResult UsbPlatform::open_exclusive(const NativeString& path) {
  const std::vector<UsbId> ids = configured_usb_ids();
  if (ids.empty() || path.rfind("usb:", 0) != 0) return OpenFailure::kUnknown;  // not ours
  libusb_context* usb = context();
  if (usb == nullptr) return OpenFailure::kFailed;
  const DeviceList list(usb);
  for (const Instrument& instrument : list.instruments(ids)) {
    const std::string location = usb_location(instrument.bus, instrument.ports);
    if (path != location && path.compare(0, location.size() + 1, location + ":") != 0) continue;
    libusb_device_handle* device = nullptr;
    if (const int error = libusb_open(instrument.device, &device); error != 0) {
      return open_failure(error);
    }
    // The serial number, read from the device opened, tells the listed device
    // from one that took its port since.
    if (path_of(instrument, read_serial(device, instrument.serial_index)) != path) {
      libusb_close(device);
      return OpenFailure::kGone;
    }
    // Another program's claim makes ours fail (busy), and so does a kernel
    // driver's, which is never detached.
    if (const int error = libusb_claim_interface(device, instrument.bulk.number); error != 0) {
      const bool driver = error == LIBUSB_ERROR_BUSY &&
                          libusb_kernel_driver_active(device, instrument.bulk.number) == 1;
      libusb_close(device);
      return driver ? OpenFailure::kKernelDriver : open_failure(error);
    }
    const Handle handle = next_handle_++;
    links_[handle] = Link{device, instrument.bulk, contract::kHandshakeTimeout};
    return handle;
  }
  return OpenFailure::kGone;
}

std::optional<std::uint32_t> UsbPlatform::write(Handle handle, const std::uint8_t* data,
                                                std::uint32_t size) {
  Link* link = find_link(handle);
  if (link == nullptr || (data == nullptr && size != 0) || size > INT_MAX) return std::nullopt;
  const unsigned int wait =
      link->timeout == 0 ? kWriteWaitAtZeroMs : milliseconds_up(link->timeout);
  // libusb's buffer is not const, but an OUT transfer only reads it.
  return bulk_transfer(link->device, link->bulk.endpoint_out, const_cast<std::uint8_t*>(data),
                       size, wait);
}

std::optional<std::uint32_t> UsbPlatform::read(Handle handle, std::uint8_t* buffer,
                                               std::uint32_t size) {
  Link* link = find_link(handle);
  if (link == nullptr || buffer == nullptr || size == 0 || size > INT_MAX) return std::nullopt;
  const unsigned int wait = link->timeout == 0 ? kPollWaitMs : milliseconds_up(link->timeout);
  return bulk_transfer(link->device, link->bulk.endpoint_in, buffer, size, wait);
}

bool UsbPlatform::set_timeout(Handle handle, std::int32_t timeout) {
  Link* link = find_link(handle);
  if (link == nullptr || timeout < 0) return false;
  link->timeout = timeout;
  return true;
}

bool UsbPlatform::get_timeout(Handle handle, std::int32_t& timeout) {
  const Link* link = find_link(handle);
  if (link == nullptr) return false;
  timeout = link->timeout;
  return true;
}

bool UsbPlatform::read_fails_at_timeout() { return false; }

bool UsbPlatform::close(Handle handle) {
  const auto found = links_.find(handle);
  if (found == links_.end()) return false;
  libusb_release_interface(found->second.device, found->second.bulk.number);
  libusb_close(found->second.device);
  links_.erase(found);
  return true;
}

bool UsbPlatform::escape_held() { return false; }

}  // namespace tarnlink::usb
