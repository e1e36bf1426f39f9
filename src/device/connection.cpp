#include "device/connection.h"

#include <iterator>

#include "base/driver_contract.h"
#include "base/console.h"
#include "base/native_text.h"
#include "base/safe_text.h"

namespace tarnlink {
namespace {

// Lists the present interfaces into `list`, saying so when enumeration failed
// (whatever it delivered before is still used). False, after saying so, when
// there is none; `complete` tells whether enumeration reached the end.
bool list_devices(DeviceAccess& device, std::ostream& out, DeviceList& list,
                  bool* complete = nullptr) {
  const bool listed = device.GetCountActiveDevices(list) == kStatusOk;
  if (!listed) write_line(out, "Error - GetCountActiveDevices");
  if (complete != nullptr) *complete = listed;
  if (list.empty()) {
    write_line(out, "Device not found!");
    return false;
  }
  return true;
}

// Opens and selects the chosen interface, then sets the default link timeout and
// reads it back: only an instrument that answers with exactly that value counts.
std::int32_t open_and_handshake(DeviceAccess& device, const DeviceListEntry& chosen) {
  device.OpenDevice(chosen);
  device.SelectDevice(chosen);
  std::int32_t timeout = 0;
  device.GetTimeout(timeout);
  device.SetTimeout(contract::kHandshakeTimeout);
  timeout = 0;
  device.GetTimeout(timeout);
  return timeout == contract::kHandshakeTimeout ? 0 : -1;
}

}  // namespace

std::int32_t ListInstruments(DeviceAccess& device, std::ostream& out) {
  DeviceList list;
  bool complete = false;
  if (!list_devices(device, out, list, &complete)) return -1;
  for (const DeviceListEntry& entry : list) {
    // The path is the device's text: a control byte in it would forge a line or
    // command the terminal.
    write_line(out, decimal(entry.index) + " " +
                        replace_unsafe_bytes(console_text(entry.path), '?',
                                             KeepBytes::kAllButControls));
  }
  // A listing cut short by a failure is not reported as a success.
  return complete ? 0 : -1;
}

std::int32_t ConnectDefault(DeviceAccess& device, std::ostream& out) {
  DeviceList list;
  if (!list_devices(device, out, list)) return -1;
  // The last of up to six interfaces, else the sixth.
  auto position = list.begin();
  for (std::size_t k = 1; k <= 5; ++k) {
    if (list.size() > k) position = std::next(position);
  }
  return open_and_handshake(device, *position);
}

std::int32_t ConnectByName(DeviceAccess& device, std::ostream& out, const NativeString& usb_name) {
  DeviceList list;
  if (!list_devices(device, out, list)) return -1;
  // The last interface whose path holds the name; the first when none does.
  auto chosen = list.begin();
  for (auto entry = list.begin(); entry != list.end(); ++entry) {
    if (entry->path.find(usb_name) != NativeString::npos) chosen = entry;
  }
  return open_and_handshake(device, *chosen);
}

}  // namespace tarnlink
