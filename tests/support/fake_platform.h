// A scripted platform for tests: present interfaces, per-call results, and a
// record of every call in order.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tarnlink::testing {

// Native text from ASCII, and back, for scripting and for the call record.
NativeString native(const std::string& ascii);
std::string narrow(const NativeString& text);

class FakePlatform final : public Platform {
 public:
  struct WriteStep {
    bool ok = true;
    std::uint32_t short_by = 0;  // the driver takes this many bytes fewer
  };
  struct ReadStep {
    bool ok = true;
    std::uint32_t count = 0;  // bytes delivered; they continue answer_byte()
  };
  struct ControlStep {
    bool ok = true;
    std::uint32_t returned = 4;
  };

  // --- the script ---
  std::vector<NativeString> interfaces;   // present, in enumeration order
  std::optional<InfoSet> class_devices_failure;  // class_devices returns this instead of a set
  int enum_fails_at = -1;                 // member whose enumeration fails
  std::uint32_t enum_error = 13;          // ...with this error (not "no more items")
  int detail_fails_at = -1;               // member whose second detail query fails
  int detail_size_zero_at = -1;           // member whose size query answers 0
  std::set<NativeString> open_refused;    // paths whose open fails
  std::set<NativeString> open_error_only; // valid handle, but a nonzero last error
  std::deque<WriteStep> writes;           // then: every write succeeds in full
  std::deque<ReadStep> reads;             // then: reads time out (0 bytes)
  std::deque<ControlStep> set_timeouts;   // then: succeed
  std::deque<ControlStep> get_timeouts;   // then: succeed with the value last set
  bool readback_override = false;
  std::int32_t readback_value = 0;        // with readback_override: what get answers
  bool fill_answer = true;                // false: reads deliver counts, bytes left as they are
  std::set<int> escape_held_at;           // 1-based numbers of the Esc tests that see it held

  // --- the record ---
  std::vector<std::string> calls;
  std::vector<std::vector<std::uint8_t>> messages;  // every write's bytes
  int escape_tests = 0;
  int live_sets = 0;
  std::int32_t device_timeout = 80000000;
  std::uint64_t bytes_answered = 0;

  // Byte i of the answer stream, as reads deliver it.
  // Byte 186 is the first zero.
  static std::uint8_t answer_byte(std::uint64_t i) {
    return static_cast<std::uint8_t>((i + 65) % 251);
  }
  // The calls that talk to the device (no enumeration, no Esc tests).
  std::vector<std::string> device_calls() const;

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
  bool control(Handle handle, std::uint32_t code, const void* in, std::uint32_t in_size, void* out,
               std::uint32_t out_size, std::uint32_t* returned) override;
  bool close(Handle handle) override;
  bool escape_held() override;

 private:
  std::uint32_t last_error_ = 0;
  InfoSet next_set_ = 0x1000;
  std::set<InfoSet> sets_;
  std::set<NativeString> opened_;
};

}  // namespace tarnlink::testing
