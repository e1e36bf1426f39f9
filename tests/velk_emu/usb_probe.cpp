// A plain libusb client for velk-emu --usb, in the role of COMMAND.
//   usb_probe                 lists the devices whose ID is $TARNLINK_USB_IDS:
//                             "PORT SERIAL" a line, in port order
//   usb_probe PORT BYTES      then claims interface 0 of the device at PORT,
//                             writes BYTES, reads once, prints each outcome,
//                             and lists the ports again ("listed PORT...")
#include <libusb.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace {

std::string outcome(int result) { return result == 0 ? "ok" : libusb_error_name(result); }

std::string port_of(libusb_device* device) {
  std::uint8_t ports[8];
  const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
  std::string name = std::to_string(libusb_get_bus_number(device));
  for (int i = 0; i < depth; ++i) name += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
  return name;
}

// The devices with the ID `ids`, by port; they stay referenced.
std::map<std::string, libusb_device*> devices(libusb_context* usb, const char* ids) {
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(usb, &list);
  std::map<std::string, libusb_device*> listed;
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device_descriptor descriptor{};
    char id[10];
    libusb_get_device_descriptor(list[i], &descriptor);
    std::snprintf(id, sizeof id, "%04x:%04x", descriptor.idVendor, descriptor.idProduct);
    if (id == std::string(ids)) listed[port_of(list[i])] = libusb_ref_device(list[i]);
  }
  if (list != nullptr) libusb_free_device_list(list, 1);
  return listed;
}

}  // namespace

int main(int argc, char** argv) {
  const char* ids = std::getenv("TARNLINK_USB_IDS");
  libusb_context* usb = nullptr;
  if (ids == nullptr || libusb_init(&usb) != 0) return 1;
  const auto listed = devices(usb, ids);
  for (const auto& [port, device] : listed) {
    libusb_device_handle* handle = nullptr;
    unsigned char serial[128] = {};
    if (libusb_open(device, &handle) == 0) {
      libusb_get_string_descriptor_ascii(handle, 3, serial, sizeof serial - 1);
      libusb_close(handle);
    }
    std::printf("%s %s\n", port.c_str(), reinterpret_cast<char*>(serial));
  }
  if (argc == 3 && listed.count(argv[1]) != 0) {
    libusb_device_handle* handle = nullptr;
    int result = libusb_open(listed.at(argv[1]), &handle);
    if (result == 0) result = libusb_claim_interface(handle, 0);
    std::printf("claim %s\n", outcome(result).c_str());
    if (result == 0) {
      std::string bytes = argv[2];
      int done = 0;
      result = libusb_bulk_transfer(handle, 0x01, reinterpret_cast<unsigned char*>(bytes.data()),
                                    static_cast<int>(bytes.size()), &done, 5000);
      std::printf("write %s %d\n", outcome(result).c_str(), done);
      unsigned char answer[4096];
      done = 0;  // a transfer that cannot start leaves the count as it was
      result = libusb_bulk_transfer(handle, 0x81, answer, sizeof answer, &done, 5000);
      std::printf("read %s %.*s\n", outcome(result).c_str(), done, reinterpret_cast<char*>(answer));
    }
    std::printf("listed");
    for (const auto& entry : devices(usb, ids)) std::printf(" %s", entry.first.c_str());
    std::printf("\n");
    // The handle stays open, as tarnlink leaves it: the process's end lets go.
  }
  std::fflush(stdout);
  return 0;
}
