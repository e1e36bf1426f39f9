// The POSIX backend against real velk-emu processes: enumeration of the device
// directory, exclusive opens, and the calls the device code makes on a handle.
#include "platform/posix/posix_platform.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/driver_contract.h"
#include "harness.h"
#include "platform/posix/device_directory.h"
#include "platform/posix/win32_errors.h"

namespace tarnlink::posix {
namespace {

using e2e::E2eTest;
using e2e::Emulator;

constexpr std::int32_t kShortTimeout = 100 * contract::kUnitsPerMillisecond;

std::string pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i % 251);
  return bytes;
}

class PosixPlatformTest : public E2eTest {
 protected:
  void SetUp() override { setenv(kDeviceDirEnv, device_dir().c_str(), 1); }

  // The device paths of one class_devices() snapshot, through the same two-call
  // detail query the device code makes.
  std::vector<std::string> listed() {
    std::vector<std::string> paths;
    const InfoSet set = platform_.class_devices();
    EXPECT_NE(set, kInvalidInfoSet) << "error " << platform_.last_error();
    if (set == kInvalidInfoSet) return paths;
    InterfaceData data{};
    for (std::uint32_t member = 0; platform_.enum_interface(set, member, data); ++member) {
      std::uint32_t required = 0;
      EXPECT_FALSE(platform_.interface_detail(set, data, nullptr, 0, &required));
      std::vector<char> path(required);
      EXPECT_TRUE(platform_.interface_detail(set, data, path.data(), required, nullptr));
      paths.emplace_back(path.data());
    }
    EXPECT_EQ(platform_.last_error(), contract::kErrorNoMoreItems);
    EXPECT_TRUE(platform_.destroy_list(set));
    return paths;
  }

  std::string path(const std::string& name) const { return device_dir() + "/" + name; }

  Handle open(const std::string& name) { return platform_.open_exclusive(path(name).c_str()); }

  bool write(Handle handle, const std::string& bytes, std::uint32_t* written) {
    return platform_.write(handle, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                           static_cast<std::uint32_t>(bytes.size()), written);
  }

  // One read of up to 4096 bytes; false when the call fails.
  bool read(Handle handle, std::string& bytes) {
    std::uint8_t buffer[contract::kChunkSize];
    std::uint32_t got = 0;
    if (!platform_.read(handle, buffer, sizeof buffer, &got)) return false;
    bytes.assign(reinterpret_cast<const char*>(buffer), got);
    return true;
  }

  bool set_timeout(Handle handle, std::int32_t value) {
    std::uint32_t returned = 99;
    return platform_.control(handle, contract::kIoctlSetTimeout, &value, 4, nullptr, 0, &returned) &&
           returned == 0;
  }

  // The timeout the instrument reports, or -1 when the query fails or is empty.
  std::int32_t get_timeout(Handle handle) {
    std::int32_t value = -1;
    std::uint32_t returned = 0;
    if (!platform_.control(handle, contract::kIoctlGetTimeout, nullptr, 0, &value, 4, &returned) ||
        returned != 4) {
      return -1;
    }
    return value;
  }

  PosixPlatform platform_;
};

TEST_F(PosixPlatformTest, MissingDirectoryIsAnEmptyClass) {
  const InfoSet set = platform_.class_devices();
  ASSERT_NE(set, kInvalidInfoSet);
  InterfaceData data{};
  EXPECT_FALSE(platform_.enum_interface(set, 0, data));
  EXPECT_EQ(platform_.last_error(), contract::kErrorNoMoreItems);
  EXPECT_TRUE(platform_.destroy_list(set));
  EXPECT_FALSE(platform_.destroy_list(set));
  EXPECT_EQ(platform_.last_error(), kErrorInvalidHandle);
}

TEST_F(PosixPlatformTest, ListsInOrderOfAppearanceAcrossEmulators) {
  ASSERT_NE(start_emulator({"--device", "z", "--device", "b"}), nullptr);
  ASSERT_NE(start_emulator({"--device", "a"}), nullptr);
  EXPECT_EQ(listed(), (std::vector<std::string>{path("z"), path("b"), path("a")}));
}

