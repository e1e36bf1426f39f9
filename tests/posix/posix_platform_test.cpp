// The POSIX backend against real velk-emu processes: listings of the device
// directory, exclusive opens, and the calls the device code makes on a handle.
#include "platform/posix/posix_platform.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "base/driver_contract.h"
#include "platform/posix/device_directory.h"
#include "platform/posix/device_protocol.h"
#include "platform/posix/win32_errors.h"
#include "support/e2e_harness.h"

namespace tarnlink::posix {
namespace {

using e2e::E2eTest;
using e2e::Emulator;
using testing::concat;
using testing::pattern_bytes;

constexpr std::int32_t kShortTimeout = 100 * contract::kUnitsPerMillisecond;

class PosixPlatformTest : public E2eTest {
 protected:
  void SetUp() override { setenv(kDeviceDirEnv, device_dir().c_str(), 1); }

  // The device paths of one listing, which must not fail.
  std::vector<std::string> listed() {
    const ListResult result = platform_.interface_paths();
    EXPECT_FALSE(result.failed);
    return result.paths;
  }

  Handle open(const std::string& name) {
    return platform_.open_exclusive(device_path(name)).handle;
  }

  std::optional<std::uint32_t> write(Handle handle, const std::string& bytes) {
    return platform_.write(handle, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                           static_cast<std::uint32_t>(bytes.size()));
  }

  // One read of up to 4096 bytes; false when the call fails.
  bool read(Handle handle, std::string& bytes) {
    std::uint8_t buffer[contract::kChunkSize];
    const std::optional<std::uint32_t> got = platform_.read(handle, buffer, sizeof buffer);
    if (!got) return false;
    bytes.assign(reinterpret_cast<const char*>(buffer), *got);
    return true;
  }

  // The timeout the instrument reports, or -1 when the query fails or is empty.
  std::int32_t get_timeout(Handle handle) {
    std::int32_t value = -1;
    return platform_.get_timeout(handle, value) ? value : -1;
  }

