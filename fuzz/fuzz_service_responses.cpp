// The client's side of the device protocol against a malicious or broken
// service: a service in this process answers the client's requests with
// packets the fuzzer chooses (oversized counts, truncated messages, lengths
// that disagree, wrong types, nothing at all), then hangs up. The client must
// never read or write outside the caller's buffers, never report more bytes
// than were asked for, and leave the caller's timeout as it was when a query
// fails.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/device_protocol.h"
#include "platform/posix/posix_platform.h"
#include "protocol_rules.h"

namespace {

namespace protocol = tarnlink::device_protocol;

using Packet = std::vector<std::uint8_t>;

// One listening socket for the whole run, in a private temporary directory.
struct Listener {
  std::string dir;
  std::string path;
  int fd = -1;
};

Listener& listener() {
  static Listener listener;
  return listener;
}

void remove_listener() {
  Listener& l = listener();
  if (l.fd >= 0) close(l.fd);
  unlink(l.path.c_str());
  rmdir(l.dir.c_str());
}

// A bound on how long the service waits for the client's connection, so that a
// client that never connects cannot hold the run. A client that works connects
// at once.
constexpr int kAcceptWaitMs = 5000;

// Accepts one connection and sends it `packets`, one per request and the first
// unasked, then hangs up; reads and drops whatever the client sends meanwhile,
// so that the client never waits on a full socket.
void serve(int listen_fd, const std::vector<Packet>& packets) {
  pollfd waiting{listen_fd, POLLIN, 0};
  if (poll(&waiting, 1, kAcceptWaitMs) <= 0) return;
  const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  static std::vector<std::uint8_t> sink(protocol::kMaxPacket + 1);
  std::size_t next = 0;
  bool hung_up = false;
  for (;;) {
    if (next == packets.size() && !hung_up) {
      shutdown(fd, SHUT_WR);
      hung_up = true;
    }
    pollfd entry{fd, static_cast<short>(POLLIN | (hung_up ? 0 : POLLOUT)), 0};
    if (poll(&entry, 1, kAcceptWaitMs) <= 0) break;
    if ((entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t got = recv(fd, sink.data(), sink.size(), MSG_DONTWAIT);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) break;
    }
    if (!hung_up && (entry.revents & POLLOUT) != 0) {
      const Packet& packet = packets[next];
      const ssize_t sent = send(fd, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent >= 0) {
        ++next;
      } else if (errno != EAGAIN && errno != EINTR) {
        break;
      }
    }
  }
  close(fd);
}

// A packet from the input: either raw bytes, or a header shaped from fields the
// input chooses and a payload of the length it names, so that the fuzzer gets
// past the header checks often.
Packet make_packet(FuzzedDataProvider& input) {
  if (input.ConsumeBool()) {
    const std::string raw = input.ConsumeRandomLengthString(protocol::kMaxPacket + 16);
    return Packet(raw.begin(), raw.end());
  }
  const auto type = static_cast<std::uint8_t>(0x80 + input.ConsumeIntegralInRange<int>(0, 4));
  const std::uint32_t error = input.ConsumeBool() ? 0 : input.ConsumeIntegral<std::uint32_t>();
  auto payload = input.ConsumeIntegralInRange<std::uint32_t>(0, protocol::kMaxData + 4);
  if (input.ConsumeBool()) payload %= 9;
  const std::uint32_t count = input.ConsumeBool() ? payload : input.ConsumeIntegral<std::uint32_t>();
  Packet packet(protocol::kHeaderSize + payload, 0x5A);
  const protocol::Header header =
      protocol::encode_response(static_cast<protocol::ResponseType>(type), error, count);
  std::memcpy(packet.data(), header.data(), header.size());
  return packet;
}

// The decoder must agree with the protocol's rules on every packet the
// service sends, whether or not the client gets to read it.
void check_decoding(const Packet& packet) {
  tarnlink::fuzz::Fields fields;
  const bool expected = tarnlink::fuzz::valid_response(packet.data(), packet.size(), fields);
  protocol::Response response;
  const bool decoded = protocol::decode_response(packet.data(), packet.size(), response);
  if (decoded != expected) std::abort();
  if (decoded && (static_cast<std::uint8_t>(response.type) != fields.type ||
                  response.error != fields.first || response.count != fields.second ||
                  response.size != fields.payload)) {
    std::abort();
  }
}

// A buffer of exactly `size` bytes on the heap, so that AddressSanitizer sees
// any byte the client stores past it.
struct Exact {
  explicit Exact(std::uint32_t size) : bytes(size) {}
  std::uint8_t* data() { return bytes.empty() ? nullptr : bytes.data(); }
  std::vector<std::uint8_t> bytes;
};

void expect(bool condition) {
  if (!condition) std::abort();
}

// One call on the handle, with arguments from the input; checks what the client
// reports back.
void call(tarnlink::posix::PosixPlatform& client, tarnlink::Handle handle,
          FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: {
      const auto size = input.ConsumeIntegralInRange<std::uint32_t>(0, protocol::kMaxData + 1);
      Exact data(size);
      const std::optional<std::uint32_t> written = client.write(handle, data.data(), size);
      expect(!written || *written <= size);
      break;
    }
    case 1: {
      const auto size = input.ConsumeIntegralInRange<std::uint32_t>(0, protocol::kMaxData + 16);
      Exact buffer(size);
      const std::optional<std::uint32_t> got = client.read(handle, buffer.data(), size);
      expect(!got || *got <= size);
      break;
    }
    case 2:
      client.set_timeout(handle, input.ConsumeIntegral<std::int32_t>());
      break;
    default: {
      const auto before = input.ConsumeIntegral<std::int32_t>();
      std::int32_t timeout = before;
      expect(client.get_timeout(handle, timeout) || timeout == before);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Listener& l = listener();
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tarnlink-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  l.dir = pattern;
  l.path = l.dir + "/velk";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (l.path.size() >= sizeof address.sun_path) std::abort();
  std::memcpy(address.sun_path, l.path.c_str(), l.path.size() + 1);
  l.fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (l.fd < 0 || bind(l.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(l.fd, 4) != 0) {
    std::abort();
  }
  std::atexit(remove_listener);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const int calls = input.ConsumeIntegralInRange<int>(0, 6);
  const std::vector<std::uint8_t> script = input.ConsumeBytes<std::uint8_t>(
      input.ConsumeIntegralInRange<std::size_t>(0, 64));
  std::vector<Packet> packets;
  while (input.remaining_bytes() != 0 && packets.size() < 12) {
    packets.push_back(make_packet(input));
    check_decoding(packets.back());
  }

  std::thread service(serve, listener().fd, std::cref(packets));
  {
    tarnlink::posix::PosixPlatform client;
    const tarnlink::Handle handle = client.open_exclusive(listener().path.c_str()).handle;
    if (handle != tarnlink::kInvalidHandle) {
      FuzzedDataProvider calls_input(script.data(), script.size());
      for (int i = 0; i < calls; ++i) call(client, handle, calls_input);
      expect(client.close(handle));
    }
  }
  service.join();
  return 0;
}
