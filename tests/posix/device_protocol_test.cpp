#include "platform/posix/device_protocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace tarnlink::device_protocol {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes packet(const Header& header, std::size_t payload = 0, std::uint8_t fill = 0xAB) {
  Bytes bytes(header.begin(), header.end());
  bytes.resize(kHeaderSize + payload, fill);
  return bytes;
}

bool request_ok(const Bytes& bytes, Request& request) {
  return decode_request(bytes.data(), bytes.size(), request);
}
bool request_ok(const Bytes& bytes) {
  Request ignored;
  return request_ok(bytes, ignored);
}
bool response_ok(const Bytes& bytes, Response& response) {
  return decode_response(bytes.data(), bytes.size(), response);
}
bool response_ok(const Bytes& bytes) {
  Response ignored;
  return response_ok(bytes, ignored);
}

TEST(DeviceProtocolTest, FieldsAreLittleEndianAtFixedOffsets) {
  EXPECT_EQ(packet(encode_control_request(0x00222054, 0x0A0B0C0D)),
            (Bytes{3, kVersion, 0, 0, 0x54, 0x20, 0x22, 0x00, 0x0D, 0x0C, 0x0B, 0x0A}));
  EXPECT_EQ(packet(encode_response(ResponseType::kRead, 0, 0x01020304)),
            (Bytes{0x82, kVersion, 0, 0, 0, 0, 0, 0, 4, 3, 2, 1}));
  std::uint8_t value[4];
  put_u32(value, 80000000);
  EXPECT_EQ(Bytes(value, value + 4), (Bytes{0x00, 0xB4, 0xC4, 0x04}));
  EXPECT_EQ(get_u32(value), 80000000u);
}

TEST(DeviceProtocolTest, RequestsRoundTrip) {
  Request request;
  const Bytes write = packet(encode_write_request(5), 5, 0x11);
  ASSERT_TRUE(request_ok(write, request));
  EXPECT_EQ(request.type, RequestType::kWrite);
  EXPECT_EQ(request.size, 5u);
  EXPECT_EQ(request.data, write.data() + kHeaderSize);

  ASSERT_TRUE(request_ok(packet(encode_read_request(kMaxData)), request));
  EXPECT_EQ(request.type, RequestType::kRead);
  EXPECT_EQ(request.first, kMaxData);

  ASSERT_TRUE(request_ok(packet(encode_control_request(2236504, 4)), request));
  EXPECT_EQ(request.type, RequestType::kControl);
  EXPECT_EQ(request.first, 2236504u);
  EXPECT_EQ(request.second, 4u);
  EXPECT_EQ(request.size, 0u);

  EXPECT_TRUE(request_ok(packet(encode_write_request(0))));
  EXPECT_TRUE(request_ok(packet(encode_write_request(kMaxData), kMaxData)));
}

TEST(DeviceProtocolTest, MalformedRequestsAreRefused) {
  Bytes bad_version = packet(encode_read_request(1));
  bad_version[1] = kVersion + 1;
  Bytes reserved = packet(encode_read_request(1));
  reserved[3] = 1;
  Bytes unknown = packet(encode_read_request(1));
  unknown[0] = 9;
  Bytes response_type = packet(encode_response(ResponseType::kRead, 0, 0));

  EXPECT_FALSE(request_ok(Bytes{}));
  EXPECT_FALSE(request_ok(Bytes(kHeaderSize - 1, 0)));
  EXPECT_FALSE(request_ok(bad_version));
  EXPECT_FALSE(request_ok(reserved));
  EXPECT_FALSE(request_ok(unknown));
  EXPECT_FALSE(request_ok(response_type));
  // A write whose header claims other than the bytes that follow.
  EXPECT_FALSE(request_ok(packet(encode_write_request(5), 4)));
  EXPECT_FALSE(request_ok(packet(encode_write_request(5), 6)));
  EXPECT_FALSE(request_ok(packet(encode_write_request(kMaxData + 1), kMaxData + 1)));
  // Reads ask for 1 to kMaxData bytes and carry nothing.
  EXPECT_FALSE(request_ok(packet(encode_read_request(0))));
  EXPECT_FALSE(request_ok(packet(encode_read_request(kMaxData + 1))));
  EXPECT_FALSE(request_ok(packet(encode_read_request(16), 1)));
  EXPECT_FALSE(request_ok(packet(encode_control_request(1, kMaxControlData + 1))));
  EXPECT_FALSE(request_ok(packet(encode_control_request(1, 0), kMaxControlData + 1)));
  Request ignored;
  EXPECT_FALSE(decode_request(nullptr, 0, ignored));
}

TEST(DeviceProtocolTest, ResponsesRoundTrip) {
  Response response;
  ASSERT_TRUE(response_ok(packet(encode_response(ResponseType::kOpen, 170, 0)), response));
  EXPECT_EQ(response.type, ResponseType::kOpen);
  EXPECT_EQ(response.error, 170u);

  ASSERT_TRUE(response_ok(packet(encode_response(ResponseType::kWrite, 0, 4095)), response));
  EXPECT_EQ(response.count, 4095u);
  EXPECT_EQ(response.size, 0u);

  ASSERT_TRUE(response_ok(packet(encode_response(ResponseType::kRead, 0, 3), 3), response));
  EXPECT_EQ(response.size, 3u);
  ASSERT_TRUE(response_ok(packet(encode_response(ResponseType::kControl, 0, 4), 4), response));
  EXPECT_EQ(response.count, 4u);
  EXPECT_EQ(response_to(RequestType::kControl), ResponseType::kControl);
  EXPECT_EQ(response_to(RequestType::kRead), ResponseType::kRead);
  EXPECT_EQ(response_to(RequestType::kWrite), ResponseType::kWrite);
}

TEST(DeviceProtocolTest, MalformedResponsesAreRefused) {
  // A failure carries neither a count nor data.
  EXPECT_FALSE(response_ok(packet(encode_response(ResponseType::kWrite, 31, 1))));
  EXPECT_FALSE(response_ok(packet(encode_response(ResponseType::kRead, 31, 0), 1)));
  EXPECT_FALSE(response_ok(packet(encode_response(ResponseType::kOpen, 0, 1))));
  EXPECT_FALSE(response_ok(packet(encode_response(ResponseType::kWrite, 0, 1), 1)));
  // Counts that disagree with the data that came.
  EXPECT_FALSE(response_ok(packet(encode_response(ResponseType::kRead, 0, 4), 3)));
  EXPECT_FALSE(response_ok(packet(encode_response(ResponseType::kRead, 0, 2), 3)));
  EXPECT_FALSE(response_ok(packet(encode_response(ResponseType::kControl, 0, 4), 0)));
  EXPECT_FALSE(response_ok(
      packet(encode_response(ResponseType::kControl, 0, kMaxControlData + 1), kMaxControlData + 1)));
  EXPECT_FALSE(response_ok(packet(encode_response(ResponseType::kRead, 0, kMaxData + 1), kMaxData + 1)));
  Bytes request = packet(encode_read_request(1));
  EXPECT_FALSE(response_ok(request));
  EXPECT_FALSE(response_ok(Bytes(kHeaderSize - 1, 0)));
}

}  // namespace
}  // namespace tarnlink::device_protocol
