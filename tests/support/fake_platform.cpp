#include "support/fake_platform.h"

#include <algorithm>

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
    if (call != "list") result.push_back(call);
  }
  return result;
}

bool FakePlatform::fails_now() { return fail_calls.count(++calls_made) != 0; }

ListResult FakePlatform::interface_paths() {
  calls.push_back("list");
  ListResult result;
  if (fails_now()) {
    result.failed = true;
    return result;
  }
  for (const NativeString& path : interfaces) {
    if (static_cast<int>(result.paths.size()) == enum_fails_at) {
      result.failed = true;
      break;
    }
    result.paths.push_back(path);
  }
  return result;
}

OpenResult FakePlatform::open_exclusive(const NativeString& path) {
  calls.push_back("open " + narrow(path));
  const bool present = std::find(interfaces.begin(), interfaces.end(), path) != interfaces.end();
  if (fails_now() || !present || opened_.count(path) != 0) return kInvalidHandle;
  if (open_refused.count(path) != 0) {
    const auto reason = open_failures.find(path);
    return reason == open_failures.end() ? OpenFailure::kUnknown : reason->second;
  }
  opened_.insert(path);
  return 100;
}

std::optional<std::uint32_t> FakePlatform::write(Handle, const std::uint8_t* data,
                                                 std::uint32_t size) {
  calls.push_back("write " + std::to_string(size));
  const WriteStep step = next(writes);
  if (fails_now() || !step.ok) return std::nullopt;
  messages.emplace_back(data, data + size);
  return size - step.short_by;
}

std::optional<std::uint32_t> FakePlatform::read(Handle, std::uint8_t* buffer, std::uint32_t size) {
  const ReadStep step = next(reads);
  if (fails_now() || !step.ok) {
    calls.push_back("read -> error");
    return std::nullopt;
  }
  calls.push_back("read -> " + std::to_string(step.count));
  // A count beyond `size` is delivered as a count only: it models a broken driver.
  const std::uint32_t stored = step.count < size ? step.count : size;
  if (fill_answer) {
    for (std::uint32_t i = 0; i < stored; ++i) buffer[i] = answer_byte(bytes_answered + i);
  }
  bytes_answered += stored;
  return step.count;
}

bool FakePlatform::set_timeout(Handle, std::int32_t timeout) {
  calls.push_back("set-timeout " + std::to_string(timeout));
  const ControlStep step = next(set_timeouts);
  if (fails_now() || !step.ok) return false;
  device_timeout = timeout;
  return true;
}

bool FakePlatform::get_timeout(Handle, std::int32_t& timeout) {
  const ControlStep step = next(get_timeouts);
  if (fails_now() || !step.ok) {
    calls.push_back("get-timeout -> error");
    return false;
  }
  if (step.returned == 0) {
    calls.push_back("get-timeout -> empty");
    return false;
  }
  timeout = readback_override ? readback_value : device_timeout;
  calls.push_back("get-timeout -> " + std::to_string(timeout));
  return true;
}

bool FakePlatform::close(Handle) {
  calls.push_back("close");
  return !fails_now();
}

bool FakePlatform::read_fails_at_timeout() { return failed_read_may_be_timeout; }

bool FakePlatform::escape_held() {
  ++escape_tests;
  return escape_held_at.count(escape_tests) != 0;
}

}  // namespace tarnlink::testing
