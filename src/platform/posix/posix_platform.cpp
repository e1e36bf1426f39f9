#include "platform/posix/posix_platform.h"

#include <sys/time.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/driver_contract.h"
#include "platform/posix/device_directory.h"
#include "platform/posix/device_protocol.h"
#include "platform/posix/terminal_key.h"

namespace tarnlink::posix {
namespace {

namespace protocol = device_protocol;

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

PosixPlatform::Link* PosixPlatform::find_link(Handle handle) {
  const auto found = links_.find(handle);
  return found == links_.end() ? nullptr : &found->second;
}

ListResult PosixPlatform::interface_paths() {
  ListResult result;
  // The directory is read whole before a path is handed out: a failure lists none.
  result.failed = present_devices(device_directory(), result.paths) != 0;
  return result;
}

OpenResult PosixPlatform::open_exclusive(const NativeString& path) {
  if (check_device_socket(path) != 0) return kInvalidHandle;
  sockaddr_un address{};
  socklen_t length = 0;
  int dir_fd = -1;
  if (socket_address(path, address, length, dir_fd) != 0) return kInvalidHandle;
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  const bool connected = fd >= 0 && bound_waits(fd, kOpenWait) &&
                         connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
  if (dir_fd >= 0) ::close(dir_fd);
  if (!connected) {
    if (fd >= 0) ::close(fd);
    return kInvalidHandle;
  }
  Link link;
  link.fd = fd;
  link.timeout = contract::kHandshakeTimeout;
  link.wait = kOpenWait;
  Reply reply;
  reply.expected = protocol::ResponseType::kOpen;
  // The open answer comes unasked; waiting for it is an exchange with no request.
  if (!exchange(link, nullptr, 0, nullptr, 0, reply) || reply.response.error != 0) {
    ::close(fd);
    return kInvalidHandle;
  }
  links_[fd] = link;
  return fd;
}

bool PosixPlatform::exchange(Link& link, const std::uint8_t* request, std::size_t request_size,
                             const std::uint8_t* data, std::size_t data_size, Reply& reply) {
  if (link.broken) return false;
  // Any request left without its answer breaks the link, a bound that ran out
  // included: the answer may still come, and must not be taken for the next one's.
  const auto broken = [&] {
    link.broken = true;
    shutdown(link.fd, SHUT_RDWR);
    return false;
  };
  const auto wait = request == nullptr ? kOpenWait : link_wait(link.timeout) + kReplyMargin;
  if (wait != link.wait) {
    if (!bound_waits(link.fd, wait)) return broken();
    link.wait = wait;
  }
  if (request != nullptr) {
    iovec parts[2] = {{const_cast<std::uint8_t*>(request), request_size},
                      {const_cast<std::uint8_t*>(data), data_size}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = data_size == 0 ? 1 : 2;
    while (sendmsg(link.fd, &message, MSG_NOSIGNAL) < 0) {
      if (errno != EINTR) return broken();
    }
  }
  protocol::Header header{};
  iovec parts[2] = {{header.data(), header.size()}, {reply.payload, reply.capacity}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = reply.capacity == 0 ? 1 : 2;
  ssize_t got = 0;
  while ((got = recvmsg(link.fd, &message, 0)) < 0) {
    if (errno != EINTR) return broken();
  }
  // A packet of 0 bytes is the service closing the connection.
  if (got == 0 || (message.msg_flags & MSG_TRUNC) != 0 ||
      !protocol::decode_response(header.data(), static_cast<std::size_t>(got), reply.response) ||
      reply.response.type != reply.expected) {
    return broken();
  }
  return true;
}

std::optional<std::uint32_t> PosixPlatform::write(Handle handle, const std::uint8_t* data,
                                                  std::uint32_t size) {
  Link* link = find_link(handle);
  if (link == nullptr || size > protocol::kMaxData || (data == nullptr && size != 0)) {
    return std::nullopt;
  }
  const protocol::Header request = protocol::encode_write_request(size);
  Reply reply;
  reply.expected = protocol::ResponseType::kWrite;
  if (!exchange(*link, request.data(), request.size(), data, size, reply) ||
      reply.response.error != 0) {
    return std::nullopt;
  }
  if (reply.response.count > size) {
    link->broken = true;
    return std::nullopt;
  }
  return reply.response.count;
}

std::optional<std::uint32_t> PosixPlatform::read(Handle handle, std::uint8_t* buffer,
                                                 std::uint32_t size) {
  Link* link = find_link(handle);
  if (link == nullptr || buffer == nullptr || size == 0) return std::nullopt;
  const std::uint32_t wanted = std::min(size, protocol::kMaxData);
  const protocol::Header request = protocol::encode_read_request(wanted);
  Reply reply;
  reply.expected = protocol::ResponseType::kRead;
  reply.payload = buffer;
  reply.capacity = wanted;
  if (!exchange(*link, request.data(), request.size(), nullptr, 0, reply) ||
      reply.response.error != 0) {
    return std::nullopt;
  }
  return reply.response.count;
}

std::optional<std::uint32_t> PosixPlatform::control(Link& link, std::uint32_t code,
                                                    const std::uint8_t* in, std::uint32_t in_size,
                                                    std::uint8_t* out, std::uint32_t capacity) {
  const protocol::Header request = protocol::encode_control_request(code, capacity);
  Reply reply;
  reply.expected = protocol::ResponseType::kControl;
  reply.payload = out;
  reply.capacity = capacity;
  if (!exchange(link, request.data(), request.size(), in, in_size, reply) ||
      reply.response.error != 0) {
    return std::nullopt;
  }
  if (reply.response.count > capacity) {
    link.broken = true;
    return std::nullopt;
  }
  return reply.response.count;
}

bool PosixPlatform::set_timeout(Handle handle, std::int32_t timeout) {
  Link* link = find_link(handle);
  if (link == nullptr) return false;
  std::uint8_t value[4];
  protocol::put_u32(value, static_cast<std::uint32_t>(timeout));
  if (!control(*link, contract::kIoctlSetTimeout, value, sizeof value, nullptr, 0)) return false;
  // Later waits are bounded by it; a service that takes a negative one is not believed.
  if (timeout >= 0) link->timeout = timeout;
  return true;
}

bool PosixPlatform::get_timeout(Handle handle, std::int32_t& timeout) {
  Link* link = find_link(handle);
  if (link == nullptr) return false;
  // A short answer replaces only the bytes it brings, as a driver's would.
  std::uint8_t value[4];
  protocol::put_u32(value, static_cast<std::uint32_t>(timeout));
  const std::optional<std::uint32_t> count =
      control(*link, contract::kIoctlGetTimeout, nullptr, 0, value, sizeof value);
  if (!count || *count == 0) return false;
  timeout = static_cast<std::int32_t>(protocol::get_u32(value));
  return true;
}

bool PosixPlatform::close(Handle handle) {
  const auto found = links_.find(handle);
  if (found == links_.end()) return false;
  ::close(found->second.fd);
  links_.erase(found);
  return true;
}

bool PosixPlatform::escape_held() { return terminal_escape_pressed(); }

// The device service answers a read that timed out with zero bytes.
bool PosixPlatform::read_fails_at_timeout() { return false; }

}  // namespace tarnlink::posix
