// velk-emu against a client that does not speak the protocol: every malformed
// packet ends that client's connection without an answer and without reaching
// the instrument, and the emulator goes on serving a well-behaved client.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/driver_contract.h"
#include "platform/posix/device_protocol.h"
#include "platform/posix/posix_platform.h"
#include "support/e2e_harness.h"

namespace tarnlink::posix {
namespace {

namespace protocol = device_protocol;
using e2e::E2eTest;
using Packet = std::vector<std::uint8_t>;

constexpr int kRounds = 300;
constexpr int kWaitMs = 5000;

// A connected socket to the instrument at `path`, or -1.
int connect_to(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The next packet from the service, waiting at most kWaitMs. Empty when the
// service closed the connection; `timed_out` when nothing came.
Packet receive(int fd, bool& timed_out) {
  timed_out = false;
  pollfd entry{fd, POLLIN, 0};
  if (poll(&entry, 1, kWaitMs) <= 0) {
    timed_out = true;
    return {};
  }
  Packet packet(protocol::kMaxPacket);
  const ssize_t got = recv(fd, packet.data(), packet.size(), 0);
  packet.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return packet;
}

// Malformed packets of every kind the protocol rules out, and plain noise.
class Garbage {
 public:
  explicit Garbage(std::uint32_t seed) : random_(seed) {}

  Packet next() {
    switch (pick(0, 9)) {
      case 0: return noise(pick(0, 64));
      case 1: return noise(pick(1, protocol::kHeaderSize - 1));
      case 2: return noise(protocol::kMaxPacket + pick(1, 64));
      case 3: {
        Packet packet = header(1, 0, 0, 0);
        packet[1] = static_cast<std::uint8_t>(pick(2, 255));  // another version
        return packet;
      }
      case 4: {
        Packet packet = header(2, 16, 0, 0);
        packet[2 + pick(0, 1)] = static_cast<std::uint8_t>(pick(1, 255));  // reserved bits
        return packet;
      }
      case 5: return header(static_cast<std::uint8_t>(pick(4, 255)), 0, 0, pick(0, 16));
      case 6: {  // a write whose size disagrees with its payload
        const std::uint32_t payload = pick(0, 64);
        return header(1, payload + pick(1, 100000), 0, payload);
      }
      case 7:  // a read of nothing, of too much, or with a payload
        switch (pick(0, 2)) {
          case 0: return header(2, 0, 0, 0);
          case 1: return header(2, protocol::kMaxData + pick(1, 1000), 0, 0);
          default: return header(2, 16, 0, pick(1, 16));
        }
      case 8:  // a control request beyond its limits
        return pick(0, 1) == 0
                   ? header(3, contract::kIoctlGetTimeout, protocol::kMaxControlData + pick(1, 1000), 0)
                   : header(3, contract::kIoctlSetTimeout, 0, protocol::kMaxControlData + pick(1, 64));
      default: return header(1, 4, pick(1, 0xFFFF), 4);  // a write with `second` set
    }
  }

 private:
  std::uint32_t pick(std::uint32_t low, std::uint32_t high) {
    return std::uniform_int_distribution<std::uint32_t>(low, high)(random_);
  }

  Packet noise(std::size_t size) {
    Packet packet(size);
    for (std::uint8_t& byte : packet) byte = static_cast<std::uint8_t>(pick(0, 255));
    return packet;
  }

  Packet header(std::uint8_t type, std::uint32_t first, std::uint32_t second, std::uint32_t payload) {
    Packet packet = noise(protocol::kHeaderSize + payload);
    packet[0] = type;
    packet[1] = protocol::kVersion;
    packet[2] = 0;
    packet[3] = 0;
    protocol::put_u32(&packet[4], first);
    protocol::put_u32(&packet[8], second);
    return packet;
  }

  std::mt19937 random_;
};

class GarbageClientTest : public E2eTest {};

TEST_F(GarbageClientTest, MalformedRequestsCloseTheConnectionAndTheServiceKeepsServing) {
  e2e::Emulator* emulator = start_emulator({"--device", "dev"});
  ASSERT_NE(emulator, nullptr);
  const std::string path = emulator->device_paths().at(0);

  constexpr std::uint32_t kSeed = 20240611;
  Garbage garbage(kSeed);
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round) + " of seed " + std::to_string(kSeed));
    const int fd = connect_to(path);
    ASSERT_GE(fd, 0) << "connect: " << std::strerror(errno);
    bool timed_out = false;
    const Packet open = receive(fd, timed_out);
    protocol::Response response;
    ASSERT_TRUE(protocol::decode_response(open.data(), open.size(), response));
    ASSERT_EQ(response.type, protocol::ResponseType::kOpen);
    ASSERT_EQ(response.error, 0u) << "the previous garbage client still holds the instrument";

    const Packet packet = garbage.next();
    protocol::Request request;
    ASSERT_FALSE(protocol::decode_request(packet.data(), packet.size(), request));
    ASSERT_EQ(send(fd, packet.data(), packet.size(), MSG_NOSIGNAL), static_cast<ssize_t>(packet.size()))
        << std::strerror(errno);
    const Packet answer = receive(fd, timed_out);
    close(fd);
    ASSERT_FALSE(timed_out) << "the emulator neither answered nor closed";
    ASSERT_TRUE(answer.empty()) << "the emulator answered a malformed request";
  }

  PosixPlatform client;
  const Handle handle = client.open_exclusive(path).handle;
  ASSERT_NE(handle, kInvalidHandle);
  const std::string message = "still here";
  EXPECT_EQ(client.write(handle, reinterpret_cast<const std::uint8_t*>(message.data()),
                         static_cast<std::uint32_t>(message.size())),
            message.size());
  std::uint8_t buffer[contract::kChunkSize];
  const std::optional<std::uint32_t> got = client.read(handle, buffer, sizeof buffer);
  ASSERT_TRUE(got);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer), *got), message);
  EXPECT_TRUE(client.close(handle));

  stop_emulators();
  // Nothing of the garbage reached the instrument.
  EXPECT_EQ(bin_of("dev"), message);
}

}  // namespace
}  // namespace tarnlink::posix
