// The instrument model on a clock the test moves by hand: when answers may
// leave, which the socket tests can only see as elapsed time. What reaches a
// client through the Linux service is tested there (tests/posix, tests/e2e).
#include "instrument.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "capture_files.h"
#include "base/driver_contract.h"
#include "support/temp_dir.h"

namespace velk_emu {
namespace {

using namespace std::chrono_literals;

class InstrumentTest : public ::testing::Test {
 protected:
  void start() {
    model_.emplace(options_, answer_, nullptr);
    ASSERT_EQ(model_->open(), Outcome::kDone);
  }
  Clock::time_point write(const std::string& bytes, Clock::time_point now) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    return model_->write(data, static_cast<std::uint32_t>(bytes.size()), now).at;
  }
  // The read's answer if it is looked at `now`, delivered; nullopt while it waits.
  std::optional<std::string> finish(Clock::time_point now) {
    Span parts[kMaxGather];
    const auto answer = model_->finish_read(now, parts);
    if (!answer) return std::nullopt;
    std::string bytes;
    for (std::size_t i = 0; i < answer->parts; ++i) {
      bytes.append(parts[i].data, parts[i].data + parts[i].size);
    }
    read_at_ = answer->at;
    model_->consume(answer->total);
    return bytes;
  }
  std::optional<std::string> read(std::uint32_t max, Clock::time_point now) {
    EXPECT_EQ(model_->start_read(max, now), Outcome::kDone);
    return finish(now);
  }
  void set_timeout(std::uint32_t units) {
    const std::uint8_t value[4] = {
        static_cast<std::uint8_t>(units), static_cast<std::uint8_t>(units >> 8),
        static_cast<std::uint8_t>(units >> 16), static_cast<std::uint8_t>(units >> 24)};
    ASSERT_EQ(model_->control(tarnlink::contract::kIoctlSetTimeout, value, 4, 0).outcome,
              Outcome::kDone);
  }

  Options options_;
  std::vector<std::uint8_t> answer_;
  std::optional<Instrument> model_;
  const Clock::time_point t0_ = Clock::time_point{} + 1h;
  Clock::time_point read_at_;
};

TEST_F(InstrumentTest, ReadWithNothingQueuedAnswersNoBytesWhenTheLinkTimeoutRunsOut) {
  start();
  set_timeout(2500);  // 250 us
  EXPECT_EQ(read(4096, t0_), std::nullopt);
  EXPECT_EQ(model_->read_timer(), t0_ + 250us);
  EXPECT_EQ(finish(t0_ + 249us), std::nullopt);
  EXPECT_EQ(finish(t0_ + 250us), "");
  EXPECT_EQ(model_->read_timer(), std::nullopt);
}

TEST_F(InstrumentTest, AReadTheHostEndsWaitsForBytesWithNoTimerOfItsOwn) {
  model_.emplace(options_, answer_, nullptr, ReadEnd::kHost);
  ASSERT_EQ(model_->open(), Outcome::kDone);
  EXPECT_EQ(read(4096, t0_), std::nullopt);
  EXPECT_EQ(model_->read_timer(), std::nullopt);
  EXPECT_EQ(finish(t0_ + 1h), std::nullopt);
  write("abc", t0_ + 1h);
  EXPECT_EQ(finish(t0_ + 1h), "abc");
}

TEST_F(InstrumentTest, AnswerDelayHoldsTheEchoBackAndWakesTheWaitingRead) {
  options_.answer_delay = 5ms;
  start();
  write("abc", t0_);
  EXPECT_EQ(read(4096, t0_ + 1ms), std::nullopt);
  EXPECT_EQ(model_->read_timer(), t0_ + 5ms);
  EXPECT_EQ(finish(t0_ + 5ms), "abc");
}

TEST_F(InstrumentTest, RateDecidesWhenEachAnswerMayLeave) {
  options_.rate = 1000000;  // a byte a microsecond
  start();
  const std::string block(1000, 'x');
  // An idle link lends up to 2 ms; back to back, each block waits for the last.
  EXPECT_EQ(write(block, t0_), t0_ - 1ms);
  EXPECT_EQ(write(block, t0_), t0_);
  EXPECT_EQ(write(block, t0_), t0_ + 1ms);
  EXPECT_EQ(write(block, t0_ + 10ms), t0_ + 9ms);
  EXPECT_EQ(read(1500, t0_ + 10ms), std::string(1500, 'x'));
  EXPECT_EQ(read_at_, t0_ + 9500us) << "each direction keeps its own time";
  set_timeout(0);
  EXPECT_EQ(read(4096, t0_ + 20ms), std::string(2500, 'x'));
  EXPECT_EQ(read(4096, t0_ + 20ms), "");
  EXPECT_EQ(read_at_, t0_ + 20ms) << "an empty answer takes no link time";

  // A write given up early: the link carried 300 bytes, the instrument takes
  // those alone, and the link is free from then.
  const auto offer = model_->offer_write(1000, t0_ + 30ms);
  EXPECT_EQ(offer.at, t0_ + 29ms);
  EXPECT_EQ(model_->carried_by(offer, t0_ + 28300us), 300u);
  EXPECT_EQ(model_->take_write(offer, reinterpret_cast<const std::uint8_t*>(block.data()), 300),
            300u);
  EXPECT_EQ(write(block, t0_ + 28300us), t0_ + 29300us);
  EXPECT_EQ(read(4096, t0_ + 40ms), std::string(1300, 'x'));
}

TEST_F(InstrumentTest, OneReadGathersAtMostItsShareOfQueuedEchoes) {
  start();
  for (int i = 0; i < 70; ++i) write(std::string(1, static_cast<char>('0' + i % 10)), t0_);
  EXPECT_EQ(read(4096, t0_)->size(), kMaxGather);
  EXPECT_EQ(read(4096, t0_), "456789");
}

// Bytes and lines reach the files as they came, with no line-end translation
// (the Windows C runtime's default), and every open starts the files afresh.
TEST(CaptureFilesTest, StoresBytesAndLinesUntranslated) {
  tarnlink::testing::TempDir dir;
  const std::string capture = (dir.path() / "capture").string();
  std::string error;
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(make_capture_dir(capture, error)) << error;
    CaptureFiles files;
    ASSERT_TRUE(files.open(capture, "dev", error)) << error;
    const std::string bytes("a\nb\r\n\x1A\0", 7);
    files.bytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    files.line("write 7");
    files.close();
    EXPECT_EQ(tarnlink::testing::read_file(dir.path() / "capture" / "dev.bin"), bytes);
    EXPECT_EQ(tarnlink::testing::read_file(dir.path() / "capture" / "dev.log"), "write 7\n");
  }
  EXPECT_FALSE(make_capture_dir((dir.path() / "capture" / "dev.log").string(), error));
}

}  // namespace
}  // namespace velk_emu
