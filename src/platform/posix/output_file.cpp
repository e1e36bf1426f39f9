#include "platform/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/exit_cleanup.h"

namespace tarnlink {
namespace {

// How many times the open looks again: links followed, and names that changed
// between two looks.
constexpr int kMaxLooks = 40;

// Makes `path` the target of the link at `path`, as a path from here. False,
// with errno set, when `path` is no link (EINVAL: it changed since the last
// look) or the link cannot be read.
bool follow_link(std::string& path) {
  char target[PATH_MAX];
  const ssize_t length = readlink(path.c_str(), target, sizeof target);
  if (length <= 0) return false;
  if (static_cast<std::size_t>(length) == sizeof target) {
    errno = ENAMETOOLONG;
    return false;
  }
  const std::string text(target, static_cast<std::size_t>(length));
  // A relative target is read from the link's folder.
  const std::size_t slash = path.rfind('/');
  const bool from_here = text.front() == '/' || slash == std::string::npos;
  path = from_here ? text : path.substr(0, slash + 1) + text;
  return true;
}

// A regular file that cannot go to its end (some files of /proc) cannot take
// an answer: that is found out before anything is sent.
bool seekable(int fd) {
  struct stat status;
  return fstat(fd, &status) == 0 && (!S_ISREG(status.st_mode) || lseek(fd, 0, SEEK_END) >= 0);
}

}  // namespace

bool OutputFile::open(const NativeString& name) {
  // Created with O_EXCL, a file is known to be ours: only then may it be
  // removed. A dangling link is followed by hand, so that its target, made
  // here, is removed like any file made here, and the link stays.
  std::string path = name;
  for (int look = 0; look < kMaxLooks; ++look) {
    int fd = posix::create_file(path.c_str());
    if (fd >= 0) {
      handle_ = fd;
      created_ = true;
      return true;
    }
    if (errno != EEXIST) return false;
    fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
      handle_ = fd;
      if (seekable(fd)) return true;
      close();
      return false;
    }
    if (errno != ENOENT) return false;
    // A dangling link, or a name that changed between the two looks.
    if (!follow_link(path) && errno != EINVAL && errno != ENOENT) return false;
  }
  return false;
}

void OutputFile::keep() {
  if (created_ && !kept_) posix::keep_created_file();
  kept_ = true;
}

bool OutputFile::empty() {
  struct stat status;
  if (fstat(handle_, &status) != 0) return false;
  return !S_ISREG(status.st_mode) ||
         (ftruncate(handle_, 0) == 0 && lseek(handle_, 0, SEEK_SET) == 0);
}

bool OutputFile::write(const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(handle_, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool OutputFile::close() {
  if (handle_ < 0) return true;
  const int fd = handle_;
  handle_ = -1;
  return ::close(fd) == 0;
}

void OutputFile::remove_created() { posix::remove_created_file(); }

}  // namespace tarnlink
