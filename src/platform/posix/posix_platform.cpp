#include "platform/posix/posix_platform.h"

#include <sys/time.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/driver_contract.h"
#include "platform/posix/device_directory.h"
#include "platform/posix/device_protocol.h"
#include "platform/posix/terminal_key.h"
#include "platform/posix/win32_errors.h"

namespace tarnlink {
namespace posix {
namespace {

namespace protocol = device_protocol;

// What enum_interface stores in InterfaceData: the set it came from and the
// member index, so that interface_detail can refuse data of another set.
struct InterfaceRef {
  std::uint64_t set = 0;
  std::uint32_t member = 0;
};

void store_ref(InterfaceData& data, const InterfaceRef& ref) {
  std::memset(data.bytes, 0, sizeof data.bytes);
  std::memcpy(data.bytes, &ref.set, sizeof ref.set);
  std::memcpy(data.bytes + sizeof ref.set, &ref.member, sizeof ref.member);
}

InterfaceRef load_ref(const InterfaceData& data) {
  InterfaceRef ref;
  std::memcpy(&ref.set, data.bytes, sizeof ref.set);
  std::memcpy(&ref.member, data.bytes + sizeof ref.set, sizeof ref.member);
  return ref;
}

// Bounds every blocking send and receive on `fd` by `wait`. The kernel applies
// the bound, which saves a poll per call on the hot path of block transfers.
bool bound_waits(int fd, std::chrono::milliseconds wait) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(seconds.count());
  limit.tv_usec = static_cast<suseconds_t>((wait - seconds).count() * 1000);
  return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 &&
         setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0;
}

std::chrono::milliseconds link_wait(std::int32_t timeout) {
  return std::chrono::milliseconds(timeout / contract::kUnitsPerMillisecond + 1);
}

}  // namespace

struct PosixPlatform::Reply {
  protocol::ResponseType expected = protocol::ResponseType::kOpen;
  std::uint8_t* payload = nullptr;  // receives the response's payload
  std::uint32_t capacity = 0;
  protocol::Response response;
};

PosixPlatform::~PosixPlatform() {
  for (auto& [handle, link] : links_) ::close(link.fd);
}

bool PosixPlatform::fail(std::uint32_t error) {
  last_error_ = error;
  return false;
}

PosixPlatform::DeviceSet* PosixPlatform::find_set(InfoSet set) {
  const auto found = sets_.find(set);
  return found == sets_.end() ? nullptr : found->second.get();
}

PosixPlatform::Link* PosixPlatform::find_link(Handle handle) {
  const auto found = links_.find(handle);
  return found == links_.end() ? nullptr : &found->second;
}

InfoSet PosixPlatform::class_devices() {
  auto set = std::make_unique<DeviceSet>();
  const std::uint32_t error = present_devices(device_directory(), set->paths);
  if (error != 0) {
    fail(error);
    return kInvalidInfoSet;
  }
  const auto value = reinterpret_cast<InfoSet>(set.get());
  sets_.emplace(value, std::move(set));
  return value;
}

bool PosixPlatform::enum_interface(InfoSet set, std::uint32_t member, InterfaceData& data) {
  const DeviceSet* devices = find_set(set);
  if (devices == nullptr) return fail(kErrorInvalidHandle);
  if (member >= devices->paths.size()) return fail(contract::kErrorNoMoreItems);
  store_ref(data, {set, member});
  return true;
}

bool PosixPlatform::interface_detail(InfoSet set, const InterfaceData& data, NativeChar* path,
                                     std::uint32_t capacity, std::uint32_t* required) {
  const DeviceSet* devices = find_set(set);
  if (devices == nullptr) return fail(kErrorInvalidHandle);
  const InterfaceRef ref = load_ref(data);
  if (ref.set != set || ref.member >= devices->paths.size()) return fail(kErrorInvalidParameter);
  const std::string& found = devices->paths[ref.member];
  const auto needed = static_cast<std::uint32_t>(found.size() + 1);
  if (required != nullptr) *required = needed;
  if (path == nullptr || capacity < needed) return fail(kErrorInsufficientBuffer);
  std::memcpy(path, found.c_str(), needed);
  return true;
}

bool PosixPlatform::destroy_list(InfoSet set) {
  if (sets_.erase(set) == 0) return fail(kErrorInvalidHandle);
  return true;
}

Handle PosixPlatform::open_exclusive(const NativeChar* path) {
  if (path == nullptr) {
    fail(kErrorInvalidParameter);
    return kInvalidHandle;
  }
  struct stat st {};
  if (lstat(path, &st) != 0) {
    fail(win32_error_from_errno(errno));
    return kInvalidHandle;
  }
  if (!S_ISSOCK(st.st_mode)) {
    fail(kErrorFileNotFound);
    return kInvalidHandle;
  }
  if (st.st_uid != geteuid() && st.st_uid != 0) {
    fail(kErrorAccessDenied);
    return kInvalidHandle;
  }
  sockaddr_un address{};
  socklen_t length = 0;
  int dir_fd = -1;
  if (const std::uint32_t error = socket_address(path, address, length, dir_fd); error != 0) {
    fail(error);
    return kInvalidHandle;
  }
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  int error = fd < 0 ? errno : 0;
  if (fd >= 0 && !bound_waits(fd, kOpenWait)) error = errno;
  if (error == 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    error = errno;
  }
  if (dir_fd >= 0) ::close(dir_fd);
  if (error != 0) {
    if (fd >= 0) ::close(fd);
    // A backlog that stays full means the service is not keeping up, not that
    // nobody serves.
    fail(error == EAGAIN ? kErrorBusy : win32_error_from_errno(error));
    return kInvalidHandle;
  }
  Link link;
  link.fd = fd;
  link.timeout = contract::kHandshakeTimeout;
  link.wait = kOpenWait;
  Reply reply;
  reply.expected = protocol::ResponseType::kOpen;
  // The open answer comes unasked; waiting for it is an exchange with no request.
  bool answered = exchange(link, nullptr, 0, nullptr, 0, reply);
  if (!answered || reply.response.error != 0) {
    ::close(fd);
    if (answered) fail(reply.response.error);
    return kInvalidHandle;
  }
  links_[fd] = link;
  last_error_ = 0;
  return fd;
}

bool PosixPlatform::exchange(Link& link, const std::uint8_t* request, std::size_t request_size,
                             const std::uint8_t* data, std::size_t data_size, Reply& reply) {
  if (link.broken) return fail(kErrorGenFailure);
  const auto broken = [&](std::uint32_t error) {
    link.broken = true;
    shutdown(link.fd, SHUT_RDWR);
    return fail(error);
  };
  // A bound that runs out shows as EAGAIN, which here can only mean a timeout.
  const auto failed_call = [&](int error) {
    return broken(error == EAGAIN ? kErrorTimeout : win32_error_from_errno(error));
  };
  const auto wait = request == nullptr ? kOpenWait : link_wait(link.timeout) + kReplyMargin;
  if (wait != link.wait) {
    if (!bound_waits(link.fd, wait)) return failed_call(errno);
    link.wait = wait;
  }
  if (request != nullptr) {
    iovec parts[2] = {{const_cast<std::uint8_t*>(request), request_size},
                      {const_cast<std::uint8_t*>(data), data_size}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = data_size == 0 ? 1 : 2;
    while (sendmsg(link.fd, &message, MSG_NOSIGNAL) < 0) {
      if (errno != EINTR) return failed_call(errno);
    }
  }
  protocol::Header header{};
  iovec parts[2] = {{header.data(), header.size()}, {reply.payload, reply.capacity}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = reply.capacity == 0 ? 1 : 2;
  ssize_t got = 0;
  while ((got = recvmsg(link.fd, &message, 0)) < 0) {
    if (errno != EINTR) return failed_call(errno);
  }
  // A packet of 0 bytes is the service closing the connection.
  if (got == 0 || (message.msg_flags & MSG_TRUNC) != 0 ||
      !protocol::decode_response(header.data(), static_cast<std::size_t>(got), reply.response) ||
      reply.response.type != reply.expected) {
    return broken(kErrorGenFailure);
  }
  return true;
}

bool PosixPlatform::write(Handle handle, const std::uint8_t* data, std::uint32_t size,
                          std::uint32_t* written) {
  Link* link = find_link(handle);
  if (link == nullptr) return fail(kErrorInvalidHandle);
  if (size > protocol::kMaxData || (data == nullptr && size != 0)) {
    return fail(kErrorInvalidParameter);
  }
  const protocol::Header request = protocol::encode_write_request(size);
  Reply reply;
  reply.expected = protocol::ResponseType::kWrite;
  if (!exchange(*link, request.data(), request.size(), data, size, reply)) return false;
  if (reply.response.error != 0) return fail(reply.response.error);
  if (reply.response.count > size) {
    link->broken = true;
    return fail(kErrorGenFailure);
  }
  if (written != nullptr) *written = reply.response.count;
  return true;
}

bool PosixPlatform::read(Handle handle, std::uint8_t* buffer, std::uint32_t size,
                         std::uint32_t* got) {
  Link* link = find_link(handle);
  if (link == nullptr) return fail(kErrorInvalidHandle);
  if (buffer == nullptr || size == 0) return fail(kErrorInvalidParameter);
  const std::uint32_t wanted = std::min(size, protocol::kMaxData);
  const protocol::Header request = protocol::encode_read_request(wanted);
  Reply reply;
  reply.expected = protocol::ResponseType::kRead;
  reply.payload = buffer;
  reply.capacity = wanted;
  if (!exchange(*link, request.data(), request.size(), nullptr, 0, reply)) return false;
  if (reply.response.error != 0) return fail(reply.response.error);
  if (got != nullptr) *got = reply.response.count;
  return true;
}

bool PosixPlatform::control(Handle handle, std::uint32_t code, const void* in,
                            std::uint32_t in_size, void* out, std::uint32_t out_size,
                            std::uint32_t* returned) {
  Link* link = find_link(handle);
  if (link == nullptr) return fail(kErrorInvalidHandle);
  if (in_size > protocol::kMaxControlData || (in == nullptr && in_size != 0) ||
      (out == nullptr && out_size != 0)) {
    return fail(kErrorInvalidParameter);
  }
  std::uint8_t input[protocol::kMaxControlData];
  if (in_size != 0) std::memcpy(input, in, in_size);
  // The timeout travels little-endian; the caller hands it in host order.
  std::int32_t new_timeout = -1;
  if (code == contract::kIoctlSetTimeout && in_size == 4) {
    std::memcpy(&new_timeout, in, 4);
    protocol::put_u32(input, static_cast<std::uint32_t>(new_timeout));
  }
  const std::uint32_t capacity = std::min(out_size, protocol::kMaxControlData);
  std::uint8_t output[protocol::kMaxControlData];
  const protocol::Header request = protocol::encode_control_request(code, capacity);
  Reply reply;
  reply.expected = protocol::ResponseType::kControl;
  reply.payload = output;
  reply.capacity = capacity;
  if (!exchange(*link, request.data(), request.size(), input, in_size, reply)) return false;
  if (reply.response.error != 0) return fail(reply.response.error);
  if (reply.response.count > capacity) {
    link->broken = true;
    return fail(kErrorGenFailure);
  }
  if (code == contract::kIoctlGetTimeout && reply.response.count == 4) {
    const auto value = static_cast<std::int32_t>(protocol::get_u32(output));
    std::memcpy(output, &value, 4);
  }
  if (reply.response.count != 0) std::memcpy(out, output, reply.response.count);
  if (returned != nullptr) *returned = reply.response.count;
  if (new_timeout >= 0) link->timeout = new_timeout;
  return true;
}

bool PosixPlatform::close(Handle handle) {
  const auto found = links_.find(handle);
  if (found == links_.end()) return fail(kErrorInvalidHandle);
  ::close(found->second.fd);
  links_.erase(found);
  return true;
}

bool PosixPlatform::escape_held() { return terminal_escape_pressed(); }

}  // namespace posix

Platform& program_platform() {
  static posix::PosixPlatform platform;
  return platform;
}

}  // namespace tarnlink