TEST_F(PosixPlatformTest, DetailRefusesTooSmallBuffersAndForeignData) {
  ASSERT_NE(start_emulator({"--device", "dev"}), nullptr);
  const InfoSet set = platform_.class_devices();
  ASSERT_NE(set, kInvalidInfoSet);
  InterfaceData data{};
  ASSERT_TRUE(platform_.enum_interface(set, 0, data));
  const std::string expected = path("dev");
  std::vector<char> buffer(expected.size() + 1, 'x');
  std::uint32_t required = 0;
  EXPECT_FALSE(platform_.interface_detail(set, data, buffer.data(),
                                          static_cast<std::uint32_t>(expected.size()), &required));
  EXPECT_EQ(platform_.last_error(), kErrorInsufficientBuffer);
  EXPECT_EQ(required, expected.size() + 1);
  const InfoSet other = platform_.class_devices();
  EXPECT_FALSE(platform_.interface_detail(other, data, buffer.data(), required, nullptr));
  EXPECT_TRUE(platform_.destroy_list(other));
  EXPECT_TRUE(platform_.destroy_list(set));
  EXPECT_FALSE(platform_.enum_interface(set, 0, data));
  EXPECT_EQ(platform_.last_error(), kErrorInvalidHandle);
}

TEST_F(PosixPlatformTest, StaleSocketsAndSymlinksAreNotListed) {
  ASSERT_NE(start_emulator({"--device", "live"}), nullptr);
  Emulator* gone = start_emulator({"--device", "stale"});
  ASSERT_NE(gone, nullptr);
  gone->kill_hard();
  ASSERT_EQ(symlink(path("live").c_str(), path("link").c_str()), 0);
  ASSERT_EQ(symlink(path("live.lock").c_str(), path("link.lock").c_str()), 0);
  EXPECT_EQ(listed(), (std::vector<std::string>{path("live")}));
  EXPECT_EQ(open("stale"), kInvalidHandle);
  EXPECT_EQ(platform_.last_error(), kErrorFileNotFound);
  EXPECT_EQ(open("link"), kInvalidHandle);
}

TEST_F(PosixPlatformTest, SocketOfAnotherUserIsNotListed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a socket away";
  ASSERT_NE(start_emulator({"--device", "mine", "--device", "theirs"}), nullptr);
  ASSERT_EQ(lchown(path("theirs").c_str(), 65534, 65534), 0);
  EXPECT_EQ(listed(), (std::vector<std::string>{path("mine")}));
  EXPECT_EQ(open("theirs"), kInvalidHandle);
  EXPECT_EQ(platform_.last_error(), kErrorAccessDenied);
}

TEST_F(PosixPlatformTest, InsecureDirectoryFailsTheClassQuery) {
  ASSERT_NE(start_emulator({"--device", "dev"}), nullptr);
  ASSERT_EQ(chmod(device_dir().c_str(), 0720), 0);
  EXPECT_EQ(platform_.class_devices(), kInvalidInfoSet);
  EXPECT_EQ(platform_.last_error(), kErrorAccessDenied);
  ASSERT_EQ(chmod(device_dir().c_str(), 0700), 0);
  EXPECT_EQ(listed().size(), 1u);
}

TEST_F(PosixPlatformTest, OpenIsExclusiveUntilClosed) {
  ASSERT_NE(start_emulator({"--device", "dev"}), nullptr);
  const Handle first = open("dev");
  ASSERT_NE(first, kInvalidHandle);
  EXPECT_EQ(platform_.last_error(), 0u);
  PosixPlatform other_process;
  EXPECT_EQ(other_process.open_exclusive(path("dev").c_str()), kInvalidHandle);
  EXPECT_EQ(other_process.last_error(), kErrorSharingViolation);
  EXPECT_TRUE(platform_.close(first));
  EXPECT_FALSE(platform_.close(first));
  const Handle again = other_process.open_exclusive(path("dev").c_str());
  EXPECT_NE(again, kInvalidHandle);
  EXPECT_EQ(other_process.last_error(), 0u);
  stop_emulators();
  EXPECT_EQ(log_of("dev"), (std::vector<std::string>{"open", "close", "open"}));
}

TEST_F(PosixPlatformTest, BusyInstrumentRefusesEveryOpen) {
  ASSERT_NE(start_emulator({"--device", "dev", "--fault", "busy"}), nullptr);
  EXPECT_EQ(open("dev"), kInvalidHandle);
  EXPECT_EQ(platform_.last_error(), kErrorBusy);
  EXPECT_EQ(open("nothing"), kInvalidHandle);
  EXPECT_EQ(platform_.last_error(), kErrorFileNotFound);
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
  const Handle handle = platform_.open_exclusive(paths[0].c_str());
  ASSERT_NE(handle, kInvalidHandle) << platform_.last_error();
  EXPECT_EQ(get_timeout(handle), contract::kHandshakeTimeout);
}

