#include "capture_files.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace velk_emu {
namespace {

#ifdef _WIN32
// Binary, or the C runtime would turn every 0x0A of the capture into 0x0D 0x0A.
constexpr int kFileFlags = _O_WRONLY | _O_CREAT | _O_TRUNC | _O_APPEND | _O_BINARY | _O_NOINHERIT;
constexpr int kFileMode = _S_IREAD | _S_IWRITE;
constexpr const char* kSeparators = "\\/";  // the first one joins

int make_dir(const std::string& dir) { return _mkdir(dir.c_str()); }
int open_file(const std::string& path) { return _open(path.c_str(), kFileFlags, kFileMode); }
bool write_once(int fd, const void* data, std::size_t size) {
  return _write(fd, data, static_cast<unsigned>(size)) >= 0;
}
void close_file(int fd) { _close(fd); }
#else
constexpr int kFileFlags = O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC;
constexpr mode_t kFileMode = 0644;
constexpr const char* kSeparators = "/";

int make_dir(const std::string& dir) { return mkdir(dir.c_str(), 0700); }
int open_file(const std::string& path) { return ::open(path.c_str(), kFileFlags, kFileMode); }
bool write_once(int fd, const void* data, std::size_t size) { return ::write(fd, data, size) >= 0; }
void close_file(int fd) { ::close(fd); }
#endif

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string join(const std::string& dir, const std::string& file) {
  if (dir.empty() || std::strchr(kSeparators, dir.back()) != nullptr) return dir + file;
  return dir + kSeparators[0] + file;
}

void close_fd(int& fd) {
  if (fd >= 0) close_file(fd);
  fd = -1;
}

void write_or_close(int& fd, const void* data, std::size_t size) {
  if (fd >= 0 && !write_once(fd, data, size)) close_fd(fd);
}

}  // namespace

bool make_capture_dir(const std::string& dir, std::string& error) {
  if (make_dir(dir) != 0 && errno != EEXIST) {
    error = failure("cannot create " + dir);
    return false;
  }
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0) {
    error = failure("cannot open " + dir);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    error = failure("cannot open " + dir);
    return false;
  }
  return true;
}

bool CaptureFiles::open(const std::string& dir, const std::string& name, std::string& error) {
  close();
  bin_fd_ = open_file(join(dir, name + ".bin"));
  if (bin_fd_ >= 0) log_fd_ = open_file(join(dir, name + ".log"));
  if (log_fd_ < 0) {
    error = failure("cannot create the capture files of " + name);
    close();
    return false;
  }
  return true;
}

void CaptureFiles::close() {
  close_fd(bin_fd_);
  close_fd(log_fd_);
}

void CaptureFiles::bytes(const std::uint8_t* data, std::size_t size) {
  write_or_close(bin_fd_, data, size);
}

void CaptureFiles::line(const std::string& text) {
  const std::string whole = text + "\n";
  write_or_close(log_fd_, whole.data(), whole.size());
}

}  // namespace velk_emu
