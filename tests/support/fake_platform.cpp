#include "support/fake_platform.h"

#include <cstring>

#include "base/driver_contract.h"

namespace tarnlink::testing {

NativeString native(const std::string& ascii) { return NativeString(ascii.begin(), ascii.end()); }

std::string narrow(const NativeString& text) {
  std::string out;
  for (const NativeChar c : text) out.push_back(static_cast<char>(c));
  return out;
}

std::vector<std::string> FakePlatform::device_calls() const {
  std::vector<std::string> result;
  for (const std::string& call : calls) {
    if (call.rfind("open", 0) == 0 || call.rfind("write", 0) == 0 ||
        call.rfind("read", 0) == 0 || call.rfind("set-timeout", 0) == 0 ||
        call.rfind("get-timeout", 0) == 0 || call.rfind("close", 0) == 0) {
      result.push_back(call);
    }
  }
  return result;
}

InfoSet FakePlatform::class_devices() {
  calls.push_back("class-devices");
  if (class_devices_failure) {
    last_error_ = 13;
    return *class_devices_failure;
  }
  const InfoSet set = next_set_++;
  sets_.insert(set);
  ++live_sets;
  return set;
}

bool FakePlatform::enum_interface(InfoSet set, std::uint32_t member, InterfaceData& data) {
  calls.push_back("enum " + std::to_string(member));
  if (sets_.count(set) == 0) {
    last_error_ = 6;  // invalid handle
    return false;
  }
  if (static_cast<int>(member) == enum_fails_at) {
    last_error_ = enum_error;
    return false;
  }
  if (member >= interfaces.size()) {
    last_error_ = contract::kErrorNoMoreItems;
    return false;
  }
  std::memset(data.bytes, 0, sizeof data.bytes);
  std::memcpy(data.bytes, &member, sizeof member);
  return true;
}

bool FakePlatform::interface_detail(InfoSet set, const InterfaceData& data, NativeChar* path,
                                    std::uint32_t capacity, std::uint32_t* required) {
  std::uint32_t member = 0;
  std::memcpy(&member, data.bytes, sizeof member);
  calls.push_back((path == nullptr ? "detail-size " : "detail ") + std::to_string(member));
  if (sets_.count(set) == 0 || member >= interfaces.size()) {
    last_error_ = 87;
    return false;
  }
  const NativeString& name = interfaces[member];
  const auto needed = static_cast<std::uint32_t>(name.size() + 1);
  if (path == nullptr) {
    *required = static_cast<int>(member) == detail_size_zero_at ? 0 : needed;
    last_error_ = 122;  // insufficient buffer, as the real call answers
    return false;
  }
  if (static_cast<int>(member) == detail_fails_at || capacity < needed) {
    last_error_ = 122;
    return false;
  }
  std::copy(name.begin(), name.end(), path);
  path[name.size()] = NativeChar{};
  return true;
}

bool FakePlatform::destroy_list(InfoSet set) {
  calls.push_back("destroy");
  if (sets_.erase(set) == 0) return false;
  --live_sets;
  return true;
}

Handle FakePlatform::open_exclusive(const NativeChar* path) {
  const NativeString name(path);
  calls.push_back("open " + narrow(name));
  if (open_refused.count(name) != 0 || opened_.count(name) != 0) {
    last_error_ = 5;
    return kInvalidHandle;
  }
  if (open_error_only.count(name) != 0) {
    last_error_ = 183;
    return 7;
  }
  opened_.insert(name);
  last_error_ = 0;
  return 100;
}

bool FakePlatform::write(Handle, const std::uint8_t* data, std::uint32_t size,
                         std::uint32_t* written) {
  calls.push_back("write " + std::to_string(size));
  WriteStep step;
  if (!writes.empty()) {
    step = writes.front();
    writes.pop_front();
  }
  if (!step.ok) {
    last_error_ = 31;
    return false;
  }
  messages.emplace_back(data, data + size);
  *written = size - step.short_by;
  return true;
}

bool FakePlatform::read(Handle, std::uint8_t* buffer, std::uint32_t size, std::uint32_t* got) {
  ReadStep step;
  if (!reads.empty()) {
    step = reads.front();
    reads.pop_front();
  }
  if (!step.ok) {
    calls.push_back("read -> error");
    last_error_ = 31;
    return false;
  }
  calls.push_back("read -> " + std::to_string(step.count));
  // A count beyond `size` is delivered as a count only: it models a broken driver.
  const std::uint32_t stored = step.count < size ? step.count : size;
  if (fill_answer) {
    for (std::uint32_t i = 0; i < stored; ++i) buffer[i] = answer_byte(bytes_answered + i);
  }
  bytes_answered += stored;
  *got = step.count;
  return true;
}

bool FakePlatform::control(Handle, std::uint32_t code, const void* in, std::uint32_t in_size,
                           void* out, std::uint32_t out_size, std::uint32_t* returned) {
  const bool is_set = code == contract::kIoctlSetTimeout;
  std::deque<ControlStep>& script = is_set ? set_timeouts : get_timeouts;
  ControlStep step;
  if (!script.empty()) {
    step = script.front();
    script.pop_front();
  }
  if (is_set) {
    std::int32_t value = 0;
    if (in_size >= sizeof value) std::memcpy(&value, in, sizeof value);
    calls.push_back("set-timeout " + std::to_string(value));
    if (!step.ok) {
      last_error_ = 31;
      return false;
    }
    device_timeout = value;
    *returned = 0;
    return true;
  }
  if (code != contract::kIoctlGetTimeout || !step.ok) {
    calls.push_back("get-timeout -> error");
    last_error_ = 31;
    return false;
  }
  const std::int32_t value = readback_override ? readback_value : device_timeout;
  if (step.returned == 0) {
    calls.push_back("get-timeout -> empty");
  } else {
    calls.push_back("get-timeout -> " + std::to_string(value));
    if (out_size >= sizeof value) std::memcpy(out, &value, sizeof value);
  }
  *returned = step.returned;
  return true;
}

bool FakePlatform::close(Handle) {
  calls.push_back("close");
  return true;
}

bool FakePlatform::escape_held() {
  ++escape_tests;
  return escape_held_at.count(escape_tests) != 0;
}

}  // namespace tarnlink::testing
