// A scripted platform for tests: present instruments, per-call results, failures
// injected at call N, and a record of every call in order.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
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
    std::uint32_t returned = 4;  // a get's answer in bytes: 0 is an empty answer
  };

  // --- the script ---
  std::vector<NativeString> interfaces;   // present, in the driver's order
  int enum_fails_at = -1;                 // listings fail at this interface (from 0),
                                          // with the ones before it listed
  std::set<int> fail_calls;               // numbers of the calls that fail, counted as
                                          // calls_made counts them
  std::set<NativeString> open_refused;    // paths whose open fails
  std::map<NativeString, OpenFailure> open_failures;  // the reasons they give; else kUnknown
  std::deque<WriteStep> writes;           // then: every write succeeds in full
  std::deque<ReadStep> reads;             // then: reads time out (0 bytes)
  std::deque<ControlStep> set_timeouts;   // then: succeed
  std::deque<ControlStep> get_timeouts;   // then: succeed with the value last set
  bool readback_override = false;
  std::int32_t readback_value = 0;        // with readback_override: what get answers
  bool fill_answer = true;                // false: reads deliver counts, bytes left as they are
  std::set<int> escape_held_at;           // 1-based numbers of the Esc tests that see it held
  bool failed_read_may_be_timeout = false;  // what read_fails_at_timeout answers

  // --- the record ---
  std::vector<std::string> calls;
  int calls_made = 0;                     // every call but the Esc tests, from 1
  std::vector<std::vector<std::uint8_t>> messages;  // every write's bytes
  int escape_tests = 0;
  std::int32_t device_timeout = 80000000;
  std::uint64_t bytes_answered = 0;

  // Byte i of the answer stream, as reads deliver it.
  // Byte 186 is the first zero.
  static std::uint8_t answer_byte(std::uint64_t i) {
    return static_cast<std::uint8_t>((i + 65) % 251);
  }
  // The calls that talk to the device (no listings, no Esc tests).
  std::vector<std::string> device_calls() const;

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
  // Counts a call; true when the script fails it.
  bool fails_now();
  template <typename Step>
  static Step next(std::deque<Step>& script) {
    if (script.empty()) return Step{};
    Step step = script.front();
    script.pop_front();
    return step;
  }

  std::set<NativeString> opened_;
};

}  // namespace tarnlink::testing
