#include "platform/posix/device_protocol.h"

namespace tarnlink::device_protocol {
namespace {

Header encode(std::uint8_t type, std::uint32_t first, std::uint32_t second) {
  Header header{};
  header[0] = type;
  header[1] = kVersion;
  put_u32(&header[4], first);
  put_u32(&header[8], second);
  return header;
}

// Type, version and reserved bits; true when the header is well formed.
bool read_header(const std::uint8_t* packet, std::size_t size, std::uint8_t& type,
                 std::uint32_t& first, std::uint32_t& second) {
  if (packet == nullptr || size < kHeaderSize || size > kMaxPacket) return false;
  if (packet[1] != kVersion || packet[2] != 0 || packet[3] != 0) return false;
  type = packet[0];
  first = get_u32(packet + 4);
  second = get_u32(packet + 8);
  return true;
}

}  // namespace

ResponseType response_to(RequestType type) {
  switch (type) {
    case RequestType::kWrite: return ResponseType::kWrite;
    case RequestType::kRead: return ResponseType::kRead;
    case RequestType::kControl: break;
  }
  return ResponseType::kControl;
}

Header encode_write_request(std::uint32_t size) {
  return encode(static_cast<std::uint8_t>(RequestType::kWrite), size, 0);
}

Header encode_read_request(std::uint32_t max_size) {
  return encode(static_cast<std::uint8_t>(RequestType::kRead), max_size, 0);
}

Header encode_control_request(std::uint32_t code, std::uint32_t out_capacity) {
  return encode(static_cast<std::uint8_t>(RequestType::kControl), code, out_capacity);
}

Header encode_response(ResponseType type, std::uint32_t error, std::uint32_t count) {
  return encode(static_cast<std::uint8_t>(type), error, count);
}

bool decode_request(const std::uint8_t* packet, std::size_t size, Request& request) {
  std::uint8_t type = 0;
  std::uint32_t first = 0;
  std::uint32_t second = 0;
  if (!read_header(packet, size, type, first, second)) return false;
  const auto payload = static_cast<std::uint32_t>(size - kHeaderSize);
  switch (static_cast<RequestType>(type)) {
    case RequestType::kWrite:
      if (second != 0 || first != payload) return false;
      break;
    case RequestType::kRead:
      if (second != 0 || payload != 0 || first == 0 || first > kMaxData) return false;
      break;
    case RequestType::kControl:
      if (second > kMaxControlData || payload > kMaxControlData) return false;
      break;
    default:
      return false;
  }
  request.type = static_cast<RequestType>(type);
  request.first = first;
  request.second = second;
  request.data = packet + kHeaderSize;
  request.size = payload;
  return true;
}

bool decode_response(const std::uint8_t* packet, std::size_t size, Response& response) {
  std::uint8_t type = 0;
  std::uint32_t error = 0;
  std::uint32_t count = 0;
  if (!read_header(packet, size, type, error, count)) return false;
  const auto payload = static_cast<std::uint32_t>(size - kHeaderSize);
  if (error != 0 && (count != 0 || payload != 0)) return false;
  switch (static_cast<ResponseType>(type)) {
    case ResponseType::kOpen:
      if (count != 0 || payload != 0) return false;
      break;
    case ResponseType::kWrite:
      if (payload != 0) return false;
      break;
    case ResponseType::kRead:
      if (count != payload) return false;
      break;
    case ResponseType::kControl:
      if (count != payload || payload > kMaxControlData) return false;
      break;
    default:
      return false;
  }
  response.type = static_cast<ResponseType>(type);
  response.error = error;
  response.count = count;
  response.size = payload;
  return true;
}

}  // namespace tarnlink::device_protocol
