#include "transfer/payload.h"

#include <gtest/gtest.h>

#include <sstream>

#include "support/case_name.h"
#include "support/expected_text.h"
#include "support/fake_platform.h"
#include "support/temp_dir.h"

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace tarnlink {
namespace {

using testing::kAboveLatin1;
using testing::kFileTooLarge;
using testing::kUnableToOpen;
using testing::TempDir;

std::string bytes_of(const Payload& payload, std::int32_t count) {
  return std::string(reinterpret_cast<const char*>(payload.get()), static_cast<std::size_t>(count));
}

TEST(PayloadCount, AddsOffsetToLow32BitsOfPosition) {
  PayloadSize size;
  size.offset = 5;
  size.position = 0x100000010;  // only 0x10 counts
  EXPECT_EQ(PayloadCount(size), 21);
  size.offset = 0;
  size.position = 0x80000000;
  EXPECT_LT(PayloadCount(size), 0);
}

class LoadFileTest : public ::testing::Test {
 protected:
  // Loads `path` and returns what was printed.
  std::string load(const std::filesystem::path& path) {
    out_.str("");
    payload_ = LoadFile(out_, size_, path.native());
    return out_.str();
  }
  TempDir dir_;
  std::ostringstream out_;
  PayloadSize size_;
  Payload payload_;
};

TEST_F(LoadFileTest, LoadsEveryByteUntranslated) {
  const std::string content("a\r\nb\x1A\r\n\0z\n", 11);
  EXPECT_EQ(load(dir_.file("data.bin", content)), "");
  ASSERT_NE(payload_, nullptr);
  EXPECT_EQ(PayloadCount(size_), 11);
  EXPECT_EQ(size_.offset, 0);
  EXPECT_EQ(bytes_of(payload_, 11), content);
}

TEST_F(LoadFileTest, EmptyFileGivesEmptyPayload) {
  EXPECT_EQ(load(dir_.file("empty", "")), "");
  EXPECT_NE(payload_, nullptr);
  EXPECT_EQ(PayloadCount(size_), 0);
}

TEST_F(LoadFileTest, WhatCannotBeOpenedLeavesSizeUntouched) {
  size_.offset = 77;
  EXPECT_EQ(load(dir_.path() / "missing"), kUnableToOpen);
  EXPECT_EQ(payload_, nullptr);
  EXPECT_EQ(size_.offset, 77);
  EXPECT_EQ(load(dir_.path()), kUnableToOpen);
  EXPECT_EQ(payload_, nullptr);
  EXPECT_EQ(size_.offset, 77);
}

#ifndef _WIN32
TEST_F(LoadFileTest, FifoAndDevicesAreRefusedWithoutBlocking) {
  const auto fifo = dir_.path() / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(load(fifo), kUnableToOpen);
  EXPECT_EQ(load("/dev/zero"), kUnableToOpen);
  EXPECT_EQ(payload_, nullptr);
}

TEST_F(LoadFileTest, FileWithoutALengthIsRefused) {
  // /proc files report no length but have content: loading them as empty would
  // silently send nothing.
  EXPECT_EQ(load("/proc/self/status"), kUnableToOpen);
  EXPECT_EQ(payload_, nullptr);
}

TEST_F(LoadFileTest, FilesOf2GiBAndMoreAreRefused) {
  const auto big = dir_.file("big", "");
  ASSERT_EQ(truncate(big.c_str(), 0x80000000LL), 0);  // sparse: costs nothing
  EXPECT_EQ(load(big), kFileTooLarge);
  EXPECT_EQ(payload_, nullptr);
  ASSERT_EQ(truncate(big.c_str(), 0x100000005LL), 0);  // would wrap to 5 bytes
  EXPECT_EQ(load(big), kFileTooLarge);
}

TEST_F(LoadFileTest, UnreadableFileCannotBeOpened) {
  const auto locked = dir_.file("locked", "secret");
  ASSERT_EQ(chmod(locked.c_str(), 0), 0);
  if (geteuid() != 0) {
    EXPECT_EQ(load(locked), kUnableToOpen);
    return;
  }
  // Root reads every file: the load runs in a child that has become nobody, who
  // may search the directory but not read the file. Its exit status tells.
  ASSERT_EQ(chmod(dir_.path().c_str(), 0711), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const bool nobody = setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
    _exit(!nobody ? 2 : load(locked) == kUnableToOpen && payload_ == nullptr ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 2) << "the child could not become nobody";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "nobody could load a file of mode 000";
}
#endif

struct StringCase {
  const char* name;
  std::string text;      // as the command line hands it over
  std::string expected;  // the payload bytes
};

class StringPayloadTest : public ::testing::TestWithParam<StringCase> {};

TEST_P(StringPayloadTest, GivesLatin1BytesAndTheirCount) {
  std::ostringstream out;
  PayloadSize size;
  const StringCase& c = GetParam();
  const Payload payload = MakeStringPayload(out, size, testing::native(c.text));
  ASSERT_NE(payload, nullptr);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(size.offset, static_cast<std::int32_t>(c.expected.size()));
  EXPECT_EQ(size.position, 0);
  EXPECT_EQ(bytes_of(payload, PayloadCount(size)), c.expected);
  EXPECT_EQ(payload[c.expected.size()], 0) << "the uncounted terminator";
}

const StringCase kStringCases[] = {
    {"Empty", "", ""},
    {"Ascii", "AB", "AB"},
    {"Controls", "a\tb\r\n", "a\tb\r\n"},
#ifndef _WIN32
    // UTF-8 from the terminal: one byte per character.
    {"Latin1", "caf\xC3\xA9", "caf\xE9"},
    {"TopOfLatin1", "\xC3\xBF", "\xFF"},
    // Bytes outside a valid sequence stand for themselves.
    {"StrayBytes", "\xFF\xE9x", "\xFF\xE9x"},
    {"Truncated", "a\xC3", "a\xC3"},
    {"Overlong", "\xC0\x80", "\xC0\x80"},
    {"Surrogate", "\xED\xA0\x80", "\xED\xA0\x80"},
#endif
};

INSTANTIATE_TEST_SUITE_P(Texts, StringPayloadTest, ::testing::ValuesIn(kStringCases),
                         testing::CaseName());

TEST(StringPayload, CharacterAboveLatin1IsRefused) {
#ifdef _WIN32
  const NativeString texts[] = {L"a\u0100", L"\u20AC", L"\xD83D\xDE00"};
#else
  const NativeString texts[] = {"a\xC4\x80", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
#endif
  for (const NativeString& text : texts) {
    std::ostringstream out;
    PayloadSize size;
    EXPECT_EQ(MakeStringPayload(out, size, text), nullptr);
    EXPECT_EQ(out.str(), kAboveLatin1);
  }
}

#ifdef _WIN32
TEST(StringPayload, WideLatin1UnitsBecomeTheirBytes) {
  std::ostringstream out;
  PayloadSize size;
  const Payload payload = MakeStringPayload(out, size, L"caf\u00E9\u00FF");
  ASSERT_NE(payload, nullptr);
  EXPECT_EQ(bytes_of(payload, PayloadCount(size)), "caf\xE9\xFF");
}
#endif

}  // namespace
}  // namespace tarnlink
