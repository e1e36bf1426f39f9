#include "transfer/receiver.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>

#include "support/connected_device.h"
#include "support/expected_text.h"
#include "support/temp_dir.h"

// Allocations above this size fail here, as they do once memory runs out. Not
// inlined: the compiler would see malloc's blocks handed to delete.
static std::size_t g_allocation_limit = SIZE_MAX;
[[gnu::noinline]] void* operator new(std::size_t size) {
  void* block = size > g_allocation_limit ? nullptr : std::malloc(size == 0 ? 1 : size);
  return block != nullptr ? block : throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace tarnlink {
namespace {

using testing::FakePlatform;
using testing::kErrorLine;
using testing::kUnableToCreate;
using testing::kUnableToWrite;
using testing::native;
using testing::progress;
using testing::read_file;
using testing::TempDir;

// The answer stream's first `count` bytes.
std::string answer(std::size_t count) {
  std::string bytes(count, '\0');
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(FakePlatform::answer_byte(i));
  return bytes;
}

// Reads that deliver `bytes` in full chunks and a short last one.
std::deque<FakePlatform::ReadStep> chunks_of(std::uint32_t bytes) {
  std::deque<FakePlatform::ReadStep> reads;
  for (; bytes >= 4096; bytes -= 4096) reads.push_back({true, 4096});
  reads.push_back({true, bytes});
  return reads;
}

class ReceiveFileTest : public testing::ConnectedDeviceTest {
 protected:
  std::int32_t receive() { return ReceiveAnswer(device_, out_, output_.native()); }
  std::string stored() const { return read_file(output_); }
  TempDir dir_;
  std::filesystem::path output_ = dir_.path() / "answer.bin";
};

struct DisplayCase {
  std::uint32_t bytes;
  std::string shown;
};

class ReceiveDisplayTest : public ReceiveFileTest,
                           public ::testing::WithParamInterface<DisplayCase> {};

TEST_P(ReceiveDisplayTest, BytesUpTo1024ThenKilobytes) {
  fake_.reads = chunks_of(GetParam().bytes);
  EXPECT_EQ(receive(), 0);
  const std::string text = progress("Read: " + GetParam().shown);
  EXPECT_EQ(out_.str(), text + text) << "the pass's text, then the final one with no line end";
  EXPECT_EQ(stored(), answer(GetParam().bytes));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReceiveDisplayTest,
                         ::testing::Values(DisplayCase{500, "500 bytes"},
                                           DisplayCase{1024, "1024 bytes"},
                                           DisplayCase{1025, "1 KB"}, DisplayCase{2047, "1 KB"},
                                           DisplayCase{2048, "2 KB"}));

TEST_F(ReceiveFileTest, ProgressOnPassesOneFiveNine) {
  for (int pass = 0; pass < 10; ++pass) {
    for (int chunk = 0; chunk < 16; ++chunk) fake_.reads.push_back({true, 4096});
  }
  EXPECT_EQ(receive(), 0);
  std::string expected;
  for (int pass = 1; pass <= 10; ++pass) {
    expected += progress(pass % 4 == 1 ? "Read: " + std::to_string(pass * 64) + " KB" : "");
  }
  expected += progress("Read: 640 KB");
  EXPECT_EQ(out_.str(), expected);
  EXPECT_EQ(stored(), answer(655360));
}

TEST_F(ReceiveFileTest, NothingArrivingStillCreatesTheFile) {
  dir_.file("answer.bin", "old content");
  EXPECT_EQ(receive(), 0);
  EXPECT_EQ(out_.str(), progress("Read: 0 bytes"));
  EXPECT_TRUE(std::filesystem::exists(output_));
  EXPECT_EQ(stored(), "");
}

TEST_F(ReceiveFileTest, PassesAfterShortChunksKeepComing) {
  fake_.reads = {{true, 100}, {true, 200}};
  EXPECT_EQ(receive(), 0);
  EXPECT_EQ(stored(), answer(300));
  EXPECT_EQ(out_.str(), progress("Read: 100 bytes") + progress("") + progress("Read: 300 bytes"));
}

TEST_F(ReceiveFileTest, FullChunksBeforeTheEndAreKept) {
  // An answer of exactly 4096 bytes ends with a zero-byte read after a full chunk.
  fake_.reads = {{true, 4096}};
  EXPECT_EQ(receive(), 0);
  EXPECT_EQ(stored(), answer(4096));
  EXPECT_EQ(out_.str(), progress("Read: 4 KB") + progress("Read: 4 KB"));
}

TEST_F(ReceiveFileTest, ReadFaultKeepsEverythingBeforeItAndFails) {
  fake_.reads = chunks_of(70000);
  fake_.reads.pop_back();
  fake_.reads.push_back({false, 0});
  EXPECT_EQ(receive(), -1);
  EXPECT_EQ(stored(), answer(65536 + 4096));
  EXPECT_EQ(out_.str(), progress("Read: 64 KB") + progress("") + progress("Read: 68 KB") + kErrorLine);
}

TEST_F(ReceiveFileTest, OutputThatCannotBeCreatedReadsNothing) {
  output_ = dir_.path() / "missing" / "answer.bin";
  fake_.reads = chunks_of(10);
  EXPECT_EQ(receive(), -1);
  EXPECT_EQ(out_.str(), kUnableToCreate);
  EXPECT_TRUE(fake_.calls.empty());
  output_ = dir_.path();
  EXPECT_EQ(receive(), -1);
}

TEST_F(ReceiveFileTest, FileOpenedAheadKeepsOldContentUntilTheAnswerBegins) {
  dir_.file("answer.bin", "yesterday");
  {
    AnswerFile file;
    ASSERT_TRUE(file.open(out_, output_.native()));
    EXPECT_EQ(stored(), "yesterday");
  }
  EXPECT_EQ(stored(), "yesterday") << "a file the open did not make is never removed";
  AnswerFile file;
  ASSERT_TRUE(file.open(out_, output_.native()));
  fake_.reads = {{true, 3}};
  EXPECT_EQ(ReceiveAnswer(device_, out_, file), 0);
  EXPECT_EQ(stored(), answer(3));
}

TEST_F(ReceiveFileTest, FileMadeAheadGoesUnlessTheAnswerBegan) {
  {
    AnswerFile file;
    ASSERT_TRUE(file.open(out_, output_.native()));
    EXPECT_TRUE(std::filesystem::exists(output_));
  }
  EXPECT_FALSE(std::filesystem::exists(output_));
  {
    AnswerFile file;
    ASSERT_TRUE(file.open(out_, output_.native()));
    fake_.reads = {{false, 0}};
    EXPECT_EQ(ReceiveAnswer(device_, out_, file), -1);
  }
  EXPECT_EQ(out_.str(), progress("Read: 0 bytes") + kErrorLine);
  EXPECT_TRUE(std::filesystem::exists(output_)) << "a cut answer keeps its file";
}

#ifndef _WIN32
TEST_F(ReceiveFileTest, FullDiskStopsTheReceive) {
  output_ = "/dev/full";
  fake_.reads.assign(40, {true, 4096});
  EXPECT_EQ(receive(), -1);
  EXPECT_EQ(out_.str(), progress("Read: 64 KB") + "\n" + kUnableToWrite);
  EXPECT_EQ(fake_.calls.size(), 16u) << "no read after the failed write";
}

TEST_F(ReceiveFileTest, TotalsBeyond2GiBAreCountedRight) {
  output_ = "/dev/null";
  fake_.fill_answer = false;
  // 32769 passes of 65536 bytes: 2 GiB and 64 KB.
  fake_.reads.assign(32769 * 16, {true, 4096});
  EXPECT_EQ(receive(), 0);
  const std::string final_text = progress("Read: 2097216 KB");
  ASSERT_GE(out_.str().size(), final_text.size());
  EXPECT_EQ(out_.str().substr(out_.str().size() - final_text.size()), final_text);
}
#endif

class ReceiveScreenTest : public testing::ConnectedDeviceTest {};

TEST_F(ReceiveScreenTest, ConInAnyCaseIsTheScreen) {
  for (const char* name : {"con", "CON", "Con", "cOn"}) {
    out_.str("");
    fake_.reads = {{true, 3}};
    EXPECT_EQ(ReceiveAnswer(device_, out_, native(name)), 0) << name;
    EXPECT_EQ(out_.str().substr(out_.str().size() - 15), "\nRead 3 bytes \n") << name;
  }
}

TEST_F(ReceiveScreenTest, TextStopsAtTheFirstZeroButAllBytesCount) {
  fake_.reads = {{true, 4096}, {true, 904}};
  EXPECT_EQ(ReceiveAnswer(device_, out_, native("con")), 0);
  const std::string bytes = answer(5000);
  ASSERT_EQ(bytes.find('\0'), 186u);
  EXPECT_EQ(out_.str(), bytes.substr(0, 186) + "\nRead 5000 bytes \n");
}

TEST_F(ReceiveScreenTest, EmptyAnswerAndFailedRead) {
  EXPECT_EQ(ReceiveAnswer(device_, out_, native("CON")), 0);
  EXPECT_EQ(out_.str(), "\nRead 0 bytes \n");
  out_.str("");
  fake_.reads = {{false, 0}};
  EXPECT_EQ(ReceiveAnswer(device_, out_, native("con")), -1);
  EXPECT_EQ(out_.str(), "");
}

TEST_F(ReceiveScreenTest, AnswerThatOutgrowsMemoryIsReportedAndNotPrinted) {
  fake_.reads.assign(1000, {true, 4096});
  g_allocation_limit = 1 << 20;
  const std::int32_t result = ReceiveAnswer(device_, out_, native("con"));
  g_allocation_limit = SIZE_MAX;
  EXPECT_EQ(result, -1);
  EXPECT_EQ(out_.str(), "Not enough memory for the answer\n");
}

TEST_F(ReceiveScreenTest, NamesThatOnlyContainConAreFiles) {
  TempDir dir;
#ifdef _WIN32
  // Windows itself opens "con.txt" in any folder as the console.
  const char* const names[] = {"xcon", "co", "con_"};
#else
  const char* const names[] = {"con.txt", "xcon", "co"};
#endif
  for (const char* name : names) {
    const auto path = dir.path() / name;
    fake_.reads = {{true, 3}};
    EXPECT_EQ(ReceiveAnswer(device_, out_, path.native()), 0);
    EXPECT_EQ(read_file(path).size(), 3u) << name;
  }
}

}  // namespace
}  // namespace tarnlink