  PosixPlatform platform_;
};

TEST_F(PosixPlatformTest, MissingDirectoryListsNothing) {
  EXPECT_TRUE(listed().empty());
}

TEST_F(PosixPlatformTest, ListsInOrderOfAppearanceAcrossEmulators) {
  ASSERT_NE(start_emulator({"--device", "z", "--device", "b"}), nullptr);
  ASSERT_NE(start_emulator({"--device", "a"}), nullptr);
  EXPECT_EQ(listed(),
            (std::vector<std::string>{device_path("z"), device_path("b"), device_path("a")}));
}

TEST_F(PosixPlatformTest, ListingsLeaveNoDescriptorOpen) {
  ASSERT_NE(start_emulator({"--device", "dev"}), nullptr);
  const auto open_descriptors = [] {
    const std::filesystem::directory_iterator fds("/proc/self/fd");
    return std::distance(begin(fds), end(fds));
  };
  const auto before = open_descriptors();
  for (int i = 0; i < 50; ++i) EXPECT_EQ(listed(), (std::vector<std::string>{device_path("dev")}));
  EXPECT_EQ(open_descriptors(), before);
}

TEST_F(PosixPlatformTest, StaleSocketsAndSymlinksAreNotListed) {
  ASSERT_NE(start_emulator({"--device", "live"}), nullptr);
  Emulator* gone = start_emulator({"--device", "stale"});
  ASSERT_NE(gone, nullptr);
  gone->kill_hard();
  ASSERT_EQ(symlink(device_path("live").c_str(), device_path("link").c_str()), 0);
  ASSERT_EQ(symlink(device_path("live.lock").c_str(), device_path("link.lock").c_str()), 0);
  EXPECT_EQ(listed(), (std::vector<std::string>{device_path("live")}));
  EXPECT_EQ(open("stale"), kInvalidHandle);
  EXPECT_EQ(open("link"), kInvalidHandle);
}

TEST_F(PosixPlatformTest, SocketOfAnotherUserIsNotListed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a socket away";
  ASSERT_NE(start_emulator({"--device", "mine", "--device", "theirs"}), nullptr);
  ASSERT_EQ(lchown(device_path("theirs").c_str(), 65534, 65534), 0);
  EXPECT_EQ(listed(), (std::vector<std::string>{device_path("mine")}));
  EXPECT_EQ(open("theirs"), kInvalidHandle);
}

TEST_F(PosixPlatformTest, InsecureDirectoryFailsTheListing) {
  ASSERT_NE(start_emulator({"--device", "dev"}), nullptr);
  ASSERT_EQ(chmod(device_dir().c_str(), 0720), 0);
  const ListResult insecure = platform_.interface_paths();
  EXPECT_TRUE(insecure.failed);
  EXPECT_TRUE(insecure.paths.empty());
  ASSERT_EQ(chmod(device_dir().c_str(), 0700), 0);
  EXPECT_EQ(listed().size(), 1u);
}

TEST_F(PosixPlatformTest, OpenIsExclusiveUntilClosed) {
  ASSERT_NE(start_emulator({"--device", "dev"}), nullptr);
  const Handle first = open("dev");
  ASSERT_NE(first, kInvalidHandle);
  PosixPlatform other_process;
  EXPECT_EQ(other_process.open_exclusive(device_path("dev")).handle, kInvalidHandle);
  EXPECT_TRUE(platform_.close(first));
  EXPECT_FALSE(platform_.close(first));
  EXPECT_NE(other_process.open_exclusive(device_path("dev")).handle, kInvalidHandle);
  stop_emulators();
  EXPECT_EQ(log_of("dev"), (std::vector<std::string>{"open", "close", "open"}));
}

TEST_F(PosixPlatformTest, BusyInstrumentRefusesEveryOpen) {
  ASSERT_NE(start_emulator({"--device", "dev", "--fault", "busy"}), nullptr);
  EXPECT_EQ(open("dev"), kInvalidHandle);
  EXPECT_EQ(open("dev"), kInvalidHandle);
  EXPECT_EQ(open("nothing"), kInvalidHandle);
}

TEST_F(PosixPlatformTest, LongDevicePathsWork) {
  std::string dir = root();
  while (dir.size() < 150) dir += "/deeper-directory";
  setenv(kDeviceDirEnv, dir.c_str(), 1);
  ASSERT_EQ(std::system(("mkdir -p '" + dir + "'").c_str()), 0);
  Emulator emulator({"--dir", dir, "--device", "velk-usb-with-a-long-name"});
  ASSERT_TRUE(emulator.ready()) << emulator.failure();
  const std::vector<std::string> paths = listed();
  ASSERT_EQ(paths, (std::vector<std::string>{dir + "/velk-usb-with-a-long-name"}));
  const Handle handle = platform_.open_exclusive(paths[0]).handle;
  ASSERT_NE(handle, kInvalidHandle);
  EXPECT_EQ(get_timeout(handle), contract::kHandshakeTimeout);
}

TEST_F(PosixPlatformTest, EchoComesBackInChunksThenAReadTimesOutEmpty) {
  ASSERT_NE(start_emulator({"--device", "dev"}), nullptr);
  const Handle handle = open("dev");
  ASSERT_NE(handle, kInvalidHandle);
  ASSERT_TRUE(platform_.set_timeout(handle, kShortTimeout));
  const std::string message = pattern_bytes(5000);
  EXPECT_EQ(write(handle, message), 5000u);
  std::string first;
  std::string second;
  std::string third = "not read";
  ASSERT_TRUE(read(handle, first));
  ASSERT_TRUE(read(handle, second));
  ASSERT_TRUE(read(handle, third));
  EXPECT_EQ(first + second, message);
  EXPECT_EQ(first.size(), 4096u);
  EXPECT_TRUE(third.empty());
  stop_emulators();
  EXPECT_EQ(log_of("dev"), (std::vector<std::string>{"open", "set-timeout 1000000", "write 5000",
                                                      "read -> 4096", "read -> 904",
                                                      "read -> 0"}));
  EXPECT_EQ(bin_of("dev"), message);
}

TEST_F(PosixPlatformTest, ReadWaitsForALateAnswerWithinTheTimeout) {
  ASSERT_NE(start_emulator({"--device", "dev", "--answer-delay", "300"}), nullptr);
  const Handle handle = open("dev");
  ASSERT_NE(handle, kInvalidHandle);
  ASSERT_TRUE(write(handle, "ping"));
  std::string answer;
  ASSERT_TRUE(read(handle, answer));
  EXPECT_EQ(answer, "ping");
}

TEST_F(PosixPlatformTest, AnswerLaterThanTheTimeoutGivesAnEmptyReadFirst) {
  ASSERT_NE(start_emulator({"--device", "dev", "--answer-delay", "400", "--answer", "pattern:10"}),
            nullptr);
  const Handle handle = open("dev");
  ASSERT_NE(handle, kInvalidHandle);
  ASSERT_TRUE(platform_.set_timeout(handle, 1));
  ASSERT_TRUE(write(handle, "go"));
  std::string answer = "not read";
  ASSERT_TRUE(read(handle, answer));
  EXPECT_TRUE(answer.empty());
  ASSERT_TRUE(platform_.set_timeout(handle, contract::kHandshakeTimeout));
  ASSERT_TRUE(read(handle, answer));
  EXPECT_EQ(answer, pattern_bytes(10));
}

TEST_F(PosixPlatformTest, FileAnswerComesOncePerOpen) {
  const std::string answer = input_file("answer.bin", "the answer");
  ASSERT_NE(start_emulator({"--device", "dev", "--answer", "file:" + answer}), nullptr);
  for (int open_count = 0; open_count < 2; ++open_count) {
    const Handle handle = open("dev");
    ASSERT_NE(handle, kInvalidHandle);
    ASSERT_TRUE(platform_.set_timeout(handle, kShortTimeout));
    ASSERT_TRUE(write(handle, "one"));
    ASSERT_TRUE(write(handle, "two"));
    std::string got;
    ASSERT_TRUE(read(handle, got));
    EXPECT_EQ(got, "the answer");
    ASSERT_TRUE(read(handle, got));
    EXPECT_TRUE(got.empty());
    EXPECT_TRUE(platform_.close(handle));
  }
}

TEST_F(PosixPlatformTest, TimeoutReadsBackWhatWasSetAndStartsOverAtEachOpen) {
  ASSERT_NE(start_emulator({"--device", "dev"}), nullptr);
  Handle handle = open("dev");
  ASSERT_NE(handle, kInvalidHandle);
  EXPECT_EQ(get_timeout(handle), contract::kHandshakeTimeout);
  EXPECT_TRUE(platform_.set_timeout(handle, 2147483647));
  EXPECT_EQ(get_timeout(handle), 2147483647);
  EXPECT_FALSE(platform_.set_timeout(handle, -1));
  EXPECT_EQ(get_timeout(handle), 2147483647) << "a refused value changes nothing";
  EXPECT_TRUE(platform_.close(handle));
  handle = open("dev");
  ASSERT_NE(handle, kInvalidHandle);
  EXPECT_EQ(get_timeout(handle), contract::kHandshakeTimeout);
}

TEST_F(PosixPlatformTest, ReadBackFaults) {
  ASSERT_NE(start_emulator({"--device", "a", "--fault", "readback:-5"}), nullptr);
  ASSERT_NE(start_emulator({"--device", "b", "--fault", "empty-readback"}), nullptr);
  const Handle a = open("a");
  const Handle b = open("b");
  ASSERT_NE(a, kInvalidHandle);
  ASSERT_NE(b, kInvalidHandle);
  EXPECT_TRUE(platform_.set_timeout(a, 7));
  EXPECT_EQ(get_timeout(a), -5);
  std::int32_t value = 42;
  EXPECT_FALSE(platform_.get_timeout(b, value)) << "an empty answer";
  EXPECT_EQ(value, 42);
  stop_emulators();
  EXPECT_EQ(log_of("a"), (std::vector<std::string>{"open", "set-timeout 7", "get-timeout -> -5"}));
  EXPECT_EQ(log_of("b"), (std::vector<std::string>{"open", "get-timeout -> empty"}));
}

TEST_F(PosixPlatformTest, WriteAndReadFaultsCountFromEachOpen) {
  ASSERT_NE(start_emulator({"--device", "dev", "--fault", "short-write:2", "--fault",
                            "write-error:3", "--fault", "read-error:1"}),
            nullptr);
  for (int open_count = 0; open_count < 2; ++open_count) {
    const Handle handle = open("dev");
    ASSERT_NE(handle, kInvalidHandle);
    ASSERT_TRUE(platform_.set_timeout(handle, kShortTimeout));
    EXPECT_EQ(write(handle, "abcd"), 4u);
    EXPECT_EQ(write(handle, "efgh"), 3u);
    EXPECT_EQ(write(handle, "ijkl"), std::nullopt);
    std::string got;
    EXPECT_FALSE(read(handle, got));
    // The handle still works after the instrument reported a failure.
    EXPECT_TRUE(read(handle, got));
    EXPECT_EQ(got, "abcdefg");
    EXPECT_TRUE(platform_.close(handle));
  }
  stop_emulators();
  const std::vector<std::string> one_open = {"open",       "set-timeout 1000000", "write 4",
                                             "write 4",    "write 4",             "read -> error",
                                             "read -> 7", "close"};
  EXPECT_EQ(log_of("dev"), concat(one_open, one_open));
  EXPECT_EQ(bin_of("dev"), "abcdefgabcdefg");
}

TEST_F(PosixPlatformTest, DisconnectBreaksTheHandleAndUnlistsTheInstrument) {
  ASSERT_NE(start_emulator({"--device", "stays"}), nullptr);
  ASSERT_NE(start_emulator({"--device", "goes", "--fault", "disconnect:2"}), nullptr);
  const Handle handle = open("goes");
  ASSERT_NE(handle, kInvalidHandle);
  EXPECT_EQ(write(handle, "one"), 3u);
  EXPECT_EQ(write(handle, "two"), 3u);
  EXPECT_EQ(write(handle, "three"), std::nullopt);
  std::string got;
  EXPECT_FALSE(read(handle, got));
  EXPECT_EQ(get_timeout(handle), -1);
  EXPECT_EQ(listed(), (std::vector<std::string>{device_path("stays")}));
  EXPECT_TRUE(platform_.close(handle));
}

TEST_F(PosixPlatformTest, EveryCallFailsOnceTheServiceIsGone) {
  Emulator* emulator = start_emulator({"--device", "dev"});
  ASSERT_NE(emulator, nullptr);
  const Handle handle = open("dev");
  ASSERT_NE(handle, kInvalidHandle);
  emulator->kill_hard();
  EXPECT_EQ(write(handle, "lost"), std::nullopt);
  std::string got;
  EXPECT_FALSE(read(handle, got));
  EXPECT_FALSE(platform_.set_timeout(handle, 1));
  EXPECT_EQ(get_timeout(handle), -1);
}

TEST_F(PosixPlatformTest, AServiceThatStopsAnsweringTimesOutTheHandle) {
  Emulator* emulator = start_emulator({"--device", "dev"});
  ASSERT_NE(emulator, nullptr);
  const Handle handle = open("dev");
  ASSERT_NE(handle, kInvalidHandle);
  ASSERT_TRUE(platform_.set_timeout(handle, 0));
  emulator->pause();
  std::string got;
  EXPECT_FALSE(read(handle, got));
  emulator->resume();
  // The answer that comes late must not be taken for the next call's.
  EXPECT_EQ(get_timeout(handle), -1);
  EXPECT_FALSE(read(handle, got));
}

TEST_F(PosixPlatformTest, UnknownHandlesAndOversizedRequestsAreRefused) {
  std::uint8_t byte = 0;
  std::int32_t timeout = 7;
  EXPECT_EQ(platform_.write(12345, &byte, 1), std::nullopt);
  EXPECT_EQ(platform_.read(12345, &byte, 1), std::nullopt);
  EXPECT_FALSE(platform_.set_timeout(12345, 1));
  EXPECT_FALSE(platform_.get_timeout(12345, timeout));
  EXPECT_EQ(timeout, 7);
  EXPECT_FALSE(platform_.close(12345));
  ASSERT_NE(start_emulator({"--device", "dev"}), nullptr);
  const Handle handle = open("dev");
  ASSERT_NE(handle, kInvalidHandle);
  EXPECT_EQ(write(handle, std::string(70000, 'x')), std::nullopt);
  EXPECT_EQ(write(handle, std::string(65536, 'y')), 65536u);
}

// Requests this client never makes, sent by hand: the service refuses each with
// its error and keeps the connection.
TEST_F(PosixPlatformTest, ServiceRefusesControlRequestsItDoesNotServe) {
  namespace protocol = device_protocol;
  ASSERT_NE(start_emulator({"--device", "dev"}), nullptr);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(device_path("dev").size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, device_path("dev").c_str(), device_path("dev").size() + 1);
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  std::uint8_t packet[protocol::kMaxPacket];
  const auto answer = [&] {
    protocol::Response response;
    const ssize_t got = recv(fd, packet, sizeof packet, 0);
    EXPECT_TRUE(got > 0 && protocol::decode_response(packet, static_cast<std::size_t>(got), response));
    return response.error;
  };
  const auto ask = [&](std::uint32_t code, std::uint32_t capacity, std::uint32_t input) {
    const protocol::Header header = protocol::encode_control_request(code, capacity);
    std::memcpy(packet, header.data(), header.size());
    protocol::put_u32(packet + header.size(), input);
    const std::size_t size = header.size() + (code == contract::kIoctlSetTimeout ? 4 : 0);
    EXPECT_EQ(send(fd, packet, size, MSG_NOSIGNAL), static_cast<ssize_t>(size));
    return answer();
  };
  EXPECT_EQ(answer(), 0u) << "the open";
  EXPECT_EQ(ask(contract::kIoctlSetTimeout, 0, 0xFFFFFFFF), kErrorInvalidParameter);
  EXPECT_EQ(ask(contract::kIoctlGetTimeout, 2, 0), kErrorInsufficientBuffer);
  EXPECT_EQ(ask(0x220000, 0, 0), kErrorInvalidFunction);
  EXPECT_EQ(ask(contract::kIoctlGetTimeout, 4, 0), 0u);
  ::close(fd);
}

TEST_F(PosixPlatformTest, RateLimitedLinkDeliversEveryByte) {
  ASSERT_NE(start_emulator({"--device", "dev", "--rate", "1000000"}), nullptr);
  const Handle handle = open("dev");
  ASSERT_NE(handle, kInvalidHandle);
  const std::string message = pattern_bytes(20000);
  ASSERT_EQ(write(handle, message), message.size());
  std::string received;
  for (std::string chunk; received.size() < message.size() && read(handle, chunk) && !chunk.empty();) {
    received += chunk;
  }
  EXPECT_EQ(received, message);
}

}  // namespace
}  // namespace tarnlink::posix
