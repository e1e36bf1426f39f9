#include "platform/usb/usb_descriptors.h"

namespace tarnlink::usb {

std::optional<BulkInterface> bulk_interface(const libusb_config_descriptor& config) {
  for (int i = 0; i < config.bNumInterfaces; ++i) {
    const libusb_interface& interface = config.interface[i];
    // The default setting is the one in force after a claim; others would need
    // a request that the instrument's driver never makes.
    if (interface.num_altsetting < 1) continue;
    const libusb_interface_descriptor& setting = interface.altsetting[0];
    BulkInterface found;
    found.number = setting.bInterfaceNumber;
    for (int e = 0; e < setting.bNumEndpoints; ++e) {
      const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
      if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) {
        continue;
      }
      const bool in = (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
      std::uint8_t& slot = in ? found.endpoint_in : found.endpoint_out;
      if (slot == 0) slot = endpoint.bEndpointAddress;
    }
    if (found.endpoint_out != 0 && found.endpoint_in != 0) return found;
  }
  return std::nullopt;
}

}  // namespace tarnlink::usb
