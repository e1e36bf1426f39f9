// The POSIX backend: the client of the Linux device service (device_directory.h,
// device_protocol.h). An InfoSet is a snapshot of the device directory taken by
// class_devices(); a Handle is the connected socket of one open instrument.
//
// Blocking: every call that talks to the service waits for its answer, at most
// the handle's link timeout plus kReplyMargin (kOpenWait for an open). A wait
// that runs out breaks the handle (kErrorTimeout); so does a closed or garbled
// connection (kErrorGenFailure). A broken handle fails every later call at once
// with kErrorGenFailure until it is closed.
//
// Errors seen through last_error() (win32_errors.h): 2 no such instrument, 5
// insecure directory or foreign socket, 6 unknown set or handle, 32 instrument
// already open, 87 oversized request, 122 buffer too small, 170 instrument busy,
// 259 no more interfaces, 1460 no answer in time, 31 any other device failure,
// and whatever error number the service answers with.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tarnlink::posix {

class PosixPlatform final : public Platform {
 public:
  static constexpr std::chrono::milliseconds kReplyMargin{2000};
  static constexpr std::chrono::milliseconds kOpenWait{5000};

  PosixPlatform() = default;
  // Closes the handles still open and frees the sets not yet destroyed.
  ~PosixPlatform() override;
  PosixPlatform(const PosixPlatform&) = delete;
  PosixPlatform& operator=(const PosixPlatform&) = delete;

  InfoSet class_devices() override;
  bool enum_interface(InfoSet set, std::uint32_t member, InterfaceData& data) override;
  bool interface_detail(InfoSet set, const InterfaceData& data, NativeChar* path,
                        std::uint32_t capacity, std::uint32_t* required) override;
  bool destroy_list(InfoSet set) override;
  Handle open_exclusive(const NativeChar* path) override;
  std::uint32_t last_error() override { return last_error_; }
  bool write(Handle handle, const std::uint8_t* data, std::uint32_t size,
             std::uint32_t* written) override;
  bool read(Handle handle, std::uint8_t* buffer, std::uint32_t size, std::uint32_t* got) override;
  bool control(Handle handle, std::uint32_t code, const void* in, std::uint32_t in_size,
               void* out, std::uint32_t out_size, std::uint32_t* returned) override;
  bool close(Handle handle) override;
  bool escape_held() override;

 private:
  struct DeviceSet {
    std::vector<std::string> paths;
  };
  struct Link {
    int fd = -1;
    std::int32_t timeout = 0;  // the link timeout last set, in 100-ns units
    bool broken = false;
    std::chrono::milliseconds wait{0};  // the bound currently set on the socket
  };
  struct Reply;

  DeviceSet* find_set(InfoSet set);
  Link* find_link(Handle handle);
  // Sends one request and receives its response into `header` and `payload`;
  // false (with last_error_ set) when the request did not get an answer.
  bool exchange(Link& link, const std::uint8_t* request, std::size_t request_size,
                const std::uint8_t* data, std::size_t data_size, Reply& reply);
  bool fail(std::uint32_t error);

  // Sets live until destroy_list or the end of the process; keeping them here
  // lets the device code hold a set for the whole run without leaking it.
  std::map<InfoSet, std::unique_ptr<DeviceSet>> sets_;
  std::map<Handle, Link> links_;
  std::uint32_t last_error_ = 0;
};

}  // namespace tarnlink::posix
