#include "platform/posix/device_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "platform/posix/win32_errors.h"

namespace tarnlink::posix {
namespace {

bool owned_by_us(const struct stat& st) { return st.st_uid == geteuid() || st.st_uid == 0; }

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
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
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
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
  if (fstat(dir_fd, &dir_stat) != 0 || !owned_by_us(dir_stat) ||
      (dir_stat.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
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
        S_ISSOCK(st.st_mode) && owned_by_us(st) && served(dir_fd, name, key)) {
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

}  // namespace tarnlink::posix
