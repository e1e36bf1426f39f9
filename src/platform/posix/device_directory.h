// The device directory of the Linux device service: one Unix socket per present
// instrument, named after it, and beside each socket a presence file NAME.lock
// that the serving process holds an exclusive open-file-description lock on and
// that holds, as decimal text, the instrument's appearance key (larger = later).
// Every rule of the directory lives here: the client lists and checks with it,
// a service publishes and withdraws with it.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
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

// Whether `path` may be opened as an instrument: a socket itself (not a link to
// one) owned by this user or root. 0, or a Win32 error number: 2 when it is not
// a socket, 5 when someone else owns it, else lstat's error translated.
std::uint32_t check_device_socket(const std::string& path);

// A Unix socket address for `path`. Paths too long for sun_path are reached
// through /proc/self/fd of their opened parent directory, which stays open in
// `dir_fd` until the caller closes it (-1 when not needed). Returns 0 or a
// Win32 error number.
std::uint32_t socket_address(const std::string& path, sockaddr_un& address, socklen_t& length,
                             int& dir_fd);

// Opens the device directory `dir` for a service, creating it with mode 0700
// when missing. The descriptor (the caller closes it), or -1 with a one-line
// reason in `error`.
int open_service_directory(const std::string& dir, std::string& error);

// One instrument a service publishes: its presence file, locked and holding a
// fresh appearance key, and its listening socket (mode 0600, non-blocking).
// Withdrawn when destroyed. Publishing changes the process umask for a moment,
// so a service publishes from one thread.
class Publication {
 public:
  Publication(const std::string& dir, std::string name);
  ~Publication() { withdraw(); }
  Publication(const Publication&) = delete;
  Publication& operator=(const Publication&) = delete;

  const std::string& name() const { return name_; }
  // DIR/NAME: the device path that clients list and open.
  const std::string& path() const { return path_; }

  // Publishes in the directory open as `dir_fd`, which stays open until the
  // publication is withdrawn. False with a one-line reason when another process
  // serves NAME, something other than a socket has its name, or a step fails;
  // then nothing this call created is left, and a presence file another
  // service holds is never touched.
  bool publish(int dir_fd, std::string& error);
  // Removes the socket (so that a listed instrument always has its presence
  // file), then the presence file, then lets go of the lock. Connections
  // already accepted stay open. Does nothing when nothing is published.
  void withdraw();

  bool published() const { return listen_fd_ >= 0; }
  // The listening socket; -1 when not published.
  int listen_fd() const { return listen_fd_; }

 private:
  bool take_presence(std::string& error);
  bool write_key(std::string& error);
  bool clear_socket_name(std::string& error);
  bool listen_on_socket(std::string& error);
  bool still_our_presence() const;

  std::string name_;
  std::string path_;
  int dir_fd_ = -1;
  int lock_fd_ = -1;  // open only while its lock is ours
  dev_t lock_device_ = 0;
  ino_t lock_inode_ = 0;
  bool bound_ = false;  // the socket file at NAME is ours
  int listen_fd_ = -1;
};

}  // namespace tarnlink::posix
