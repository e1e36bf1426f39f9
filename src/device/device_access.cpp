#include "device/device_access.h"

#include <algorithm>
#include <limits>
#include <optional>

#include "base/driver_contract.h"

namespace tarnlink {

std::int32_t DeviceAccess::GetCountActiveDevices(DeviceList& list) {
  ListResult listed = platform_.interface_paths();
  std::int32_t index = 0;
  for (NativeString& path : listed.paths) list.push_back(DeviceListEntry{++index, std::move(path)});
  return listed.failed ? kStatusFailed : kStatusOk;
}

std::list<DeviceRecord>::iterator DeviceAccess::find_record(const NativeString& path) {
  return std::find_if(table_.begin(), table_.end(),
                      [&](const DeviceRecord& r) { return r.path == path; });
}

std::int32_t DeviceAccess::OpenDevice(const DeviceListEntry& entry) {
  auto record = find_record(entry.path);
  if (record == table_.end()) record = table_.emplace(table_.end());
  refused_ = OpenRefusal{entry.path, OpenFailure::kUnknown};

  // A listing cut short still offers the interfaces it reached.
  DeviceList present;
  const bool listed_all = GetCountActiveDevices(present) == kStatusOk;
  bool listed = false;
  for (DeviceListEntry& found : present) {
    if (found.path != entry.path) continue;
    listed = true;
    if (record->open != 0) return kStatusFailed;  // never a second handle to one instrument
    const OpenResult opened = platform_.open_exclusive(found.path);
    if (opened.handle == kInvalidHandle) {
      refused_.failure = opened.failure;
      continue;
    }
    record->handle = opened.handle;
    record->open = 1;
    record->path = std::move(found.path);
    record->index = found.index;
    return kStatusOk;
  }
  if (!listed && listed_all) refused_.failure = OpenFailure::kGone;
  return kStatusFailed;
}

std::int32_t DeviceAccess::SelectDevice(const DeviceListEntry& entry) {
  const auto record = find_record(entry.path);
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
  const std::optional<std::uint32_t> written = platform_.write(current_->handle, data, size);
  if (!written) return kStatusFailed;
  return *written == size ? kStatusOk : kStatusShort;
}

std::int32_t DeviceAccess::read_chunks(ByteBuffer& buffer, bool limited, std::uint32_t limit) {
  if (const std::int32_t status = check_selected(); status != kStatusOk) return status;
  std::uint32_t got = contract::kChunkSize;
  while (got >= contract::kChunkSize) {
    // Each chunk is read straight into the buffer's end, which then shrinks to
    // what arrived.
    const std::size_t kept = buffer.size();
    buffer.resize(kept + contract::kChunkSize);
    const std::optional<std::uint32_t> read =
        platform_.read(current_->handle, buffer.data() + kept, contract::kChunkSize);
    if (!read) {
      buffer.resize(kept);
      return failed_read_status();
    }
    // A count beyond what was asked for cannot be trusted: nothing of it is kept,
    // and no timeout ends a read that way.
    if (*read > contract::kChunkSize) {
      buffer.resize(kept);
      return kStatusReadFault;
    }
    got = *read;
    buffer.resize(kept + got);
    if (limited && got == 0) return kStatusFailed;
    if (limited && buffer.size() >= limit) return kStatusLimitReached;
  }
  return kStatusOk;
}

std::int32_t DeviceAccess::failed_read_status() {
  if (!platform_.read_fails_at_timeout()) return kStatusReadFault;
  // A driver that may fail a read at the timeout leaves only one sign of a fault
  // that is not the timeout: the instrument is gone from the listing.
  const ListResult listed = platform_.interface_paths();
  const bool present = std::find(listed.paths.begin(), listed.paths.end(), current_->path) !=
                       listed.paths.end();
  return present ? kStatusFailed : kStatusReadFault;
}

std::int32_t DeviceAccess::ReadData(ByteBuffer& buffer) { return read_chunks(buffer, false, 0); }

std::int32_t DeviceAccess::ReadDataLimited(ByteBuffer& buffer, std::uint32_t limit) {
  return read_chunks(buffer, true, limit);
}

std::int32_t DeviceAccess::GetTimeout(std::int32_t& timeout) {
  if (const std::int32_t status = check_selected(); status != kStatusOk) return status;
  return platform_.get_timeout(current_->handle, timeout) ? kStatusOk : kStatusFailed;
}

std::int32_t DeviceAccess::SetTimeout(std::int32_t timeout) {
  if (timeout < 0) return kStatusShort;
  if (const std::int32_t status = check_selected(); status != kStatusOk) return status;
  return platform_.set_timeout(current_->handle, timeout) ? kStatusOk : kStatusFailed;
}

}  // namespace tarnlink
