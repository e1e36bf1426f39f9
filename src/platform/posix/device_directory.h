// The device directory of the Linux device service: one Unix socket per present
// instrument, named after it, and beside each socket a presence file NAME.lock
// that the serving process holds an exclusive open-file-description lock on and
// that holds, as decimal text, the instrument's appearance key (larger = later).
// Shared by the client backend and the emulator.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tarnlink::posix {

inline constexpr const char* kDeviceDirEnv = "VELK_DEVICE_DIR";
inline constexpr const char* kDefaultDeviceDir = "/run/velk";
inline constexpr const char* kPresenceSuffix = ".lock";

// $VELK_DEVICE_DIR when set and not empty, else /run/velk.
std::string device_directory();

// DIR/NAME, with no doubled slash when DIR ends with one.
std::string join_device_path(const std::string& dir, const std::string& name);

// Whether NAME can name an instrument: not empty, no slash, not "." or "..",
// not ending in the presence suffix, at most 255 bytes.
bool valid_device_name(const std::string& name);

// The present instruments of `dir`, oldest first, as device paths. Returns a
// Win32 error number: 0 on success, also when the directory does not exist
// (then no paths). A directory that others could write to (group- or
// world-writable, or owned by neither this user nor root) gives 5.
// Only sockets owned by this user or root whose presence file is locked are
// listed; symbolic links never are.
std::uint32_t present_devices(const std::string& dir, std::vector<std::string>& paths);

// A Unix socket address for `path`. Paths too long for sun_path are reached
// through /proc/self/fd of their opened parent directory, which stays open in
// `dir_fd` until the caller closes it (-1 when not needed). Returns 0 or a
// Win32 error number.
std::uint32_t socket_address(const std::string& path, sockaddr_un& address, socklen_t& length,
                             int& dir_fd);

}  // namespace tarnlink::posix
