// A device directory that someone has tampered with: links in place of sockets
// or presence files, sockets of another user, a directory others may write, and
// socket paths at and past the length a socket address holds. The program must
// list and open only what genuinely serves an instrument; the capture logs of
// every instrument around show what it opened.
//
// With TARNLINK_MATRIX_OUT set, each run appends one tab-separated row
// (situation, command, output after the banner, exit status, what was opened,
// verdict) to that file; make_reliability_doc.sh turns the rows into the
// reliability document.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "matrix_report.h"
#include "support/e2e_harness.h"

namespace tarnlink::e2e {
namespace {

const std::string kPayload = "hello";
const std::string kSent = progress("Send: 5 bytes\n");
const std::vector<std::string> kSession = concat(kHandshakeLog, {"write 5", "close"});
// Larger than any key a service gives, so that a planted entry would be listed
// last and be the default choice.
const std::string kLateKey = "18000000000000000000\n";

class HostileDirTest : public E2eTest {
 protected:
  void TearDown() override {
    E2eTest::TearDown();
    outside_.reset();
    for (const int fd : held_) close(fd);
    for (std::vector<std::string>& row : rows_) {
      row.push_back(HasFailure() ? "FAIL" : "pass");
      append_row(row);
    }
  }

  // The genuine instruments "a" and "b", served in the device directory.
  bool genuine() { return start_emulator({"--device", "a", "--device", "b"}) != nullptr; }

  // Plants a presence file for `name` and holds its lock as a service would, so
  // that only the checks on the entry itself can keep it out of the listing.
  void hold_presence(const std::string& name) { hold_lock(device_path(name) + ".lock"); }

  // Creates `path` with a late appearance key and holds its lock.
  void hold_lock(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    held_.push_back(fd);
    ASSERT_EQ(pwrite(fd, kLateKey.data(), kLateKey.size(), 0),
              static_cast<ssize_t>(kLateKey.size()));
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &lock), 0);
  }

  // A second emulator with instrument "outside", in a directory of its own.
  std::string serve_outside() {
    outside_ = std::make_unique<Emulator>(std::vector<std::string>{
        "--dir", root() + "/elsewhere", "--capture", capture_dir(), "--device", "outside"});
    EXPECT_TRUE(outside_->ready()) << outside_->failure();
    return root() + "/elsewhere/outside";
  }

  // Runs tarnlink, checks its output and exit status, and keeps a row.
  void expect_run(const std::string& situation, const std::vector<std::string>& args,
                  const std::string& shown, int exit_status, const std::string& command) {
    const RunResult result = run(args);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.output, kBanner + shown) << command;
    EXPECT_EQ(result.exit_status, exit_status) << command;
    rows_.push_back({situation, command, visible_after_banner(result.output, device_dir()),
                     std::to_string(result.exit_status)});
  }

  // Stops every emulator and checks that exactly `opened` (one session each)
  // and none of `untouched` saw a connection; fills in the rows' last column.
  void expect_opened(const std::vector<std::string>& opened,
                     const std::vector<std::string>& untouched) {
    stop_emulators();
    if (outside_ != nullptr) {
      EXPECT_EQ(outside_->stop(), 0);
    }
    std::string what;
    for (const std::string& name : opened) {
      EXPECT_EQ(log_of(name), kSession) << name;
      EXPECT_EQ(bin_of(name), kPayload) << name;
      what += (what.empty() ? "" : ", ") + name;
    }
    for (const std::string& name : untouched)
      EXPECT_TRUE(log_of(name).empty()) << name << " was opened";
    for (std::vector<std::string>& row : rows_) {
      if (row.size() == 4) row.push_back(what.empty() ? "nothing" : what + " only");
    }
  }

  std::unique_ptr<Emulator> outside_;
  std::vector<int> held_;
  std::vector<std::vector<std::string>> rows_;
};

// --- Links in place of sockets: listed by lstat, never followed.

TEST_F(HostileDirTest, LinkToAnotherServedSocketIsNotListed) {
  ASSERT_TRUE(genuine());
  ASSERT_EQ(symlink(device_path("a").c_str(), device_path("evil").c_str()), 0);
  hold_presence("evil");
  const std::string situation = "link evil -> socket a, its presence file held";
  expect_run(situation, {"/L"}, listing({"a", "b"}), 0, "tarnlink /L");
  // Listed, the link would be last and chosen, and a would get the payload.
  expect_run(situation, {input_file("data.bin", kPayload)}, kSent, 0, "tarnlink data.bin");
  expect_opened({"b"}, {"a"});
}

TEST_F(HostileDirTest, LinkToARegularFileIsNotListed) {
  ASSERT_TRUE(genuine());
  const std::string target = input_file("precious.txt", "keep me");
  ASSERT_EQ(symlink(target.c_str(), device_path("evil").c_str()), 0);
  hold_presence("evil");
  const std::string situation = "link evil -> a regular file";
  expect_run(situation, {"/L"}, listing({"a", "b"}), 0, "tarnlink /L");
  expect_run(situation, {input_file("data.bin", kPayload), "/U", "evil"}, kSent, 0,
             "tarnlink data.bin /U evil");
  // No path holds "evil", so /U falls back on the first instrument.
  expect_opened({"a"}, {"b"});
  EXPECT_EQ(read_file(target), "keep me");
}

