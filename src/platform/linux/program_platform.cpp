// The program's platform on Linux: the device directory's instruments first,
// then those on the USB bus.
#include "platform/linux/platform_composition.h"
#include "platform/posix/posix_platform.h"
#include "platform/usb/usb_platform.h"

namespace tarnlink {

Platform& program_platform() {
  static posix::PosixPlatform device_directory;
  static usb::UsbPlatform usb_bus;
  static PlatformComposition platform({&device_directory, &usb_bus});
  return platform;
}

}  // namespace tarnlink
