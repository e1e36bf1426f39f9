#include "instrument.h"

#include <algorithm>

#include "base/byte_order.h"
#include "base/driver_contract.h"

namespace velk_emu {
namespace {

namespace contract = tarnlink::contract;

// How far a rate-limited link may stand idle, between a response and the next
// request, and still count as streaming. A link keeps moving while the host
// turns round; charging that gap (the transport's own wake-up included) as link
// time would make the emulated link slower than its rate. Over any stretch of
// time the link carries at most its rate's worth plus this much.
constexpr Clock::duration kRateSlack = std::chrono::milliseconds(2);

using tarnlink::get_u32;
using tarnlink::put_u32;

}  // namespace

Instrument::Instrument(const Options& options, const std::vector<std::uint8_t>& answer,
                       CaptureSink* capture, ReadEnd read_end)
    : options_(options),
      answer_(answer),
      capture_(capture),
      read_end_(read_end),
      timeout_(contract::kHandshakeTimeout) {}

void Instrument::log(const std::string& line) {
  if (capture_ != nullptr) capture_->line(line);
}

Clock::duration Instrument::transfer_time(std::size_t bytes) const {
  return std::chrono::nanoseconds(bytes * 1000000000ull / options_.rate);
}

void Instrument::reset_link() {
  writes_ = reads_ = 0;
  timeout_ = contract::kHandshakeTimeout;
  answered_ = false;
  queue_.clear();
  reading_ = false;
  write_free_ = read_free_ = Clock::time_point{};
}

Outcome Instrument::open() {
  if (options_.faults.busy) return Outcome::kBusy;
  if (open_) return Outcome::kInUse;
  open_ = true;
  reset_link();
  log("open");
  return Outcome::kDone;
}

void Instrument::close() {
  if (!open_) return;
  drop();
  log("close");
}

void Instrument::drop() {
  open_ = false;
  reset_link();
}

void Instrument::vanish() {
  drop();
  log("vanish");
}

Instrument::WriteAnswer Instrument::write(const std::uint8_t* data, std::uint32_t size,
                                          Clock::time_point now) {
  const WriteOffer offer = offer_write(size, now);
  if (offer.outcome != Outcome::kDone) return {offer.outcome, 0, now, false};
  return {Outcome::kDone, take_write(offer, data, size), offer.at, offer.disconnect};
}

Instrument::WriteOffer Instrument::offer_write(std::uint32_t size, Clock::time_point now) {
  ++writes_;
  WriteOffer offer{Outcome::kDone, size, false, now, now, now, false};
  if (listed(options_.faults.write_errors, writes_)) {
    log("write " + std::to_string(size));
    offer.outcome = Outcome::kFailure;
    return offer;
  }
  offer.short_write = listed(options_.faults.short_writes, writes_);
  offer.disconnect = listed(options_.faults.disconnects, writes_);
  if (options_.rate != 0) {
    // The link carries what is sent, also the byte a short write refuses.
    offer.start = std::max(now - kRateSlack, write_free_);
    offer.at = write_free_ = offer.start + transfer_time(size);
  }
  return offer;
}

std::uint32_t Instrument::carried_by(const WriteOffer& offer, Clock::time_point now) const {
  if (options_.rate == 0 || now >= offer.at) return offer.size;
  if (now <= offer.start) return 0;
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - offer.start).count();
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ns) * options_.rate / 1000000000ull);
}

