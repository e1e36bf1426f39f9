// What the real program makes of input it should not trust: payload files that
// are not plain files or lie about their length, output names it cannot write,
// arguments with odd bytes or of great length, and every argument count. Each
// case checks the exact output and exit status, that the run ended, and what
// reached the instrument: nothing at all where the input is refused up front.
//
// With TARNLINK_MATRIX_OUT set, each case appends one tab-separated row (group,
// case, output after the banner, exit status, instrument, verdict) to that file;
// make_reliability_doc.sh turns the rows into the reliability document.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "matrix_report.h"
#include "support/e2e_harness.h"

namespace tarnlink::e2e {
namespace {

const std::string kHello = "hello";
const std::string kSentHello = progress("Send: 5 bytes\n");
// The largest argument Linux passes is 128 KiB; this is well within it and far
// beyond any path or number.
constexpr std::size_t kLong = 100000;

// Instruments "first" and "last"; without /U the program picks "last".
class BadInputTest : public ReportedTest {
 protected:
  bool instruments(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"--device", "first", "--device", "last"};
    args.insert(args.end(), extra.begin(), extra.end());
    return start_emulator(args) != nullptr;
  }

  // Runs tarnlink with `args` and checks the output after the banner, the exit
  // status and the instrument: `received` is what `target` must have been sent,
  // none meaning that no instrument may have been opened at all.
  RunResult check(const std::string& group, const std::string& what,
                  const std::vector<std::string>& args, const std::string& shown, int exit_status,
                  const std::optional<std::string>& received, const std::string& target = "last",
                  const std::string& runner = "") {
    RunOptions options;
    options.limit = std::chrono::milliseconds(20000);
    RunResult result;
    if (runner.empty()) {
      result = run(args, options);
    } else {
      options.env.emplace("VELK_DEVICE_DIR", device_dir());
      options.work_dir = root();
      std::vector<std::string> all = runner_args_;
      all.push_back(tarnlink_binary());
      all.insert(all.end(), args.begin(), args.end());
      result = run_program(runner, all, options);
    }
    stop_emulators();
    const std::vector<std::string> first = log_of("first"), last = log_of("last");
    const std::string got = bin_of(target);
    row_ = {group, what, visible_after_banner(result.output), std::to_string(result.exit_status),
            first.empty() && last.empty()
                ? "untouched"
                : target + " got " + std::to_string(got.size()) + " bytes"};
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.output, kBanner + shown);
    EXPECT_EQ(result.exit_status, exit_status);
    if (received.has_value()) {
      EXPECT_EQ(got, *received);
      EXPECT_TRUE(log_of(target == "last" ? "first" : "last").empty())
          << "the other instrument was touched";
    } else {
      EXPECT_TRUE(first.empty()) << "first was touched";
      EXPECT_TRUE(last.empty()) << "last was touched";
    }
    return result;
  }

  // Makes check() run the program as user nobody, who may search the temporary
  // directory but reads and writes only what anyone may. The runner, or "" when
  // there is none.
  std::string run_as_nobody() {
    const std::string runner = "/usr/bin/setpriv";
    if (access(runner.c_str(), X_OK) != 0) return "";
    runner_args_ = {"--reuid=65534", "--regid=65534", "--clear-groups"};
    if (chmod(root().c_str(), 0711) != 0) return "";
    return runner;
  }

  std::vector<std::string> runner_args_;
};

constexpr const char* kPayloadGroup = "payload file";
constexpr const char* kOutputGroup = "output name";
constexpr const char* kArgumentGroup = "argument";
constexpr const char* kCountGroup = "argument count";

// --- Payload files: refused before any instrument is touched, without blocking.

TEST_F(BadInputTest, PayloadFifo) {
  ASSERT_TRUE(instruments());
  const std::string fifo = root() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Nobody writes to it: opening it for reading would block for ever.
  check(kPayloadGroup, "a FIFO nobody writes to", {fifo}, kUnableToOpen, 255,
        std::nullopt);
}

TEST_F(BadInputTest, PayloadDirectory) {
  ASSERT_TRUE(instruments());
  check(kPayloadGroup, "a directory", {root()}, kUnableToOpen, 255, std::nullopt);
}

TEST_F(BadInputTest, PayloadEndlessDevice) {
  ASSERT_TRUE(instruments());
  check(kPayloadGroup, "/dev/zero", {"/dev/zero"}, kUnableToOpen, 255, std::nullopt);
}

