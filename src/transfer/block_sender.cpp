#include "transfer/block_sender.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <string>
#include <string_view>

#include "base/driver_contract.h"
#include "base/console.h"

namespace tarnlink {
namespace {

// "OFFSET / TOTAL", rewritten every third block of a payload that may have half
// a million of them: the offset goes into a fixed buffer, so no block allocates.
class ProgressText {
 public:
  explicit ProgressText(std::int32_t total) : total_text_(" / " + decimal(total)) {}

  std::string_view at(std::int64_t offset) {
    char* end = std::to_chars(text_.data(), text_.data() + kNumberRoom, offset).ptr;
    end = std::copy(total_text_.begin(), total_text_.end(), end);
    return {text_.data(), static_cast<std::size_t>(end - text_.data())};
  }

 private:
  static constexpr std::size_t kNumberRoom = 20;  // any 64-bit value with its sign
  std::string total_text_;
  std::array<char, 2 * kNumberRoom + 3> text_{};  // the offset, " / ", the total
};

}  // namespace

std::int32_t SendBuffer(DeviceAccess& device, std::ostream& out, const std::uint8_t* payload,
                        PayloadSize size) {
  constexpr auto kBlock = static_cast<std::int32_t>(contract::kChunkSize);
  const std::int32_t total = PayloadCount(size);
  ProgressText progress_text(total);
  int progress = 0;
  // The offset is 64-bit so that the last block of a payload near 2 GiB cannot
  // make it wrap.
  for (std::int64_t offset = 0; offset < total; offset += kBlock) {
    if (++progress > 2) {
      write_progress(out, progress_text.at(offset));
      progress = 0;
    }
    // Each block goes out in place: the payload is not changed while it is
    // sent, so a copy of the block would only cost time.
    const auto length = static_cast<std::size_t>(std::min<std::int64_t>(kBlock, total - offset));
    if (device.WriteData(payload + offset, length) != kStatusOk) {
      write_line(out, kErrorText);
      return -1;
    }
    if (device.platform().escape_held()) {
      write_line(out, "    Break ! ");
      return -1;
    }
  }
  write_summary_line(out, "Send: " + decimal(total) + " bytes");
  return 0;
}

}  // namespace tarnlink
