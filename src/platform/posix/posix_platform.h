// The POSIX backend: the client of the Linux device service (device_directory.h,
// device_protocol.h). A Handle is the connected socket of one open instrument.
//
// Listing reads the device directory whole: a directory that cannot be read, or
// that others could write to, fails the listing with no paths. A missing
// directory lists nothing and does not fail.
//
// Blocking: every call on a handle waits for the service's answer, at most the
// handle's link timeout plus kReplyMargin (kOpenWait for an open). A wait that
// runs out, or a closed or garbled connection, breaks the handle: every later
// call on it fails at once until it is closed. A failure that the service
// answers with leaves the handle working.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>

#include "platform/platform.h"

namespace tarnlink::posix {

class PosixPlatform final : public Platform {
 public:
  static constexpr std::chrono::milliseconds kReplyMargin{2000};
  static constexpr std::chrono::milliseconds kOpenWait{5000};

  PosixPlatform() = default;
  // Closes the handles still open.
  ~PosixPlatform() override;
  PosixPlatform(const PosixPlatform&) = delete;
  PosixPlatform& operator=(const PosixPlatform&) = delete;

  ListResult interface_paths() override;
  OpenResult open_exclusive(const NativeString& path) override;
  std::optional<std::uint32_t> write(Handle handle, const std::uint8_t* data,
                                     std::uint32_t size) override;
  std::optional<std::uint32_t> read(Handle handle, std::uint8_t* buffer,
                                    std::uint32_t size) override;
  bool set_timeout(Handle handle, std::int32_t timeout) override;
  bool get_timeout(Handle handle, std::int32_t& timeout) override;
  bool read_fails_at_timeout() override;
  bool close(Handle handle) override;
  bool escape_held() override;

 private:
  struct Link {
    int fd = -1;
    std::int32_t timeout = 0;  // the link timeout last set, in 100-ns units
    bool broken = false;
    std::chrono::milliseconds wait{0};  // the bound currently set on the socket
  };
  struct Reply;

  Link* find_link(Handle handle);
  // Sends one request and receives its response; false when the request did not
  // get an answer, which breaks the link.
  bool exchange(Link& link, const std::uint8_t* request, std::size_t request_size,
                const std::uint8_t* data, std::size_t data_size, Reply& reply);
  // One control request with `in` as its input and room for `capacity` output
  // bytes at `out`. The number of output bytes, or nullopt on any failure.
  std::optional<std::uint32_t> control(Link& link, std::uint32_t code, const std::uint8_t* in,
                                       std::uint32_t in_size, std::uint8_t* out,
                                       std::uint32_t capacity);

  std::map<Handle, Link> links_;
};

}  // namespace tarnlink::posix
