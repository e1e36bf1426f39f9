// An emulated USB bus: one umockdev testbed whose devices answer libusb as
// usbfs would, each either an instrument (the one model, as the socket service
// and the Windows bridge drive it) or a bare device that only has descriptors.
//
// Clients reach the bus through umockdev's preload library: a process started
// with client_environment() (velk-emu --usb), or the very process that owns the
// bus when it runs under the preload itself (a test; see CMakeLists.txt). The
// bus serves on umockdev's own worker thread, so a client may make blocking
// libusb calls on any other thread of the owning process.
//
// What a client sees:
// - Each device is listed by libusb with its ID, bus, port numbers and address;
//   its node is a FIFO that polls writable exactly while a finished request
//   waits to be reaped, so an idle client sleeps.
// - Claiming an interface is per open descriptor: EBUSY while another open
//   descriptor holds it (one whose client has gone no longer counts), ENODEV
//   once the device is gone. Claiming interface 0 of an instrument opens the
//   model's link (the busy fault refuses it with EBUSY); releasing it, or the
//   claiming client's end, closes it.
// - A bulk OUT transfer to 0x01 is one write of the model and completes as it
//   answers: whole, one byte short (short-write), or stalled (write-error). A
//   bulk IN transfer from 0x81 is one read: it completes when answer bytes are
//   ready and never at a timeout of the device's own (the host gives it up by
//   discarding it); read-error fails it with a protocol error. A bare device
//   stalls every bulk transfer.
// - String descriptor 0 names US English; string kSerialIndex answers the
//   device's serial descriptor byte for byte, cut to the length asked for.
// - When a device vanishes (remove(), or disconnect:K after the K-th write has
//   completed) libusb gets a remove uevent (when the owning process runs under
//   the preload), pending transfers end with NO_DEVICE, finished ones can
//   still be reaped, and every later request fails with ENODEV.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "descriptors.h"
#include "options.h"

namespace velk_emu::usb {

struct DeviceSpec {
  std::uint16_t vendor = kTestVendor;
  std::uint16_t product = kTestProduct;
  std::uint8_t bus = 1;                // 1 to 255
  std::vector<std::uint8_t> ports{1};  // from the root hub down: 1 to 7 numbers, each 1 to 255
  // The serial number's string descriptor, byte for byte as the device answers
  // it (string_descriptor() makes a well-formed one); none: the device has no
  // serial number and iSerialNumber is 0. sysfs shows its text as the kernel
  // does, in UTF-8 (the attribute "serial"), unless that text is empty or the
  // bytes are no string descriptor.
  std::optional<std::vector<std::uint8_t>> serial;
  // Replaces the descriptors built for the device (instrument_descriptors()),
  // byte for byte: libusb reads them as the kernel's sysfs copy. libusb does not
  // list a device whose bytes are shorter than a device descriptor or that cut
  // a configuration descriptor within its first 9 bytes.
  std::optional<std::vector<std::uint8_t>> descriptors;
  bool instrument = true;  // runs the instrument model; false: a bare device
  bool kernel_driver = false;  // a kernel driver holds interface 0: every claim gets EBUSY
  // With Options::capture_dir: the model's DIR/NAME.bin and DIR/NAME.log
  // (empty: the port's name).
  std::string capture_name;
};

// The kernel's name of a port: the bus, a dash, the port numbers joined by dots ("1-1.4").
std::string port_name(std::uint8_t bus, const std::vector<std::uint8_t>& ports);

// The LD_PRELOAD of a process on the bus: umockdev's preload library, behind
// the sanitizer runtime when this process has one (an instrumented program
// refuses to start otherwise), ahead of what LD_PRELOAD already holds.
std::string client_preload();
// Whether this process runs under umockdev's preload library. The bus sends
// libusb's clients their hotplug events only from such a process: umockdev
// looks the device up in the testbed's sysfs, which only the preload shows.
bool under_preload();

class Bus {
 public:
  // Creates the testbed: a temporary directory, with $UMOCKDEV_DIR set to it in
  // this process. Lowers the calling thread's timer slack to 1 ns, which the
  // bus's worker and every process started afterwards inherit: the preload
  // sleeps after every request, and the default slack doubles a transfer's
  // time. `options` (answers, faults, capture, rate) and `answer` (the bytes of
  // a file or pattern answer) outlive the bus and drive every instrument.
  Bus(const Options& options, const std::vector<std::uint8_t>& answer);
  // Ends every link still open (the capture logs "close"), then removes the
  // devices and the testbed's directory.
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // Adds a device at spec.bus and spec.ports, and a hub at each port above it
  // that has no device yet, and returns the device's id (>= 0). On failure
  // returns -1 with a one-line reason: the port is taken or malformed, the bus
  // has 127 devices, the capture files cannot be made.
  int add(const DeviceSpec& spec, std::string& error);
  // Unplugs device `id` as described above; the capture logs "vanish". Nothing
  // when it is already gone.
  void remove(int id);

  // The variables a client process needs, to be set on top of this process's
  // environment: LD_PRELOAD (client_preload()), UMOCKDEV_DIR, and
  // TARNLINK_USB_IDS = `usb_ids` unless this process's environment sets it
  // already.
  std::vector<std::pair<std::string, std::string>> client_environment(
      const std::string& usb_ids) const;
  // The testbed's temporary directory.
  const std::string& root_dir() const;

  // add(), remove() and the destructor are for one thread at a time, which is
  // not the bus's worker; they may run while clients make requests.
  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace velk_emu::usb
