// Several backends behind the one seam, as one platform: the listing is each
// backend's listing in turn, and each handle goes to the backend that opened it.
// The composition knows nothing of what lies behind a backend.
//
// Listing: a backend whose listing fails marks the whole listing failed; the
// other backends' instruments are listed all the same. Opening: the path goes to
// the backend whose latest listing held it (the first, when several did); a
// path the latest listing did not hold goes to each backend in turn until one
// opens it; when none does, the reason is the last one a backend could tell.
// Handles are the composition's own, so two backends' handles never meet.
//
// Blocking: as the backend that serves the call.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "platform/platform.h"

namespace tarnlink {

class PlatformComposition final : public Platform {
 public:
  // The backends, in listing order; they outlive the composition.
  explicit PlatformComposition(std::vector<Platform*> backends);

  ListResult interface_paths() override;
  OpenResult open_exclusive(const NativeString& path) override;
  std::optional<std::uint32_t> write(Handle handle, const std::uint8_t* data,
                                     std::uint32_t size) override;
  std::optional<std::uint32_t> read(Handle handle, std::uint8_t* buffer,
                                    std::uint32_t size) override;
  bool set_timeout(Handle handle, std::int32_t timeout) override;
  bool get_timeout(Handle handle, std::int32_t& timeout) override;
  // True when any backend's reads may end at the timeout with a failure: a
  // caller that allows for it is right with every backend.
  bool read_fails_at_timeout() override;
  bool close(Handle handle) override;
  // Held when any backend sees it held.
  bool escape_held() override;

 private:
  struct Route {
    Platform* backend = nullptr;
    Handle handle = kInvalidHandle;  // the backend's own
  };

  const Route* find_route(Handle handle) const;

  std::vector<Platform*> backends_;
  std::map<NativeString, Platform*> listed_by_;  // every path of the latest listing
  std::map<Handle, Route> routes_;
  Handle next_handle_ = 1;
};

}  // namespace tarnlink