TEST_F(BadInputTest, PayloadProcFileThatCannotSeekToItsEnd) {
  ASSERT_TRUE(instruments());
  check(kPayloadGroup, "/proc/self/status (no seek to its end)", {"/proc/self/status"},
        kUnableToOpen, 255, std::nullopt);
}

TEST_F(BadInputTest, PayloadProcFileLongerThanItsLength) {
  ASSERT_TRUE(instruments());
  // Length 0, yet it has content: sending 0 bytes would report success for
  // a payload that was never sent. Not a file of /proc/self: qemu-user serves
  // some of those as ordinary files of their true length.
  check(kPayloadGroup, "/proc/sys/kernel/osrelease (length 0, content longer)",
        {"/proc/sys/kernel/osrelease"}, kUnableToRead, 255, std::nullopt);
}

TEST_F(BadInputTest, PayloadShorterThanItsLength) {
  // A sysfs attribute reports 4096 bytes and holds a few: the same as a file
  // that shrank between the length query and the read.
  const std::string attribute = "/sys/kernel/uevent_seqnum";
  struct stat st {};
  if (stat(attribute.c_str(), &st) != 0 || st.st_size <= 64) {
    GTEST_SKIP() << attribute << " is missing or tells its true length";
  }
  ASSERT_TRUE(instruments());
  check(kPayloadGroup, "sysfs file: length 4096, fewer bytes (as if it shrank while loading)",
        {attribute}, kUnableToRead, 255, std::nullopt);
}

TEST_F(BadInputTest, PayloadUnreadable) {
  const std::string locked = input_file("locked.bin", kHello);
  ASSERT_EQ(chmod(locked.c_str(), 0), 0);
  std::string runner;
  if (geteuid() == 0) {
    // Root reads every file, whatever its mode: the program runs as nobody instead.
    runner = run_as_nobody();
    if (runner.empty()) GTEST_SKIP() << "running as root without setpriv";
  }
  ASSERT_TRUE(instruments());
  check(kPayloadGroup, "unreadable (mode 000)", {locked}, kUnableToOpen, 255,
        std::nullopt, "last", runner);
}

TEST_F(BadInputTest, PayloadOf2GiB) {
  ASSERT_TRUE(instruments());
  const std::string big = input_file("big.bin", "");
  ASSERT_EQ(truncate(big.c_str(), 0x80000000LL), 0);  // sparse: costs no disk
  check(kPayloadGroup, "2 GiB (sparse)", {big}, kFileTooLarge, 255, std::nullopt);
}

TEST_F(BadInputTest, PayloadOf4GiBAnd5Bytes) {
  ASSERT_TRUE(instruments());
  const std::string big = input_file("big.bin", "");
  // Its length in 32 bits is 5: nothing may send 5 bytes of it.
  ASSERT_EQ(truncate(big.c_str(), 0x100000005LL), 0);
  check(kPayloadGroup, "4 GiB + 5 bytes (sparse; 5 in 32 bits)", {big}, kFileTooLarge, 255,
        std::nullopt);
}

TEST_F(BadInputTest, PayloadJustBelow2GiBLoads) {
  // No instrument: the largest payload loads, and the job then finds none.
  const std::string big = input_file("big.bin", "");
  ASSERT_EQ(truncate(big.c_str(), 0x7FFFFFFFLL), 0);
  check(kPayloadGroup, "2 GiB - 1 byte (sparse), no instrument present", {big},
        kNotFound, 255, std::nullopt);
}

TEST_F(BadInputTest, FirmwareTooLargeForThePreamble) {
  ASSERT_TRUE(instruments());
  // 3 * 2^24 bytes, sparse: its length in 3-byte units needs a 25th bit.
  const std::string image = input_file("fw.img", "");
  ASSERT_EQ(truncate(image.c_str(), 50331648LL), 0);
  check(kPayloadGroup, "firmware /M of 3 x 2^24 bytes (sparse)", {image, "/M"},
        kFirmwareTooLarge, 255, std::nullopt);
}

// --- Output names: one that cannot be opened is refused before any instrument
// is; one that fails while the answer is stored has had the payload sent.

TEST_F(BadInputTest, OutputIsADirectory) {
  ASSERT_TRUE(instruments());
  check(kOutputGroup, "a directory", {input_file("data.bin", kHello), root(), "/T", "100"},
        kUnableToCreate, 255, std::nullopt);
}

