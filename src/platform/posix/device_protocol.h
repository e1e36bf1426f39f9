// The wire protocol between the device service client (this backend) and a
// device service such as velk-emu, over one SOCK_SEQPACKET Unix socket per open
// handle. docs/device-protocol.md describes it for other implementations.
//
// Every packet is one message: a 12-byte header, then the payload. All integers
// are little-endian. The client sends one request and waits for its one
// response before it sends the next; the service sends an open response first,
// unasked, right after it accepts the connection.
//
//   offset 0  u8   type
//   offset 1  u8   version (kVersion)
//   offset 2  u16  reserved, 0
//   offset 4  u32  first    requests: see RequestType; responses: Win32 error, 0 on success
//   offset 8  u32  second   requests: see RequestType; responses: count
//   offset 12      payload
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/byte_order.h"

namespace tarnlink::device_protocol {

inline constexpr std::size_t kHeaderSize = 12;
inline constexpr std::uint8_t kVersion = 1;
// Largest payload of a write request or a read response.
inline constexpr std::uint32_t kMaxData = 65536;
// Largest payload of a control request or response.
inline constexpr std::uint32_t kMaxControlData = 256;
// Room for the largest packet either side may send.
inline constexpr std::size_t kMaxPacket = kHeaderSize + kMaxData;

enum class RequestType : std::uint8_t {
  kWrite = 1,    // first: payload size; second: 0; payload: the message
  kRead = 2,     // first: most bytes wanted, 1 to kMaxData; second: 0; no payload
  kControl = 3,  // first: control code; second: output capacity; payload: input bytes
};

enum class ResponseType : std::uint8_t {
  kOpen = 0x80,     // sent once on accept; error 0 grants the handle, otherwise the
                    // service closes the connection after it
  kWrite = 0x81,    // count: bytes the instrument took, at most the size given
  kRead = 0x82,     // count: payload size, at most the size asked for
  kControl = 0x83,  // count: payload size (output bytes), at most the capacity given
};

// The response type that answers a request type.
ResponseType response_to(RequestType type);

using Header = std::array<std::uint8_t, kHeaderSize>;

Header encode_write_request(std::uint32_t size);
Header encode_read_request(std::uint32_t max_size);
Header encode_control_request(std::uint32_t code, std::uint32_t out_capacity);
// A failed response (error != 0) carries count 0 and no payload.
Header encode_response(ResponseType type, std::uint32_t error, std::uint32_t count);

// A decoded request; `data` points into the decoded packet.
struct Request {
  RequestType type = RequestType::kWrite;
  std::uint32_t first = 0;
  std::uint32_t second = 0;
  const std::uint8_t* data = nullptr;
  std::uint32_t size = 0;
};

// A decoded response header; its payload is the `size` bytes after the header.
struct Response {
  ResponseType type = ResponseType::kOpen;
  std::uint32_t error = 0;
  std::uint32_t count = 0;
  std::uint32_t size = 0;
};

// Decodes one whole packet of `size` bytes. False for anything malformed: short
// header, other version, nonzero reserved bits, unknown type, payload that does
// not match the header or exceeds the limits above.
bool decode_request(const std::uint8_t* packet, std::size_t size, Request& request);
bool decode_response(const std::uint8_t* packet, std::size_t size, Response& response);

// Little-endian fields, for the protocol and for the 4-byte timeout value that
// the two timeout control requests carry.
using ::tarnlink::get_u32;
using ::tarnlink::put_u32;

}  // namespace tarnlink::device_protocol
