#include "transfer/receiver.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/driver_contract.h"
#include "base/console.h"
#include "base/native_text.h"

namespace tarnlink {
namespace {

constexpr std::uint32_t kPassLimit = 0xFFFF;

// The running total as the operator reads it: bytes up to 1024, then whole KB.
std::string read_text(std::int64_t total) {
  if (total <= 1024) return "Read: " + decimal(total) + " bytes";
  return "Read: " + decimal(total / 1024) + " KB";
}

// Stores the answer in the file, pass after pass, until a read fails or brings
// nothing. Every byte that arrived is stored and counted, also the full chunks
// of a pass that ended in a failed read.
std::int32_t receive_to_file(DeviceAccess& device, std::ostream& out, AnswerFile& file) {
  if (!file.begin(out)) return -1;
  ByteBuffer buffer;
  buffer.reserve(kPassLimit + contract::kChunkSize);
  std::int64_t total = 0;
  int progress = 4;
  std::int32_t status = device.ReadDataLimited(buffer, kPassLimit);
  for (;;) {
    const bool pass = status == kStatusOk || status == kStatusLimitReached;
    if (!pass && buffer.empty()) break;
    total += static_cast<std::int64_t>(buffer.size());
    write_progress(out, progress > 3 ? read_text(total) : std::string());
    if (progress > 3) progress = 0;
    ++progress;
    if (!file.write(buffer.data(), buffer.size())) {
      write_line(out, "\nUnable to write file");
      return -1;
    }
    buffer.clear();  // keeps its storage for the next pass
    if (!pass) break;
    status = device.ReadDataLimited(buffer, kPassLimit);
  }
  write_progress(out, read_text(total));
  if (!file.close()) {
    write_line(out, "\nUnable to write file");
    return -1;
  }
  // The answer was cut off, not ended by the link timeout: what came is kept,
  // but the job did not succeed.
  if (status == kStatusReadFault) {
    write_line(out, kErrorText);
    return -1;
  }
  return 0;
}

// Prints the answer as text up to its first zero byte, then its length.
std::int32_t print_answer(DeviceAccess& device, std::ostream& out) {
  ByteBuffer buffer;
  if (device.ReadData(buffer) != kStatusOk) return -1;
  const auto text_end = std::find(buffer.begin(), buffer.end(), std::uint8_t{0});
  write_line(out, std::string_view(reinterpret_cast<const char*>(buffer.data()),
                                   static_cast<std::size_t>(text_end - buffer.begin())));
  write_line(out, "Read " + decimal(static_cast<std::int64_t>(buffer.size())) + " bytes ");
  return 0;
}

// The screen holds the whole answer in memory, and an instrument that keeps
// sending full chunks outgrows it: that ends the receive, not the program. The
// answer is released by the unwinding before the message is written.
std::int32_t receive_to_screen(DeviceAccess& device, std::ostream& out) {
  try {
    return print_answer(device, out);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {  // longer than a buffer can be, as in 32-bit builds
  }
  write_line(out, "Not enough memory for the answer");
  return -1;
}

}  // namespace

bool IsScreenName(const NativeString& output_name) {
  return equals_ignoring_case(output_name, "con");
}

std::int32_t ReceiveAnswer(DeviceAccess& device, std::ostream& out, const NativeString& output_name) {
  if (IsScreenName(output_name)) return receive_to_screen(device, out);
  AnswerFile file;
  if (!file.open(out, output_name)) return -1;
  return receive_to_file(device, out, file);
}

std::int32_t ReceiveAnswer(DeviceAccess& device, std::ostream& out, AnswerFile& file) {
  return receive_to_file(device, out, file);
}

}  // namespace tarnlink