TEST_F(BadInputTest, OutputInAMissingDirectory) {
  ASSERT_TRUE(instruments());
  check(kOutputGroup, "in a missing directory",
        {input_file("data.bin", kHello), root() + "/missing/answer.bin", "/T", "100"},
        kUnableToCreate, 255, std::nullopt);
}

TEST_F(BadInputTest, OutputUnwritable) {
  ASSERT_TRUE(instruments());
  // No one may write /proc/version, root included.
  check(kOutputGroup, "unwritable: /proc/version",
        {input_file("data.bin", kHello), "/proc/version", "/T", "100"}, kUnableToCreate, 255,
        std::nullopt);
}

TEST_F(BadInputTest, OutputReadOnlyFile) {
  const std::string output = input_file("answer.bin", "old");
  ASSERT_EQ(chmod(output.c_str(), 0444), 0);
  const std::string data = input_file("data.bin", kHello);
  std::string runner;
  if (geteuid() == 0) {
    // Root writes a read-only file: the program runs as nobody instead.
    runner = run_as_nobody();
    if (runner.empty()) GTEST_SKIP() << "running as root without setpriv";
  }
  ASSERT_TRUE(instruments());
  check(kOutputGroup, "a read-only file", {data, output, "/T", "100"}, kUnableToCreate, 255,
        std::nullopt, "last", runner);
  EXPECT_EQ(read_file(output), "old");
}

TEST_F(BadInputTest, OutputKeepsItsContentWhenNoInstrumentIsPresent) {
  const std::string output = input_file("answer.bin", "yesterday");
  check(kOutputGroup, "an existing file, no instrument present",
        {input_file("data.bin", kHello), output, "/T", "100"}, kNotFound, 255, std::nullopt);
  EXPECT_EQ(read_file(output), "yesterday");
}

TEST_F(BadInputTest, OutputMadeForTheAnswerGoesWhenNoInstrumentIsPresent) {
  const std::string made = root() + "/new.bin";
  check(kOutputGroup, "a new file, no instrument present",
        {input_file("data.bin", kHello), made, "/T", "100"}, kNotFound, 255, std::nullopt);
  EXPECT_NE(access(made.c_str(), F_OK), 0) << "the file made for the answer stayed";
}

TEST_F(BadInputTest, OutputFullDevice) {
  ASSERT_TRUE(instruments());
  check(kOutputGroup, "/dev/full", {input_file("data.bin", kHello), "/dev/full", "/T", "100"},
        kSentHello + progress("Read: 5 bytes") + "\n" + kUnableToWrite, 255, kHello);
}

TEST_F(BadInputTest, OutputNameWithControlBytesAndInvalidUtf8) {
  ASSERT_TRUE(instruments());
  // Every byte but '/' and zero may stand in a file name; the name is used as given.
  const std::string name = root() + "/out\x01\t\x1b[2J\r\n\xFF\xC3(.bin";
  check(kOutputGroup, "control bytes and invalid UTF-8 in the name",
        {input_file("data.bin", kHello), name, "/T", "100"},
        kSentHello + progress("Read: 5 bytes") + progress("Read: 5 bytes"), 0, kHello);
  EXPECT_EQ(read_file(name), kHello);
}

TEST_F(BadInputTest, OutputNameOf100000Bytes) {
  ASSERT_TRUE(instruments());
  check(kOutputGroup, "100000 bytes long",
        {input_file("data.bin", kHello), std::string(kLong, 'o'), "/T", "100"},
        kUnableToCreate, 255, std::nullopt);
}

// --- Output names that change under the program, or lead to no file yet: the
// program acts on the file it opened, and removes only a file it made.

struct NameCase {
  const char* name;
  const char* what;
  bool dangling_link;                 // the name is a link to a missing file "target.bin"
  const char* meanwhile;              // put under the name during the send: "", "link", "file"
  std::vector<std::string> emulator;  // empty: no instrument present
  std::string shown;
  int exit_status;
  std::optional<std::string> received;
  std::string name_reads;  // the name's content afterwards, through a link
  bool target_made;        // whether "target.bin" exists afterwards
};

void PrintTo(const NameCase& c, std::ostream* out) { *out << c.name; }