std::uint32_t Instrument::take_write(const WriteOffer& offer, const std::uint8_t* data,
                                     std::uint32_t received) {
  // Checked first: building the line for nobody would cost every block of a transfer.
  if (capture_ != nullptr) log("write " + std::to_string(received));
  // The link carried no more than was received, and is free for the next write from then.
  if (received < offer.size && write_free_ == offer.at) {
    write_free_ = offer.start + transfer_time(received);
  }
  std::uint32_t taken = received;
  if (taken > 0 && offer.short_write) --taken;
  if (capture_ != nullptr && taken > 0) capture_->bytes(data, taken);
  const Clock::time_point ready = offer.arrived + options_.answer_delay;
  if (options_.answer == AnswerMode::kEcho && taken > 0) {
    Chunk chunk;
    chunk.ready = ready;
    chunk.owned.assign(data, data + taken);
    chunk.size = taken;
    queue_.push_back(std::move(chunk));
  } else if ((options_.answer == AnswerMode::kFile || options_.answer == AnswerMode::kPattern) &&
             !answered_) {
    answered_ = true;
    if (!answer_.empty()) {
      Chunk chunk;
      chunk.ready = ready;
      chunk.shared = answer_.data();
      chunk.size = answer_.size();
      queue_.push_back(std::move(chunk));
    }
  }
  return taken;
}

Outcome Instrument::start_read(std::uint32_t max, Clock::time_point now) {
  ++reads_;
  if (listed(options_.faults.read_errors, reads_)) {
    log("read -> error");
    return Outcome::kFailure;
  }
  reading_ = true;
  read_max_ = max;
  read_deadline_ =
      read_end_ == ReadEnd::kHost
          ? Clock::time_point::max()
          : now + std::chrono::nanoseconds(std::int64_t{timeout_} * contract::kTimeoutUnitNs);
  return Outcome::kDone;
}

std::optional<Clock::time_point> Instrument::read_timer() const {
  if (!reading_) return std::nullopt;
  if (!queue_.empty()) return std::min(read_deadline_, queue_.front().ready);
  if (read_deadline_ == Clock::time_point::max()) return std::nullopt;
  return read_deadline_;
}

std::optional<Instrument::ReadAnswer> Instrument::finish_read(Clock::time_point now,
                                                              Span (&parts)[kMaxGather]) {
  if (!reading_) return std::nullopt;
  const bool data_ready = !queue_.empty() && queue_.front().ready <= now;
  if (!data_ready && read_deadline_ > now) return std::nullopt;
  reading_ = false;
  ReadAnswer answer{0, 0, now};
  for (auto chunk = queue_.begin(); chunk != queue_.end() && answer.parts < kMaxGather &&
                                    answer.total < read_max_ && chunk->ready <= now;
       ++chunk) {
    const std::size_t take = std::min<std::size_t>(chunk->left(), read_max_ - answer.total);
    parts[answer.parts++] = {chunk->data(), take};
    answer.total += take;
  }
  if (capture_ != nullptr) log("read -> " + std::to_string(answer.total));
  if (options_.rate != 0 && answer.total != 0) {
    read_free_ = std::max(now - kRateSlack, read_free_) + transfer_time(answer.total);
    answer.at = read_free_;
  }
  return answer;
}

void Instrument::consume(std::size_t total) {
  while (total > 0 && !queue_.empty()) {
    Chunk& chunk = queue_.front();
    const std::size_t take = std::min(chunk.left(), total);
    chunk.offset += take;
    total -= take;
    if (chunk.left() == 0) queue_.pop_front();
  }
}

Instrument::ControlAnswer Instrument::control(std::uint32_t code, const std::uint8_t* input,
                                              std::uint32_t input_size, std::uint32_t output_size) {
  ControlAnswer answer{Outcome::kDone, 0, {}};
  if (code == contract::kIoctlSetTimeout) {
    const auto value = input_size == 4 ? static_cast<std::int32_t>(get_u32(input)) : -1;
    if (value < 0) return {Outcome::kBadParameter, 0, {}};
    timeout_ = value;
    log("set-timeout " + std::to_string(value));
  } else if (code == contract::kIoctlGetTimeout) {
    if (options_.faults.empty_readback) {
      log("get-timeout -> empty");
    } else if (output_size < 4) {
      return {Outcome::kBufferTooSmall, 0, {}};
    } else {
      const std::int32_t value = options_.faults.readback.value_or(timeout_);
      put_u32(answer.output, static_cast<std::uint32_t>(value));
      answer.count = 4;
      log("get-timeout -> " + std::to_string(value));
    }
  } else {
    answer.outcome = Outcome::kUnknownRequest;
  }
  return answer;
}

}  // namespace velk_emu
