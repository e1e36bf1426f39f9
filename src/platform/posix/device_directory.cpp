#include "platform/posix/device_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <utility>

#include "platform/posix/win32_errors.h"

namespace tarnlink::posix {
namespace {

// Attempts at locking a presence file that a withdrawing service keeps removing.
constexpr int kLockAttempts = 8;

bool owned_by_us(const struct stat& st) { return st.st_uid == geteuid() || st.st_uid == 0; }

// Anyone else who may write to the directory could plant or replace its entries.
bool trusted_directory(const struct stat& st) {
  return owned_by_us(st) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// 0 when an entry (lstat'ed, so never a link) may be an instrument's socket.
std::uint32_t socket_entry_error(const struct stat& st) {
  if (!S_ISSOCK(st.st_mode)) return kErrorFileNotFound;
  return owned_by_us(st) ? 0 : kErrorAccessDenied;
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The presence lock: the whole file, exclusively.
struct flock presence_lock() {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  return lock;
}

// Larger for every instrument published later, also across processes that
// publish one after another, so that listing order is order of appearance.
std::uint64_t next_appearance_key() {
  static std::uint64_t last = 0;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::uint64_t key = static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
                      static_cast<std::uint64_t>(now.tv_nsec);
  if (key <= last) key = last + 1;
  last = key;
  return key;
}

struct Present {
  std::uint64_t key;
  std::string name;
};

// Reads the presence file of `name`: true when a live service holds its lock,
// with the appearance key. A lock test, not a connect, so that listing never
// disturbs an instrument that someone has open.
bool served(int dir_fd, const std::string& name, std::uint64_t& key) {
  const std::string lock_name = name + kPresenceSuffix;
  FileDescriptor lock(
      openat(dir_fd, lock_name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (lock.get() < 0) return false;
  struct stat st {};
  if (fstat(lock.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  struct flock probe = presence_lock();
  if (fcntl(lock.get(), F_OFD_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) return false;
  char text[32] = {};
  const ssize_t got = pread(lock.get(), text, sizeof text - 1, 0);
  if (got <= 0) return false;
  char* end = nullptr;
  key = std::strtoull(text, &end, 10);
  return end != text;
}

}  // namespace

std::string device_directory() {
  const char* dir = std::getenv(kDeviceDirEnv);
  return dir != nullptr && *dir != '\0' ? dir : kDefaultDeviceDir;
}

std::string join_device_path(const std::string& dir, const std::string& name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

bool valid_device_name(const std::string& name) {
  return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos &&
         !ends_with(name, kPresenceSuffix);
}

std::uint32_t present_devices(const std::string& dir, std::vector<std::string>& paths) {
  const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return errno == ENOENT ? 0 : win32_error_from_errno(errno);
  DIR* stream = fdopendir(dir_fd);
  if (stream == nullptr) {
    const int error = errno;
    ::close(dir_fd);
    return win32_error_from_errno(error);
  }
  struct stat dir_stat {};
  if (fstat(dir_fd, &dir_stat) != 0 || !trusted_directory(dir_stat)) {
    closedir(stream);
    return kErrorAccessDenied;
  }
  std::vector<Present> found;
  errno = 0;
  while (const dirent* entry = readdir(stream)) {
    const std::string name = entry->d_name;
    struct stat st {};
    std::uint64_t key = 0;
    if (valid_device_name(name) && fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        socket_entry_error(st) == 0 && served(dir_fd, name, key)) {
      found.push_back({key, name});
    }
    errno = 0;
  }
  const int error = errno;
  closedir(stream);
  if (error != 0) return win32_error_from_errno(error);
  std::sort(found.begin(), found.end(), [](const Present& a, const Present& b) {
    return std::tie(a.key, a.name) < std::tie(b.key, b.name);
  });
  for (const Present& present : found) paths.push_back(join_device_path(dir, present.name));
  return 0;
}

std::uint32_t check_device_socket(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return win32_error_from_errno(errno);
  return socket_entry_error(st);
}

std::uint32_t socket_address(const std::string& path, sockaddr_un& address, socklen_t& length,
                             int& dir_fd) {
  dir_fd = -1;
  address = {};
  address.sun_family = AF_UNIX;
  std::string target = path;
  if (target.size() >= sizeof address.sun_path) {
    const auto slash = target.rfind('/');
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    dir_fd = open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) return win32_error_from_errno(errno);
    target = "/proc/self/fd/" + std::to_string(dir_fd) + "/" + name;
    if (target.size() >= sizeof address.sun_path) {
      ::close(dir_fd);
      dir_fd = -1;
      return kErrorFilenameTooLong;
    }
  }
  std::memcpy(address.sun_path, target.data(), target.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + target.size() + 1);
  return 0;
}

int open_service_directory(const std::string& dir, std::string& error) {
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    error = failure("cannot create " + dir);
    return -1;
  }
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) error = failure("cannot open " + dir);
  return fd;
}

Publication::Publication(const std::string& dir, std::string name)
    : name_(std::move(name)), path_(join_device_path(dir, name_)) {}

bool Publication::publish(int dir_fd, std::string& error) {
  withdraw();
  dir_fd_ = dir_fd;
  if (take_presence(error) && clear_socket_name(error) && write_key(error) &&
      listen_on_socket(error)) {
    return true;
  }
  withdraw();
  return false;
}

void Publication::withdraw() {
  if (bound_) unlinkat(dir_fd_, name_.c_str(), 0);
  bound_ = false;
  if (lock_fd_ >= 0 && still_our_presence()) {
    unlinkat(dir_fd_, (name_ + kPresenceSuffix).c_str(), 0);
  }
  close_fd(listen_fd_);
  close_fd(lock_fd_);
}

// The presence file may be removed by a service that withdraws between our open
// and our lock; a lock on a removed file shows nobody anything, so it is let go
// and the file opened afresh.
bool Publication::take_presence(std::string& error) {
  const std::string lock_name = name_ + kPresenceSuffix;
  const std::string lock_path = path_ + kPresenceSuffix;
  constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    int fd = openat(dir_fd_, lock_name.c_str(), kFlags | O_CREAT | O_EXCL, 0600);
    const bool created = fd >= 0;
    if (!created && errno == EEXIST) fd = openat(dir_fd_, lock_name.c_str(), kFlags);
    if (fd < 0 && errno == ENOENT) continue;
    if (fd < 0) {
      error = failure("cannot create " + lock_path);
      return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      error = lock_path + " is not a regular file";
      ::close(fd);
      return false;
    }
    struct flock lock = presence_lock();
    if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
      // Held: the file is the other service's and stays. Any other failure means
      // nobody can hold it, so a file made here goes again.
      const bool held = errno == EAGAIN || errno == EACCES;
      error = held ? path_ + " is already served" : failure("cannot lock " + lock_path);
      if (!held && created) unlinkat(dir_fd_, lock_name.c_str(), 0);
      ::close(fd);
      return false;
    }
    lock_fd_ = fd;
    lock_device_ = st.st_dev;
    lock_inode_ = st.st_ino;
    if (still_our_presence()) return true;
    close_fd(lock_fd_);
  }
  error = "cannot lock " + lock_path + ": it keeps being replaced";
  return false;
}

// The lock is ours, so a socket at NAME is the leftover of a service that died.
bool Publication::clear_socket_name(std::string& error) {
  struct stat st {};
  if (fstatat(dir_fd_, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
  if (!S_ISSOCK(st.st_mode)) {
    error = path_ + " exists and is not a socket";
    return false;
  }
  unlinkat(dir_fd_, name_.c_str(), 0);
  return true;
}

bool Publication::write_key(std::string& error) {
  const std::string key = std::to_string(next_appearance_key()) + "\n";
  if (ftruncate(lock_fd_, 0) == 0 &&
      pwrite(lock_fd_, key.data(), key.size(), 0) == static_cast<ssize_t>(key.size())) {
    return true;
  }
  error = failure("cannot write " + path_ + kPresenceSuffix);
  return false;
}

bool Publication::listen_on_socket(std::string& error) {
  sockaddr_un address{};
  socklen_t length = 0;
  int path_dir_fd = -1;
  if (const std::uint32_t refused = socket_address(path_, address, length, path_dir_fd);
      refused != 0) {
    error = refused == kErrorFilenameTooLong ? path_ + ": path too long for a socket"
                                             : failure("cannot serve " + path_);
    return false;
  }
  listen_fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  // The socket file takes its mode from the umask: only its owner may connect.
  const mode_t old_mask = umask(077);
  bound_ = listen_fd_ >= 0 &&
           bind(listen_fd_, reinterpret_cast<const sockaddr*>(&address), length) == 0;
  umask(old_mask);
  const bool listening = bound_ && listen(listen_fd_, 16) == 0;
  if (!listening) error = failure("cannot serve " + path_);
  close_fd(path_dir_fd);
  return listening;
}

// Only a presence file whose lock is ours may be removed: after a race with
// another service the name may stand for that service's file.
bool Publication::still_our_presence() const {
  struct stat st {};
  return fstatat(dir_fd_, (name_ + kPresenceSuffix).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         st.st_dev == lock_device_ && st.st_ino == lock_inode_;
}

}  // namespace tarnlink::posix