class OutputNameTest : public BadInputTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(OutputNameTest, OnlyTheFileOpenedIsWrittenOrRemoved) {
  const NameCase& c = GetParam();
  const std::string output = root() + "/out.bin", target = root() + "/target.bin";
  const std::string data = c.meanwhile[0] == '\0' ? kHello : sample_bytes(10000);
  if (c.dangling_link) {
    ASSERT_EQ(symlink("target.bin", output.c_str()), 0);
  }
  if (!c.emulator.empty()) {
    ASSERT_TRUE(instruments(c.emulator));
  }
  // Another user's move, made with a rename as anyone who may write the folder can.
  bool replaced = c.meanwhile[0] == '\0';
  std::thread mover([&] {
    if (replaced) return;
    const auto sending = [&] {
      const std::vector<std::string> log = log_of("last");
      return std::find(log.begin(), log.end(), "write 4096") != log.end();
    };
    if (!wait_until(sending, kStepLimit)) return;
    const std::string swap = root() + "/swap";
    const std::string victim = input_file("victim.txt", "precious");
    replaced = (c.meanwhile == std::string("link") ? symlink(victim.c_str(), swap.c_str()) == 0
                                                   : !input_file("swap", "mine").empty()) &&
               rename(swap.c_str(), output.c_str()) == 0;
  });
  check(kOutputGroup, c.what, {input_file("data.bin", data), output, "/T", "100"}, c.shown,
        c.exit_status, c.received);
  mover.join();
  EXPECT_TRUE(replaced) << "the name was not replaced during the send";
  EXPECT_EQ(read_file(output), c.name_reads);
  EXPECT_EQ(access(target.c_str(), F_OK) == 0, c.target_made);
  struct stat st {};
  EXPECT_TRUE(!c.dangling_link || (lstat(output.c_str(), &st) == 0 && S_ISLNK(st.st_mode)))
      << "the link itself is gone";
}

