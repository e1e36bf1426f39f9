#include "device/device_access.h"

#include <algorithm>
#include <limits>

#include "base/driver_contract.h"

namespace tarnlink {
namespace {

bool valid_set(InfoSet set) { return set != kInvalidInfoSet && set != 0; }

// The interface's path by the two-step detail query: first its size, then the
// path itself. A size answer too small to hold even the terminator is a failure.
bool query_interface_path(Platform& platform, InfoSet set, const InterfaceData& data,
                          std::vector<NativeChar>& detail) {
  std::uint32_t required = 0;
  platform.interface_detail(set, data, nullptr, 0, &required);
  if (required == 0) return false;
  detail.assign(required, NativeChar{});
  if (!platform.interface_detail(set, data, detail.data(), required, &required)) return false;
  return true;
}

// The path up to its terminator, or the whole buffer when the platform left none.
NativeString path_of(const std::vector<NativeChar>& detail) {
  const auto end = std::find(detail.begin(), detail.end(), NativeChar{});
  return NativeString(detail.begin(), end);
}

}  // namespace

DeviceAccess::~DeviceAccess() {
  for (const DeviceRecord& record : table_) {
    if (valid_set(record.info_set)) platform_.destroy_list(record.info_set);
  }
}

std::int32_t DeviceAccess::GetCountActiveDevices(DeviceList& list) {
  const InfoSet set = platform_.class_devices();
  if (!valid_set(set)) return kStatusFailed;
  InterfaceData data{};
  std::vector<NativeChar> detail;
  for (std::uint32_t member = 0;;) {
    if (!platform_.enum_interface(set, member, data)) {
      const bool exhausted = platform_.last_error() == contract::kErrorNoMoreItems;
      platform_.destroy_list(set);
      return exhausted ? kStatusOk : kStatusFailed;
    }
    ++member;
    if (!query_interface_path(platform_, set, data, detail)) {
      platform_.destroy_list(set);
      return kStatusFailed;
    }
    list.push_back(DeviceListEntry{static_cast<std::int32_t>(member), path_of(detail)});
  }
}

std::int32_t DeviceAccess::OpenDevice(const DeviceListEntry& entry) {
  auto record = std::find_if(table_.begin(), table_.end(),
                             [&](const DeviceRecord& r) { return r.path == entry.path; });
  if (record == table_.end()) record = table_.emplace(table_.end());

  // The set only joins the record when the open succeeds; every other way out
  // releases it, so a failed or repeated open leaks nothing.
  const InfoSet set = platform_.class_devices();
  if (!valid_set(set)) return kStatusFailed;
  InterfaceData data{};
  std::vector<NativeChar> detail;
  for (std::uint32_t member = 0;;) {
    if (!platform_.enum_interface(set, member, data)) break;
    ++member;
    if (!query_interface_path(platform_, set, data, detail)) break;
    NativeString path = path_of(detail);
    if (path != entry.path) continue;
    if (record->open != 0) break;  // never a second handle to one instrument

    const Handle handle = platform_.open_exclusive(path.c_str());
    const std::uint32_t error = platform_.last_error();
    if (handle != kInvalidHandle && error == contract::kErrorSuccess) {
      record->handle = handle;
      record->open = 1;
      record->path = std::move(path);
      record->index = static_cast<std::int32_t>(member);
      record->info_set = set;
      record->interface_data = data;
      record->detail = std::move(detail);
      return kStatusOk;
    }
    if (handle != kInvalidHandle) platform_.close(handle);
  }
  platform_.destroy_list(set);
  return kStatusFailed;
}

std::int32_t DeviceAccess::SelectDevice(const DeviceListEntry& entry) {
  const auto record = std::find_if(table_.begin(), table_.end(),
                                   [&](const DeviceRecord& r) { return r.path == entry.path; });
  if (record == table_.end()) {
    selected_ = false;
    return kStatusNotSelected;
  }
  current_ = record;
  selected_ = true;
  return kStatusOk;
}

std::int32_t DeviceAccess::check_selected() const {
  if (!selected_) return kStatusNotSelected;
  if (current_->open == 0) return kStatusNotOpen;
  return kStatusOk;
}

std::int32_t DeviceAccess::WriteData(const ByteBuffer& data) {
  return WriteData(data.data(), data.size());
}

std::int32_t DeviceAccess::WriteData(const std::uint8_t* data, std::size_t length) {
  if (const std::int32_t status = check_selected(); status != kStatusOk) return status;
  if (length > std::numeric_limits<std::uint32_t>::max()) return kStatusFailed;
  const auto size = static_cast<std::uint32_t>(length);
  std::uint32_t written = 0;
  if (!platform_.write(current_->handle, data, size, &written)) return kStatusFailed;
  return written == size ? kStatusOk : kStatusShort;
}

std::int32_t DeviceAccess::read_chunks(ByteBuffer& buffer, bool limited, std::uint32_t limit) {
  if (const std::int32_t status = check_selected(); status != kStatusOk) return status;
  std::uint32_t got = contract::kChunkSize;
  while (got >= contract::kChunkSize) {
    // Each chunk is read straight into the buffer's end, which then shrinks to
    // what arrived.
    const std::size_t kept = buffer.size();
    buffer.resize(kept + contract::kChunkSize);
    const bool read =
        platform_.read(current_->handle, buffer.data() + kept, contract::kChunkSize, &got);
    // A count beyond what was asked for cannot be trusted: nothing of it is kept.
    if (!read || got > contract::kChunkSize) {
      buffer.resize(kept);
      return kStatusFailed;
    }
    buffer.resize(kept + got);
    if (limited && got == 0) return kStatusFailed;
    if (limited && buffer.size() >= limit) return kStatusLimitReached;
  }
  return kStatusOk;
}

std::int32_t DeviceAccess::ReadData(ByteBuffer& buffer) { return read_chunks(buffer, false, 0); }

std::int32_t DeviceAccess::ReadDataLimited(ByteBuffer& buffer, std::uint32_t limit) {
  return read_chunks(buffer, true, limit);
}

std::int32_t DeviceAccess::GetTimeout(std::int32_t& timeout) {
  if (const std::int32_t status = check_selected(); status != kStatusOk) return status;
  std::uint32_t returned = 0;
  if (!platform_.control(current_->handle, contract::kIoctlGetTimeout, nullptr, 0, &timeout,
                         sizeof timeout, &returned)) {
    return kStatusFailed;
  }
  return returned == 0 ? kStatusFailed : kStatusOk;
}

std::int32_t DeviceAccess::SetTimeout(std::int32_t timeout) {
  if (timeout < 0) return kStatusShort;
  if (const std::int32_t status = check_selected(); status != kStatusOk) return status;
  std::uint32_t returned = 0;
  if (!platform_.control(current_->handle, contract::kIoctlSetTimeout, &timeout, sizeof timeout,
                         nullptr, 0, &returned)) {
    return kStatusFailed;
  }
  return kStatusOk;
}

}  // namespace tarnlink
