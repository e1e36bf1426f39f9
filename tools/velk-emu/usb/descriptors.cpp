#include "descriptors.h"

namespace velk_emu::usb {
namespace {

constexpr std::uint8_t kDeviceType = 1;
constexpr std::uint8_t kConfigurationType = 2;
constexpr std::uint8_t kInterfaceType = 4;
constexpr std::uint8_t kEndpointType = 5;
constexpr std::uint8_t kStringType = 3;
constexpr std::uint8_t kBulk = 2;
constexpr std::uint8_t kInterrupt = 3;
constexpr std::uint8_t kHubClass = 9;
constexpr std::uint8_t kVendorClass = 0xff;
// Hubs the bus adds above nested ports carry this ID; no instrument does.
constexpr std::uint16_t kHubProduct = 0x000f;

std::uint8_t low(std::uint16_t value) { return static_cast<std::uint8_t>(value & 0xff); }
std::uint8_t high(std::uint16_t value) { return static_cast<std::uint8_t>(value >> 8); }

struct Endpoint {
  std::uint8_t address;
  std::uint8_t attributes;
  std::uint16_t max_packet;
  std::uint8_t interval;
};

std::vector<std::uint8_t> describe(std::uint8_t device_class, std::uint16_t vendor,
                                   std::uint16_t product, std::uint8_t serial_index,
                                   std::uint8_t interface_class,
                                   const std::vector<Endpoint>& endpoints) {
  const auto total = static_cast<std::uint16_t>(9 + 9 + 7 * endpoints.size());
  std::vector<std::uint8_t> bytes{
      18, kDeviceType, 0x00, 0x02, device_class, 0, 0, 64, low(vendor), high(vendor), low(product),
      high(product), 0x00, 0x01, 0, 0, serial_index, 1,
      9, kConfigurationType, low(total), high(total), 1, 1, 0, 0x80, 50,
      9, kInterfaceType, 0, 0, static_cast<std::uint8_t>(endpoints.size()), interface_class, 0, 0,
      0};
  for (const Endpoint& endpoint : endpoints) {
    bytes.insert(bytes.end(), {7, kEndpointType, endpoint.address, endpoint.attributes,
                               low(endpoint.max_packet), high(endpoint.max_packet),
                               endpoint.interval});
  }
  return bytes;
}

}  // namespace

std::vector<std::uint8_t> instrument_descriptors(std::uint16_t vendor, std::uint16_t product,
                                                 bool has_serial) {
  return describe(0, vendor, product, has_serial ? kSerialIndex : 0, kVendorClass,
                  {{kBulkOut, kBulk, kMaxPacket, 0}, {kBulkIn, kBulk, kMaxPacket, 0}});
}

std::vector<std::uint8_t> hub_descriptors() {
  return describe(kHubClass, kTestVendor, kHubProduct, 0, kHubClass, {{0x81, kInterrupt, 1, 12}});
}

std::vector<std::uint8_t> string_descriptor(const std::string& text) {
  std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(2 + 2 * text.size()), kStringType};
  for (const char c : text) bytes.insert(bytes.end(), {static_cast<std::uint8_t>(c), 0});
  return bytes;
}

}  // namespace velk_emu::usb
