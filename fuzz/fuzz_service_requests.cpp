// The service's side of the device protocol: whatever a client sends, the
// request decoder accepts exactly the packets the protocol allows, reports their
// fields as sent, and reads nothing outside the packet. Accepted requests must
// also come out of the encoder byte for byte as they went in.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/posix/device_protocol.h"
#include "protocol_rules.h"

namespace protocol = tarnlink::device_protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly `size` bytes, so that a read past the packet's end is
  // caught even where the fuzzer's own buffer would have more room.
  const std::unique_ptr<std::uint8_t[]> packet(new std::uint8_t[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(packet.get(), data, size);

  tarnlink::fuzz::Fields fields;
  const bool expected = tarnlink::fuzz::valid_request(packet.get(), size, fields);
  protocol::Request request;
  const bool decoded = protocol::decode_request(packet.get(), size, request);
  if (decoded != expected) std::abort();
  if (!decoded) return 0;

  if (static_cast<std::uint8_t>(request.type) != fields.type || request.first != fields.first ||
      request.second != fields.second || request.size != fields.payload ||
      request.data != packet.get() + protocol::kHeaderSize) {
    std::abort();
  }
  protocol::Header header{};
  switch (request.type) {
    case protocol::RequestType::kWrite: header = protocol::encode_write_request(request.first); break;
    case protocol::RequestType::kRead: header = protocol::encode_read_request(request.first); break;
    case protocol::RequestType::kControl:
      header = protocol::encode_control_request(request.first, request.second);
      break;
  }
  if (std::memcmp(header.data(), packet.get(), header.size()) != 0) std::abort();
  if (protocol::response_to(request.type) !=
      static_cast<protocol::ResponseType>(fields.type | 0x80u)) {
    std::abort();
  }
  return 0;
}
