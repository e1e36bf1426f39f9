// One emulated instrument: its timeout register, its answers, its faults, its
// capture and its link rate. It does no I/O of its own: a transport (the socket
// service on Linux, the driver bridge on Windows, the emulated USB bus) hands it
// each request with the time, sends the answer when the instrument says it may
// leave, and asks again when a waiting read's timer is due.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "options.h"

namespace velk_emu {

using Clock = std::chrono::steady_clock;

// How an instrument answers a request; each transport spells these its own way.
enum class Outcome {
  kDone,
  kBusy,            // open refused under the busy fault
  kInUse,           // open refused: another handle has the instrument
  kFailure,         // the device failed the request (write or read fault)
  kBadParameter,    // a set-timeout that is not 4 bytes of a value >= 0
  kBufferTooSmall,  // a get-timeout with room for fewer than 4 bytes
  kUnknownRequest,  // a control code the instrument does not know
};

// Where an instrument records what happened to it: every byte it took, and one
// line per call ("open", "write 4096", "read -> 10", "set-timeout 80000000",
// "get-timeout -> 80000000", "get-timeout -> empty", "read -> error", "close",
// "vanish").
class CaptureSink {
 public:
  virtual ~CaptureSink() = default;
  virtual void bytes(const std::uint8_t* data, std::size_t size) = 0;
  virtual void line(const std::string& text) = 0;
};

// A view of answer bytes that stay valid until consume() or the next write.
struct Span {
  const std::uint8_t* data;
  std::size_t size;
};

// Most views one read answer gathers (each queued echo is one).
inline constexpr std::size_t kMaxGather = 64;

// Who ends a read that nothing answers.
enum class ReadEnd {
  kLinkTimeout,  // the instrument, with no bytes once its link timeout has passed (the driver)
  kHost,         // the host, which gives the read up (USB: the timeout lives on the host)
};

class Instrument {
 public:
  // `options` and `answer` (the file or pattern bytes) outlive the instrument;
  // `capture` may be null (no capture) and, if not, outlives it too.
  Instrument(const Options& options, const std::vector<std::uint8_t>& answer, CaptureSink* capture,
             ReadEnd read_end = ReadEnd::kLinkTimeout);

  // A new handle asks for the instrument. kBusy under the busy fault, kInUse
  // while another handle holds it; otherwise the link starts afresh (timeout
  // 80000000, write and read counts 0, nothing queued) and "open" is logged.
  Outcome open();
  // The open handle went away: logs "close" and forgets the link (nothing when
  // no handle is open).
  void close();
  // The instrument vanished with a handle open: forgets the link, logs nothing.
  void drop();
  // The instrument was unplugged: logs "vanish" and forgets the link.
  void vanish();
  bool is_open() const { return open_; }

  struct WriteAnswer {
    Outcome outcome;
    std::uint32_t taken;   // bytes the instrument took (one fewer under short-write)
    Clock::time_point at;  // when the answer may leave (the link's rate)
    bool disconnect;       // the instrument vanishes: gone before the client hears
  };
  WriteAnswer write(const std::uint8_t* data, std::uint32_t size, Clock::time_point now);

  // A write in two steps, for a transport whose host may give a write up while
  // the link carries it (USB: the device takes packet after packet as it has
  // room). offer_write() is its arrival: it is counted and a write fault fails
  // it at once ("write N" logged); otherwise the link is booked for it.
  // take_write() ends it: the instrument takes the first `received` bytes, all
  // of them unless the host gave up, and logs "write <received>". write() is
  // both at once.
  struct WriteOffer {
    Outcome outcome;                // kFailure: the write failed and takes nothing
    std::uint32_t size = 0;
    bool short_write = false;       // short-write: one received byte is refused
    Clock::time_point arrived;      // when it was offered; its echo is due from then
    Clock::time_point start;        // when the link starts carrying it
    Clock::time_point at;           // when the link has carried it all
    bool disconnect = false;        // the instrument vanishes once it has ended
  };
  WriteOffer offer_write(std::uint32_t size, Clock::time_point now);
  // How many bytes of `offer` the link has carried by `now`.
  std::uint32_t carried_by(const WriteOffer& offer, Clock::time_point now) const;
  // Returns how many of the `received` bytes at `data` the instrument took.
  std::uint32_t take_write(const WriteOffer& offer, const std::uint8_t* data,
                           std::uint32_t received);

  // A read of at most `max` bytes. kFailure under a read fault, answered at
  // once ("read -> error"); otherwise kDone and the read waits until answer
  // bytes are ready or, with ReadEnd::kLinkTimeout, the link timeout has
  // passed: see read_timer().
  Outcome start_read(std::uint32_t max, Clock::time_point now);
  bool reading() const { return reading_; }
  // The client gave up the waiting read: nothing is answered or logged.
  void cancel_read() { reading_ = false; }
  // When the waiting read must be looked at again; nullopt when none waits, or
  // when one waits with ReadEnd::kHost and no bytes are queued.
  std::optional<Clock::time_point> read_timer() const;

  struct ReadAnswer {
    std::size_t parts;     // views filled in
    std::size_t total;     // bytes in them; 0 when the link timeout ended the read
    Clock::time_point at;  // when the answer may leave (the link's rate)
  };
  // The waiting read's answer once it is due, else nullopt. Logs "read -> N"
  // and ends the wait; the bytes stay queued until consume(total), which the
  // transport calls once they have been delivered (not if the client is gone).
  std::optional<ReadAnswer> finish_read(Clock::time_point now, Span (&parts)[kMaxGather]);
  void consume(std::size_t total);

  struct ControlAnswer {
    Outcome outcome;
    std::uint32_t count;      // bytes of output
    std::uint8_t output[4];   // get-timeout: the value, little endian
  };
  // A control request: `input` of `input_size` bytes, room for `output_size`.
  ControlAnswer control(std::uint32_t code, const std::uint8_t* input, std::uint32_t input_size,
                        std::uint32_t output_size);

 private:
  struct Chunk {
    Clock::time_point ready;
    std::vector<std::uint8_t> owned;         // an echo
    const std::uint8_t* shared = nullptr;    // or a view of the file or pattern answer
    std::size_t size = 0;
    std::size_t offset = 0;
    const std::uint8_t* data() const { return (shared != nullptr ? shared : owned.data()) + offset; }
    std::size_t left() const { return size - offset; }
  };

  void reset_link();
  void log(const std::string& line);
  Clock::duration transfer_time(std::size_t bytes) const;

  const Options& options_;
  const std::vector<std::uint8_t>& answer_;
  CaptureSink* capture_;
  ReadEnd read_end_;

  bool open_ = false;
  std::uint32_t writes_ = 0;
  std::uint32_t reads_ = 0;
  std::int32_t timeout_;
  bool answered_ = false;
  std::deque<Chunk> queue_;
  bool reading_ = false;
  std::uint32_t read_max_ = 0;
  Clock::time_point read_deadline_;
  Clock::time_point write_free_;
  Clock::time_point read_free_;
};

}  // namespace velk_emu