TEST_F(HostileDirTest, LinkToASocketOutsideTheDirectoryIsNotListed) {
  ASSERT_TRUE(genuine());
  const std::string outside = serve_outside();
  ASSERT_EQ(symlink(outside.c_str(), device_path("evil").c_str()), 0);
  hold_presence("evil");
  const std::string situation = "link evil -> a served socket outside the directory";
  expect_run(situation, {"/L"}, listing({"a", "b"}), 0, "tarnlink /L");
  expect_run(situation, {input_file("data.bin", kPayload)}, kSent, 0, "tarnlink data.bin");
  expect_opened({"b"}, {"a", "outside"});
}

TEST_F(HostileDirTest, LinkInPlaceOfAPresenceFileIsNotFollowed) {
  Emulator* gone = start_emulator({"--device", "stale"});
  ASSERT_NE(gone, nullptr);
  gone->kill_hard();
  // The stale socket's presence file now points at a file someone holds locked.
  ASSERT_EQ(unlink(device_path("stale.lock").c_str()), 0);
  const std::string decoy = root() + "/decoy.lock";
  hold_lock(decoy);
  ASSERT_EQ(symlink(decoy.c_str(), device_path("stale.lock").c_str()), 0);
  const std::string situation = "stale socket whose presence file is a link to a locked file";
  expect_run(situation, {"/L"}, kNotFound, 255, "tarnlink /L");
  expect_run(situation, {input_file("data.bin", kPayload)}, kNotFound, 255, "tarnlink data.bin");
  expect_opened({}, {"stale"});
}

// --- Ownership and modes.

TEST_F(HostileDirTest, SocketOfAnotherUserIsNotListed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a socket away";
  ASSERT_TRUE(genuine());
  ASSERT_EQ(lchown(device_path("b").c_str(), 65534, 65534), 0);
  const std::string situation = "socket b owned by nobody";
  expect_run(situation, {"/L"}, listing({"a"}), 0, "tarnlink /L");
  expect_run(situation, {input_file("data.bin", kPayload), "/U", "b"}, kSent, 0,
             "tarnlink data.bin /U b");
  expect_opened({"a"}, {"b"});
}

struct DirectoryMode {
  const char* name;
  mode_t mode;
  const char* situation;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const DirectoryMode& mode, std::ostream* out) { *out << mode.situation; }

class DirectoryModeTest : public HostileDirTest,
                          public ::testing::WithParamInterface<DirectoryMode> {};

TEST_P(DirectoryModeTest, DirectoryOthersMayWriteIsRefusedWhole) {
  ASSERT_TRUE(genuine());
  ASSERT_EQ(chmod(device_dir().c_str(), GetParam().mode), 0);
  expect_run(GetParam().situation, {"/L"}, kListingFailed, 255, "tarnlink /L");
  expect_run(GetParam().situation, {input_file("data.bin", kPayload)}, kListingFailed, 255,
             "tarnlink data.bin");
  ASSERT_EQ(chmod(device_dir().c_str(), 0700), 0);
  expect_opened({}, {"a", "b"});
}

// The existing connection tests cover 0770 and 0703 for a send.
INSTANTIATE_TEST_SUITE_P(
    Modes, DirectoryModeTest,
    ::testing::Values(DirectoryMode{"WorldWritableSticky", 01777,
                                    "world-writable with sticky bit (mode 1777)"},
                      DirectoryMode{"WorldWritable", 0707, "world-writable (mode 0707)"},
                      DirectoryMode{"GroupWritable", 0720, "group-writable (mode 0720)"}),
    [](const ::testing::TestParamInfo<DirectoryMode>& param_info) {
      return std::string(param_info.param.name);
    });

TEST_F(HostileDirTest, DirectoryOfAnotherUserIsRefusedWhole) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the directory away";
  ASSERT_TRUE(genuine());
  ASSERT_EQ(chown(device_dir().c_str(), 65534, 65534), 0);
  const std::string situation = "directory owned by nobody";
  expect_run(situation, {"/L"}, kListingFailed, 255, "tarnlink /L");
  ASSERT_EQ(chown(device_dir().c_str(), 0, 0), 0);
  expect_opened({}, {"a", "b"});
}

// --- Socket paths at the length a socket address holds, and beyond it.

