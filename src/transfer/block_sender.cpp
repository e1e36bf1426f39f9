#include "transfer/block_sender.h"

#include <algorithm>

#include "device/contract.h"
#include "transfer/console.h"

namespace tarnlink {

std::int32_t SendBuffer(DeviceAccess& device, std::ostream& out, const std::uint8_t* payload,
                        PayloadSize size) {
  constexpr auto kBlock = static_cast<std::int32_t>(contract::kChunkSize);
  const std::int32_t total = PayloadCount(size);
  const std::string total_text = " / " + decimal(total);
  ByteBuffer block;  // one block at a time; its storage is reused
  block.reserve(contract::kChunkSize);
  int progress = 0;
  // The offset is 64-bit so that the last block of a payload near 2 GiB cannot
  // make it wrap.
  for (std::int64_t offset = 0; offset < total; offset += kBlock) {
    if (++progress > 2) {
      write_progress(out, decimal(offset) + total_text);
      progress = 0;
    }
    const auto length = static_cast<std::size_t>(std::min<std::int64_t>(kBlock, total - offset));
    const std::uint8_t* first = payload + offset;
    block.assign(first, first + length);
    if (device.WriteData(block) != kStatusOk) {
      write_line(out, "    Error ! ");
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