const std::string kSample8192 = sample_bytes(10000).substr(0, 8192);
INSTANTIATE_TEST_SUITE_P(
    Changes, OutputNameTest,
    ::testing::Values(
        NameCase{"ReplacedByALink", "replaced by a link to another file during the send", false,
                 "link", {"--rate", "4000", "--answer", "silent"},
                 kSent10000 + progress("Read: 0 bytes"), 0, sample_bytes(10000), "precious",
                 false},
        NameCase{"ReplacedByAFileBeforeAFailedSend",
                 "replaced by another file during a send that fails", false, "file",
                 {"--rate", "4000", "--fault", "write-error:3"},
                 progress("8192 / 10000") + kErrorLine, 255, kSample8192, "mine", false},
        NameCase{"DanglingLinkNoInstrument", "a link to a missing file, no instrument present",
                 true, "", {}, kNotFound, 255, std::nullopt, "", false},
        NameCase{"DanglingLinkGetsTheAnswer", "a link to a missing file", true, "",
                 {"--answer", "echo"},
                 kSentHello + progress("Read: 5 bytes") + progress("Read: 5 bytes"), 0, kHello,
                 kHello, true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// --- Arguments with odd bytes or great length.

TEST_F(BadInputTest, StringWithInvalidUtf8IsSentByteForByte) {
  ASSERT_TRUE(instruments());
  // Bytes outside a valid UTF-8 sequence stand for themselves.
  const std::string text = "\xFF\xC3(\x80";
  check(kArgumentGroup, "string /S with invalid UTF-8", {text, "con", "/S", "/T", "100"},
        progress("Send: 4 bytes\n") + text + "\nRead 4 bytes \n", 0, text);
}

TEST_F(BadInputTest, StringWithControlCharactersIsSentAsIs) {
  ASSERT_TRUE(instruments());
  const std::string text = "a\tb\x01\x1b[2J\r\n";
  check(kArgumentGroup, "string /S with control characters", {text, "con", "/S", "/T", "100"},
        progress("Send: 10 bytes\n") + text + "\nRead 10 bytes \n", 0, text);
}

TEST_F(BadInputTest, StringAboveLatin1IsRefused) {
  ASSERT_TRUE(instruments());
  check(kArgumentGroup, "string /S with a character above U+00FF",
        {"price: 5 \xE2\x82\xAC", "con", "/S", "/T", "100"}, kAboveLatin1,
        255, std::nullopt);
}

TEST_F(BadInputTest, StringOf100000Bytes) {
  ASSERT_TRUE(instruments());
  // Plain letters, so that the byte count is the character count.
  std::string argument(kLong, 'a');
  for (std::size_t i = 0; i < argument.size(); ++i)
    argument[i] = static_cast<char>('a' + (i * 7 + 3) % 26);
  const std::string output = root() + "/answer.bin";
  // The echo comes back in one pass of 64 KB, one of the rest, then the timeout.
  check(kArgumentGroup, "string /S of 100000 bytes", {argument, output, "/S", "/T", "100"},
        sent(kLong) + progress("Read: 64 KB") + progress("") + progress("Read: 97 KB"), 0,
        argument);
  EXPECT_EQ(read_file(output), argument);
}

TEST_F(BadInputTest, FileNameWithControlBytesAndInvalidUtf8) {
  ASSERT_TRUE(instruments());
  const std::string name = input_file("in\x01\t\x1b[2J\r\n\xFF\xC3(.bin", kHello);
  check(kArgumentGroup, "file name with control bytes and invalid UTF-8", {name}, kSentHello, 0,
        kHello);
}

TEST_F(BadInputTest, FileNameOf100000Bytes) {
  ASSERT_TRUE(instruments());
  check(kArgumentGroup, "file name of 100000 bytes", {std::string(kLong, 'f')},
        kUnableToOpen, 255, std::nullopt);
}

TEST_F(BadInputTest, EmptyFileName) {
  ASSERT_TRUE(instruments());
  check(kArgumentGroup, "empty file name", {""}, kUnableToOpen, 255, std::nullopt);
}

TEST_F(BadInputTest, UsbNameWithInvalidUtf8MatchesNothing) {
  ASSERT_TRUE(instruments());
  // No path holds it, so the first instrument is used.
  check(kArgumentGroup, "/U name of invalid UTF-8",
        {input_file("data.bin", kHello), "/U", "\xFF\xFE"}, kSentHello, 0, kHello, "first");
}

TEST_F(BadInputTest, UsbNameOf100000Bytes) {
  ASSERT_TRUE(instruments());
  check(kArgumentGroup, "/U name of 100000 bytes",
        {input_file("data.bin", kHello), "/U", std::string(kLong, 'u')}, kSentHello, 0, kHello,
        "first");
}

TEST_F(BadInputTest, TimeoutOfInvalidUtf8) {
  ASSERT_TRUE(instruments());
  check(kArgumentGroup, "/T value of invalid UTF-8",
        {input_file("data.bin", kHello), "answer.bin", "/T", "1\xFF"}, kInvalidMore, 255,
        std::nullopt);
}

TEST_F(BadInputTest, TimeoutWithControlCharacters) {
  ASSERT_TRUE(instruments());
  check(kArgumentGroup, "/T value with control characters",
        {input_file("data.bin", kHello), "answer.bin", "/T", "\t100\n"}, kInvalidMore, 255,
        std::nullopt);
}

TEST_F(BadInputTest, TimeoutOf100000Digits) {
  ASSERT_TRUE(instruments());
  check(kArgumentGroup, "/T value of 100000 digits",
        {input_file("data.bin", kHello), "answer.bin", "/T", std::string(kLong, '1')}, kInvalidMore,
        255, std::nullopt);
  EXPECT_NE(access((root() + "/answer.bin").c_str(), F_OK), 0);
}

TEST_F(BadInputTest, SwitchAsOutputNameIsRefused) {
  const bool existed = access("/U", F_OK) == 0;
  ASSERT_TRUE(instruments());
  check(kArgumentGroup, "a switch as the output name: /U", {input_file("data.bin", kHello), "/U"},
        kInvalidMore, 255, std::nullopt);
  EXPECT_TRUE(existed || access("/U", F_OK) != 0) << "the file /U was created";
}

// --- Every argument count from 0 to 10, the payload name naming no file: no
// count crashes, and none reaches an instrument.

class ArgumentCountTest : public BadInputTest, public ::testing::WithParamInterface<int> {};

TEST_P(ArgumentCountTest, ClearOutcomeAndNoInstrumentTouched) {
  const int count = GetParam();
  ASSERT_TRUE(instruments());
  std::vector<std::string> args;
  for (int i = 1; i <= count; ++i)
    args.push_back(i == 1 ? "missing.bin" : "word" + std::to_string(i));
  std::string shown = kInvalidMore;
  int exit_status = 255;
  if (count == 0) {
    shown = kUsage;
    exit_status = 0;
  } else if (count <= 2) {
    shown = kUnableToOpen;
  } else if (count == 3) {
    shown = kInvalidFour;
  }
  check(kCountGroup, std::to_string(count) + (count == 1 ? " argument" : " arguments"), args, shown,
        exit_status, std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(ZeroToTen, ArgumentCountTest, ::testing::Range(0, 11));

}  // namespace
}  // namespace tarnlink::e2e
