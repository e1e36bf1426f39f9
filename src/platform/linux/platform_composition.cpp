#include "platform/linux/platform_composition.h"

#include <algorithm>
#include <utility>

namespace tarnlink {

PlatformComposition::PlatformComposition(std::vector<Platform*> backends)
    : backends_(std::move(backends)) {}

ListResult PlatformComposition::interface_paths() {
  ListResult all;
  listed_by_.clear();
  for (Platform* backend : backends_) {
    ListResult listed = backend->interface_paths();
    all.failed = all.failed || listed.failed;
    for (NativeString& path : listed.paths) {
      listed_by_.emplace(path, backend);
      all.paths.push_back(std::move(path));
    }
  }
  return all;
}

OpenResult PlatformComposition::open_exclusive(const NativeString& path) {
  const auto listed = listed_by_.find(path);
  std::vector<Platform*> candidates = backends_;
  if (listed != listed_by_.end()) candidates = {listed->second};
  OpenResult refused;
  for (Platform* backend : candidates) {
    const OpenResult opened = backend->open_exclusive(path);
    if (opened.handle == kInvalidHandle) {
      // A backend that can tell why speaks for the path.
      if (opened.failure != OpenFailure::kUnknown) refused = opened;
      continue;
    }
    const Handle handle = next_handle_++;
    routes_[handle] = Route{backend, opened.handle};
    return handle;
  }
  return refused;
}

const PlatformComposition::Route* PlatformComposition::find_route(Handle handle) const {
  const auto found = routes_.find(handle);
  return found == routes_.end() ? nullptr : &found->second;
}

std::optional<std::uint32_t> PlatformComposition::write(Handle handle, const std::uint8_t* data,
                                                        std::uint32_t size) {
  const Route* route = find_route(handle);
  if (route == nullptr) return std::nullopt;
  return route->backend->write(route->handle, data, size);
}

std::optional<std::uint32_t> PlatformComposition::read(Handle handle, std::uint8_t* buffer,
                                                       std::uint32_t size) {
  const Route* route = find_route(handle);
  if (route == nullptr) return std::nullopt;
  return route->backend->read(route->handle, buffer, size);
}

bool PlatformComposition::set_timeout(Handle handle, std::int32_t timeout) {
  const Route* route = find_route(handle);
  return route != nullptr && route->backend->set_timeout(route->handle, timeout);
}

bool PlatformComposition::get_timeout(Handle handle, std::int32_t& timeout) {
  const Route* route = find_route(handle);
  return route != nullptr && route->backend->get_timeout(route->handle, timeout);
}

bool PlatformComposition::read_fails_at_timeout() {
  return std::any_of(backends_.begin(), backends_.end(),
                     [](Platform* backend) { return backend->read_fails_at_timeout(); });
}

bool PlatformComposition::close(Handle handle) {
  const auto found = routes_.find(handle);
  if (found == routes_.end()) return false;
  const Route route = found->second;
  routes_.erase(found);
  return route.backend->close(route.handle);
}

bool PlatformComposition::escape_held() {
  return std::any_of(backends_.begin(), backends_.end(),
                     [](Platform* backend) { return backend->escape_held(); });
}

}  // namespace tarnlink