class LongPathTest : public HostileDirTest {
 protected:
  // Names in a device directory deep enough that `short_name` makes a path of
  // `length` bytes and `short_name` + "q" one byte more. False when the
  // temporary directory's own path is already too long for that.
  bool serve_at_length(std::size_t length) {
    constexpr std::size_t kName = 16;
    const std::size_t fixed =
        root().size() + std::string("/").size() + std::string("/dev/").size() + kName;
    if (fixed >= length) return false;
    dir_ = root() + "/" + std::string(length - fixed, 'd');
    if (mkdir(dir_.c_str(), 0700) != 0) return false;
    dir_ += "/dev";
    short_name_ = std::string(length - dir_.size() - 1, 'p');
    long_name_ = short_name_ + "q";
    emulator_ = std::make_unique<Emulator>(
        std::vector<std::string>{"--dir", dir_, "--capture", capture_dir(), "--device", long_name_,
                                 "--device", short_name_});
    EXPECT_TRUE(emulator_->ready()) << emulator_->failure();
    return emulator_->ready();
  }

  RunResult run_here(const std::vector<std::string>& args) {
    RunOptions options;
    options.env.emplace("VELK_DEVICE_DIR", dir_);
    options.work_dir = root();
    return run_program(tarnlink_binary(), args, options);
  }

  std::string dir_, short_name_, long_name_;
  std::unique_ptr<Emulator> emulator_;
};

TEST_F(LongPathTest, PathsOf107And108BytesEachReachTheirOwnInstrument) {
  // sun_path holds 108 bytes: a path of 107 and its terminator fit, one of 108
  // does not and must not be cut to the 107-byte path of the other instrument.
  if (!serve_at_length(107)) GTEST_SKIP() << "the temporary directory's path is too long";
  const std::string short_path = dir_ + "/" + short_name_, long_path = dir_ + "/" + long_name_;
  ASSERT_EQ(short_path.size(), 107u);
  ASSERT_EQ(long_path.size(), 108u);
  const std::string situation = "socket paths of 107 and 108 bytes";

  const RunResult list = run_here({"/L"});
  EXPECT_EQ(list.output, kBanner + "1 " + long_path + "\n2 " + short_path + "\n");
  EXPECT_EQ(list.exit_status, 0);
  const std::string data = input_file("data.bin", kPayload);
  // By default the last listed, the 107-byte path; by name the 108-byte one.
  const RunResult to_short = run_here({data});
  const RunResult to_long = run_here({data, "/U", "pq"});
  for (const RunResult* result : {&to_short, &to_long}) {
    EXPECT_FALSE(result->timed_out);
    EXPECT_EQ(result->output, kBanner + kSent);
    EXPECT_EQ(result->exit_status, 0);
  }
  EXPECT_EQ(emulator_->stop(), 0);
  EXPECT_EQ(log_of(short_name_), kSession);
  EXPECT_EQ(log_of(long_name_), kSession);
  // The table shows the long directory as DIR.
  rows_.push_back({situation, "tarnlink /L", visible_after_banner(list.output, dir_),
                   std::to_string(list.exit_status), "nothing"});
  rows_.push_back({situation, "tarnlink data.bin", visible_after_banner(to_short.output),
                   std::to_string(to_short.exit_status), "the 107-byte path only"});
  rows_.push_back({situation, "tarnlink data.bin /U pq", visible_after_banner(to_long.output),
                   std::to_string(to_long.exit_status), "the 108-byte path only"});
}

TEST_F(LongPathTest, PathTooLongForAnyAddressIsNotCutShort) {
  // Even through /proc/self/fd the path does not fit: the open must fail rather
  // than reach the instrument whose path is its first 107 bytes.
  if (!serve_at_length(107)) GTEST_SKIP() << "the temporary directory's path is too long";
  const std::string decoy = dir_ + "/" + short_name_;
  // Short enough to bind from inside the directory, too long for /proc/self/fd/N/.
  const std::string name = short_name_ + std::string(85, 'z');
  const std::string path = dir_ + "/" + name;
  ASSERT_EQ(path.substr(0, 107), decoy);
  // Bound by its name from inside the directory, the only way such a socket can be made.
  const int here = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(here, 0);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  const int listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, name.data(), name.size());
  const int bound = bind(listener, reinterpret_cast<const sockaddr*>(&address),
                         static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1));
  ASSERT_EQ(fchdir(here), 0);
  close(here);
  ASSERT_EQ(bound, 0);
  ASSERT_EQ(listen(listener, 4), 0);
  hold_lock(path + ".lock");

  const RunResult list = run_here({"/L"});
  EXPECT_NE(list.output.find("3 " + path + "\n"), std::string::npos) << list.output;
  const RunResult result = run_here({input_file("data.bin", kPayload), "/U", "zzz"});
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.output, kBanner);
  EXPECT_EQ(result.exit_status, 255);
  EXPECT_EQ(emulator_->stop(), 0);
  EXPECT_TRUE(log_of(short_name_).empty()) << "the 107-byte path was opened";
  EXPECT_TRUE(log_of(long_name_).empty());
  EXPECT_LT(accept(listener, nullptr, nullptr), 0) << "the unreachable socket was reached";
  close(listener);
  rows_.push_back({"socket path of " + std::to_string(path.size()) +
                       " bytes, its first 107 bytes another instrument's path",
                   "tarnlink data.bin /U zzz", visible_after_banner(result.output),
                   std::to_string(result.exit_status), "nothing"});
}

}  // namespace
}  // namespace tarnlink::e2e