TEST_F(PosixPlatformTest, EchoComesBackInChunksThenAReadTimesOutEmpty) {
  ASSERT_NE(start_emulator({"--device", "dev"}), nullptr);
  const Handle handle = open("dev");
  ASSERT_NE(handle, kInvalidHandle);
  ASSERT_TRUE(set_timeout(handle, kShortTimeout));
  const std::string message = pattern(5000);
  std::uint32_t written = 0;
  ASSERT_TRUE(write(handle, message, &written));
  EXPECT_EQ(written, 5000u);
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
  std::uint32_t written = 0;
  ASSERT_TRUE(write(handle, "ping", &written));
  std::string answer;
  ASSERT_TRUE(read(handle, answer));
  EXPECT_EQ(answer, "ping");
}

TEST_F(PosixPlatformTest, AnswerLaterThanTheTimeoutGivesAnEmptyReadFirst) {
  ASSERT_NE(start_emulator({"--device", "dev", "--answer-delay", "400", "--answer", "pattern:10"}),
            nullptr);
  const Handle handle = open("dev");
  ASSERT_NE(handle, kInvalidHandle);
  ASSERT_TRUE(set_timeout(handle, 1));
  std::uint32_t written = 0;
  ASSERT_TRUE(write(handle, "go", &written));
  std::string answer = "not read";
  ASSERT_TRUE(read(handle, answer));
  EXPECT_TRUE(answer.empty());
  ASSERT_TRUE(set_timeout(handle, contract::kHandshakeTimeout));
  ASSERT_TRUE(read(handle, answer));
  EXPECT_EQ(answer, pattern(10));
}

