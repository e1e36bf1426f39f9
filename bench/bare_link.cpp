// The least a program can do with the instrument, for tarnlink to be measured
// against: it opens the instrument through the same platform backend, makes the
// same handshake, then only moves bytes.
//   bare_link send FILE     loads FILE into one buffer and writes it in 4096-byte
//                           blocks straight from that buffer
//   bare_link receive MS [OUTPUT]
//                           sets the link timeout to MS, writes one byte to start
//                           the answer, then reads until a read brings nothing;
//                           with OUTPUT it stores the answer there as tarnlink
//                           does: passes of up to 64 KiB, one write each
// Prints the byte count moved; exits 0 on success, 1 on any failure.
// Files go through unbuffered stdio, the same code on every platform: bytes go
// between the caller's buffer and the system's read or write without a copy.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include "base/driver_contract.h"
#include "platform/platform.h"

namespace {

using tarnlink::Handle;
using tarnlink::Platform;
namespace contract = tarnlink::contract;

bool failed(const char* what) {
  std::fprintf(stderr, "bare_link: %s failed\n", what);
  return false;
}

// The last present instrument, opened and answering the handshake that tarnlink
// makes: read the timeout, set the default, read it back.
bool connect(Platform& platform, Handle& handle) {
  const tarnlink::ListResult present = platform.interface_paths();
  if (present.failed) return failed("enumeration");
  if (present.paths.empty()) {
    std::fprintf(stderr, "bare_link: no instrument present\n");
    return false;
  }
  handle = platform.open_exclusive(present.paths.back()).handle;
  if (handle == tarnlink::kInvalidHandle) return failed("open");
  std::int32_t timeout = 0;
  platform.get_timeout(handle, timeout);
  if (!platform.set_timeout(handle, contract::kHandshakeTimeout)) return failed("set timeout");
  timeout = 0;
  if (!platform.get_timeout(handle, timeout) || timeout != contract::kHandshakeTimeout) {
    return failed("timeout read-back");
  }
  return true;
}

bool write_all(Platform& platform, Handle handle, const std::uint8_t* data, std::size_t size) {
  for (std::size_t offset = 0; offset < size; offset += contract::kChunkSize) {
    const auto length = static_cast<std::uint32_t>(
        size - offset < contract::kChunkSize ? size - offset : contract::kChunkSize);
    const std::optional<std::uint32_t> written = platform.write(handle, data + offset, length);
    if (!written) return failed("write");
    if (*written != length) {
      std::fprintf(stderr, "bare_link: short write\n");
      return false;
    }
  }
  return true;
}

bool load(const char* name, std::unique_ptr<std::uint8_t[]>& bytes, std::size_t& size) {
  std::error_code error;
  const std::uintmax_t length = std::filesystem::file_size(name, error);
  if (error) {
    std::fprintf(stderr, "bare_link: %s: %s\n", name, error.message().c_str());
    return false;
  }
  std::FILE* file = std::fopen(name, "rb");
  if (file == nullptr || std::setvbuf(file, nullptr, _IONBF, 0) != 0) {
    std::perror(name);
    if (file != nullptr) std::fclose(file);
    return false;
  }
  size = static_cast<std::size_t>(length);
  bytes.reset(new std::uint8_t[size == 0 ? 1 : size]);
  const std::size_t got = std::fread(bytes.get(), 1, size, file);
  std::fclose(file);
  if (got != size) {
    std::fprintf(stderr, "bare_link: %s: read %zu of %zu bytes\n", name, got, size);
    return false;
  }
  return true;
}

int send_file(Platform& platform, const char* name) {
  std::unique_ptr<std::uint8_t[]> bytes;
  std::size_t size = 0;
  Handle handle = tarnlink::kInvalidHandle;
  if (!load(name, bytes, size) || !connect(platform, handle)) return 1;
  if (!write_all(platform, handle, bytes.get(), size)) return 1;
  std::printf("%zu\n", size);
  return 0;
}

// tarnlink's receiver stores a pass when it holds 16 full chunks or a read
// came short.
constexpr std::size_t kPassSize = 16 * contract::kChunkSize;

int receive(Platform& platform, const char* milliseconds, const char* output) {
  char* end = nullptr;
  const long ms = std::strtol(milliseconds, &end, 10);
  if (*milliseconds == '\0' || *end != '\0' || ms < 0 ||
      ms > INT32_MAX / contract::kUnitsPerMillisecond) {
    std::fprintf(stderr, "bare_link: bad timeout %s\n", milliseconds);
    return 1;
  }
  Handle handle = tarnlink::kInvalidHandle;
  if (!connect(platform, handle)) return 1;
  if (!platform.set_timeout(handle, static_cast<std::int32_t>(ms) * contract::kUnitsPerMillisecond)) {
    return failed("set timeout") ? 0 : 1;
  }
  const std::uint8_t trigger = 0;
  if (!write_all(platform, handle, &trigger, 1)) return 1;
  std::FILE* file = nullptr;
  if (output != nullptr) {
    file = std::fopen(output, "wb");
    if (file == nullptr || std::setvbuf(file, nullptr, _IONBF, 0) != 0) {
      std::perror(output);
      return 1;
    }
  }
  // Chunks are read straight into the pass, which is written from where they landed.
  const std::unique_ptr<std::uint8_t[]> pass(new std::uint8_t[kPassSize]);
  std::uint64_t total = 0;
  std::uint32_t got = contract::kChunkSize;
  while (got != 0) {
    std::size_t filled = 0;
    do {
      const std::optional<std::uint32_t> read =
          platform.read(handle, pass.get() + filled, contract::kChunkSize);
      if (!read) return failed("read") ? 0 : 1;
      got = *read;
      filled += got;
    } while (got == contract::kChunkSize && filled < kPassSize);
    total += filled;
    if (file != nullptr && filled != 0 && std::fwrite(pass.get(), 1, filled, file) != filled) {
      std::perror(output);
      return 1;
    }
  }
  if (file != nullptr && std::fclose(file) != 0) {
    std::perror(output);
    return 1;
  }
  std::printf("%llu\n", static_cast<unsigned long long>(total));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Platform& platform = tarnlink::program_platform();
  if (argc == 3 && std::strcmp(argv[1], "send") == 0) return send_file(platform, argv[2]);
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "receive") == 0) {
    return receive(platform, argv[2], argc == 4 ? argv[3] : nullptr);
  }
  std::fprintf(stderr, "usage: bare_link send FILE | bare_link receive MS [OUTPUT]\n");
  return 2;
}