TEST_F(PosixPlatformTest, FileAnswerComesOncePerOpen) {
  const std::string answer = input_file("answer.bin", "the answer");
  ASSERT_NE(start_emulator({"--device", "dev", "--answer", "file:" + answer}), nullptr);
  for (int open_count = 0; open_count < 2; ++open_count) {
    const Handle handle = open("dev");
    ASSERT_NE(handle, kInvalidHandle);
    ASSERT_TRUE(set_timeout(handle, kShortTimeout));
    std::uint32_t written = 0;
    ASSERT_TRUE(write(handle, "one", &written));
    ASSERT_TRUE(write(handle, "two", &written));
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
  EXPECT_TRUE(set_timeout(handle, 2147483647));
  EXPECT_EQ(get_timeout(handle), 2147483647);
  std::int32_t negative = -1;
  EXPECT_FALSE(platform_.control(handle, contract::kIoctlSetTimeout, &negative, 4, nullptr, 0, nullptr));
  EXPECT_EQ(platform_.last_error(), kErrorInvalidParameter);
  std::int16_t too_small = 0;
  EXPECT_FALSE(platform_.control(handle, contract::kIoctlGetTimeout, nullptr, 0, &too_small, 2, nullptr));
  EXPECT_EQ(platform_.last_error(), kErrorInsufficientBuffer);
  EXPECT_FALSE(platform_.control(handle, 0x220000, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_EQ(platform_.last_error(), kErrorInvalidFunction);
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
  EXPECT_TRUE(set_timeout(a, 7));
  EXPECT_EQ(get_timeout(a), -5);
  std::int32_t value = 42;
  std::uint32_t returned = 99;
  EXPECT_TRUE(platform_.control(b, contract::kIoctlGetTimeout, nullptr, 0, &value, 4, &returned));
  EXPECT_EQ(returned, 0u);
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
    ASSERT_TRUE(set_timeout(handle, kShortTimeout));
    std::uint32_t written = 0;
    EXPECT_TRUE(write(handle, "abcd", &written));
    EXPECT_EQ(written, 4u);
    EXPECT_TRUE(write(handle, "efgh", &written));
    EXPECT_EQ(written, 3u);
    EXPECT_FALSE(write(handle, "ijkl", &written));
    EXPECT_EQ(platform_.last_error(), kErrorGenFailure);
    std::string got;
    EXPECT_FALSE(read(handle, got));
    EXPECT_EQ(platform_.last_error(), kErrorGenFailure);
    // The handle still works after the instrument reported a failure.
    EXPECT_TRUE(read(handle, got));
    EXPECT_EQ(got, "abcdefg");
    EXPECT_TRUE(platform_.close(handle));
  }
  stop_emulators();
  const std::vector<std::string> one_open = {"open",       "set-timeout 1000000", "write 4",
                                             "write 4",    "write 4",             "read -> error",
                                             "read -> 7", "close"};
  std::vector<std::string> both = one_open;
  both.insert(both.end(), one_open.begin(), one_open.end());
  EXPECT_EQ(log_of("dev"), both);
  EXPECT_EQ(bin_of("dev"), "abcdefgabcdefg");
}

TEST_F(PosixPlatformTest, DisconnectBreaksTheHandleAndUnlistsTheInstrument) {
  ASSERT_NE(start_emulator({"--device", "stays"}), nullptr);
  ASSERT_NE(start_emulator({"--device", "goes", "--fault", "disconnect:2"}), nullptr);
  const Handle handle = open("goes");
  ASSERT_NE(handle, kInvalidHandle);
  std::uint32_t written = 0;
  EXPECT_TRUE(write(handle, "one", &written));
  EXPECT_TRUE(write(handle, "two", &written));
  EXPECT_EQ(written, 3u);
  EXPECT_FALSE(write(handle, "three", &written));
  EXPECT_EQ(platform_.last_error(), kErrorGenFailure);
  std::string got;
  EXPECT_FALSE(read(handle, got));
  EXPECT_EQ(get_timeout(handle), -1);
  EXPECT_EQ(listed(), (std::vector<std::string>{path("stays")}));
  EXPECT_TRUE(platform_.close(handle));
}

TEST_F(PosixPlatformTest, EveryCallFailsOnceTheServiceIsGone) {
  Emulator* emulator = start_emulator({"--device", "dev"});
  ASSERT_NE(emulator, nullptr);
  const Handle handle = open("dev");
  ASSERT_NE(handle, kInvalidHandle);
  emulator->kill_hard();
  std::uint32_t written = 0;
  EXPECT_FALSE(write(handle, "lost", &written));
  std::string got;
  EXPECT_FALSE(read(handle, got));
  EXPECT_FALSE(set_timeout(handle, 1));
  EXPECT_EQ(platform_.last_error(), kErrorGenFailure);
}

TEST_F(PosixPlatformTest, AServiceThatStopsAnsweringTimesOutTheHandle) {
  Emulator* emulator = start_emulator({"--device", "dev"});
  ASSERT_NE(emulator, nullptr);
  const Handle handle = open("dev");
  ASSERT_NE(handle, kInvalidHandle);
  ASSERT_TRUE(set_timeout(handle, 0));
  emulator->pause();
  std::string got;
  EXPECT_FALSE(read(handle, got));
  EXPECT_EQ(platform_.last_error(), kErrorTimeout);
  emulator->resume();
  // The answer that comes late must not be taken for the next call's.
  EXPECT_EQ(get_timeout(handle), -1);
  EXPECT_EQ(platform_.last_error(), kErrorGenFailure);
}

TEST_F(PosixPlatformTest, UnknownHandlesAndOversizedRequestsAreRefused) {
  std::uint32_t count = 0;
  std::uint8_t byte = 0;
  EXPECT_FALSE(platform_.write(12345, &byte, 1, &count));
  EXPECT_EQ(platform_.last_error(), kErrorInvalidHandle);
  EXPECT_FALSE(platform_.read(12345, &byte, 1, &count));
  EXPECT_FALSE(platform_.close(12345));
  EXPECT_EQ(platform_.last_error(), kErrorInvalidHandle);
  ASSERT_NE(start_emulator({"--device", "dev"}), nullptr);
  const Handle handle = open("dev");
  ASSERT_NE(handle, kInvalidHandle);
  const std::string huge(70000, 'x');
  EXPECT_FALSE(write(handle, huge, &count));
  EXPECT_EQ(platform_.last_error(), kErrorInvalidParameter);
  EXPECT_TRUE(write(handle, std::string(65536, 'y'), &count));
  EXPECT_EQ(count, 65536u);
}

TEST_F(PosixPlatformTest, RateLimitedLinkDeliversEveryByte) {
  ASSERT_NE(start_emulator({"--device", "dev", "--rate", "1000000"}), nullptr);
  const Handle handle = open("dev");
  ASSERT_NE(handle, kInvalidHandle);
  const std::string message = pattern(20000);
  std::uint32_t written = 0;
  ASSERT_TRUE(write(handle, message, &written));
  ASSERT_EQ(written, message.size());
  std::string received;
  for (std::string chunk; received.size() < message.size() && read(handle, chunk) && !chunk.empty();) {
    received += chunk;
  }
  EXPECT_EQ(received, message);
}

}  // namespace
}  // namespace tarnlink::posix
