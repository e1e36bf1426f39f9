#include "service.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "capture_files.h"
#include "instrument.h"
#include "platform/posix/device_directory.h"
#include "platform/posix/device_protocol.h"
#include "platform/posix/win32_errors.h"

namespace velk_emu {
namespace {

namespace protocol = tarnlink::device_protocol;
namespace posix = tarnlink::posix;

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// The device protocol's error number for what the instrument answered.
std::uint32_t error_number(Outcome outcome) {
  switch (outcome) {
    case Outcome::kDone: return 0;
    case Outcome::kBusy: return posix::kErrorBusy;
    case Outcome::kInUse: return posix::kErrorSharingViolation;
    case Outcome::kFailure: return posix::kErrorGenFailure;
    case Outcome::kBadParameter: return posix::kErrorInvalidParameter;
    case Outcome::kBufferTooSmall: return posix::kErrorInsufficientBuffer;
    case Outcome::kUnknownRequest: return posix::kErrorInvalidFunction;
  }
  return posix::kErrorInvalidFunction;
}

// How long the poll loop keeps looking without sleeping after something
// happened. An instrument answers within microseconds, and a client in a
// transfer sends its next request within microseconds of the last answer; a
// processor that was let go idle in between takes far longer than that to wake,
// and the link would run at the speed of the machine's wake-ups.
constexpr Clock::duration kStayAwake = std::chrono::microseconds(100);

}  // namespace

// One published instrument: its place in the device directory, the connection
// of the handle that has it open, and its model.
class Endpoint {
 public:
  Endpoint(const Options& options, const std::vector<std::uint8_t>& answer, const std::string& dir,
           std::string name)
      : publication_(dir, std::move(name)),
        instrument_(options, answer, options.capture_dir.empty() ? nullptr : &capture_) {}
  ~Endpoint() { unpublish(); }
  Endpoint(const Endpoint&) = delete;
  Endpoint& operator=(const Endpoint&) = delete;

  const std::string& path() const { return publication_.path(); }
  bool published() const { return publication_.published(); }

  bool publish(int dir_fd, const std::string& capture_dir, std::string& error);
  void unpublish();

  void add_poll(std::vector<pollfd>& fds) {
    client_index_ = listen_index_ = -1;
    if (!published()) return;
    if (client_fd_ >= 0) {
      client_index_ = static_cast<int>(fds.size());
      fds.push_back({client_fd_, static_cast<short>(idle() ? POLLIN : 0), 0});
    }
    listen_index_ = static_cast<int>(fds.size());
    fds.push_back({publication_.listen_fd(), POLLIN, 0});
  }
  void handle(const std::vector<pollfd>& fds, Clock::time_point now);
  std::optional<Clock::time_point> next_timer() const {
    return responding_ ? std::optional<Clock::time_point>(respond_at_) : instrument_.read_timer();
  }

 private:
  // Ready for the next request: none being read and no response held back.
  bool idle() const { return !responding_ && !instrument_.reading(); }
  void accept_clients();
  void settle_hangup();
  void receive_request(Clock::time_point now);
  void on_write(const protocol::Request& request, Clock::time_point now);
  void on_read(const protocol::Request& request, Clock::time_point now);
  void on_control(const protocol::Request& request);
  void finish_read(Clock::time_point now);
  bool respond(const protocol::Header& header, const Span* data, std::size_t parts,
               Clock::time_point at, Clock::time_point now);
  void flush_pending();
  void drop_client(bool log_close);
  void vanish();

  posix::Publication publication_;
  int client_fd_ = -1;
  int client_index_ = -1;
  int listen_index_ = -1;
  CaptureFiles capture_;
  Instrument instrument_;

  // The connection's pacing; reset when it ends.
  std::vector<std::uint8_t> pending_;  // a response held back until respond_at_
  bool responding_ = false;
  Clock::time_point respond_at_;
  bool vanish_after_response_ = false;
};

bool Endpoint::publish(int dir_fd, const std::string& capture_dir, std::string& error) {
  if (!publication_.publish(dir_fd, error)) return false;
  // Only once NAME is ours: its capture files may be another service's until then.
  if (!capture_dir.empty() && !capture_.open(capture_dir, publication_.name(), error)) {
    unpublish();
    return false;
  }
  return true;
}

void Endpoint::unpublish() {
  if (client_fd_ >= 0) drop_client(false);
  publication_.withdraw();
  capture_.close();
}

void Endpoint::drop_client(bool log_close) {
  close_fd(client_fd_);
  pending_.clear();
  responding_ = false;
  vanish_after_response_ = false;
  if (log_close) {
    instrument_.close();
  } else {
    instrument_.drop();
  }
}

void Endpoint::vanish() {
  drop_client(false);
  unpublish();
}

void Endpoint::handle(const std::vector<pollfd>& fds, Clock::time_point now) {
  if (client_index_ >= 0) {
    const short events = fds[static_cast<std::size_t>(client_index_)].revents;
    if (idle() && (events & (POLLIN | POLLHUP | POLLERR)) != 0) {
      receive_request(now);
    } else if ((events & (POLLHUP | POLLERR)) != 0) {
      drop_client(true);
    }
  }
  if (!published()) return;
  if (instrument_.reading()) finish_read(now);
  if (responding_ && respond_at_ <= now) flush_pending();
  if (published() && listen_index_ >= 0 &&
      (fds[static_cast<std::size_t>(listen_index_)].revents & POLLIN) != 0) {
    accept_clients();
  }
}

// A client may close and open again faster than the poll loop comes round;
// its hangup is already known and must count before the new open is judged.
void Endpoint::settle_hangup() {
  while (client_fd_ >= 0) {
    pollfd entry{client_fd_, 0, 0};
    if (poll(&entry, 1, 0) <= 0 || (entry.revents & (POLLHUP | POLLERR)) == 0) return;
    if (!idle()) {
      drop_client(true);
      return;
    }
    receive_request(Clock::now());
  }
}

void Endpoint::accept_clients() {
  for (;;) {
    const int fd = accept4(publication_.listen_fd(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    settle_hangup();
    const Outcome outcome = instrument_.open();
    const protocol::Header header =
        protocol::encode_response(protocol::ResponseType::kOpen, error_number(outcome), 0);
    if (outcome != Outcome::kDone) {
      send(fd, header.data(), header.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      ::close(fd);
      continue;
    }
    client_fd_ = fd;
    if (send(fd, header.data(), header.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) drop_client(true);
  }
}

void Endpoint::receive_request(Clock::time_point now) {
  static std::vector<std::uint8_t> packet(protocol::kMaxPacket);
  iovec part{packet.data(), packet.size()};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  const ssize_t got = recvmsg(client_fd_, &message, MSG_DONTWAIT);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
  protocol::Request request;
  if (got <= 0 || (message.msg_flags & MSG_TRUNC) != 0 ||
      !protocol::decode_request(packet.data(), static_cast<std::size_t>(got), request)) {
    // End of the connection, or a client that does not speak the protocol.
    drop_client(true);
    return;
  }
  switch (request.type) {
    case protocol::RequestType::kWrite: on_write(request, now); break;
    case protocol::RequestType::kRead: on_read(request, now); break;
    case protocol::RequestType::kControl: on_control(request); break;
  }
}

void Endpoint::on_write(const protocol::Request& request, Clock::time_point now) {
  const Instrument::WriteAnswer answer = instrument_.write(request.data, request.size, now);
  vanish_after_response_ = answer.disconnect;
  // Gone from the directory before the client hears that its write went through.
  if (vanish_after_response_ && answer.at <= now) publication_.withdraw();
  const protocol::Header header = protocol::encode_response(
      protocol::ResponseType::kWrite, error_number(answer.outcome), answer.taken);
  if (respond(header, nullptr, 0, answer.at, now) && vanish_after_response_ && !responding_) {
    vanish();
  }
}

void Endpoint::on_read(const protocol::Request& request, Clock::time_point now) {
  const Outcome outcome = instrument_.start_read(request.first, now);
  if (outcome != Outcome::kDone) {
    respond(protocol::encode_response(protocol::ResponseType::kRead, error_number(outcome), 0),
            nullptr, 0, now, now);
    return;
  }
  finish_read(now);
}

void Endpoint::finish_read(Clock::time_point now) {
  Span parts[kMaxGather];
  const std::optional<Instrument::ReadAnswer> answer = instrument_.finish_read(now, parts);
  if (!answer) return;
  const protocol::Header header = protocol::encode_response(
      protocol::ResponseType::kRead, 0, static_cast<std::uint32_t>(answer->total));
  // Consuming after sending is safe: respond() copies what it holds back.
  if (respond(header, parts, answer->parts, answer->at, now)) instrument_.consume(answer->total);
}

void Endpoint::on_control(const protocol::Request& request) {
  const Instrument::ControlAnswer answer =
      instrument_.control(request.first, request.data, request.size, request.second);
  const Span part{answer.output, answer.count};
  const auto now = Clock::now();
  respond(protocol::encode_response(protocol::ResponseType::kControl, error_number(answer.outcome),
                                    answer.count),
          &part, answer.count == 0 ? 0 : 1, now, now);
}

bool Endpoint::respond(const protocol::Header& header, const Span* data, std::size_t parts,
                       Clock::time_point at, Clock::time_point now) {
  if (at > now) {
    pending_.assign(header.begin(), header.end());
    for (std::size_t i = 0; i < parts; ++i) {
      pending_.insert(pending_.end(), data[i].data, data[i].data + data[i].size);
    }
    respond_at_ = at;
    responding_ = true;
    return true;
  }
  // The answer's bytes go out from where the instrument keeps them.
  iovec all[kMaxGather + 1];
  all[0] = {const_cast<std::uint8_t*>(header.data()), header.size()};
  for (std::size_t i = 0; i < parts; ++i) {
    all[i + 1] = {const_cast<std::uint8_t*>(data[i].data), data[i].size};
  }
  msghdr message{};
  message.msg_iov = all;
  message.msg_iovlen = parts + 1;
  // A client that does not take its answers is as good as gone.
  if (sendmsg(client_fd_, &message, MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
    drop_client(true);
    return false;
  }
  return true;
}

void Endpoint::flush_pending() {
  responding_ = false;
  if (vanish_after_response_) publication_.withdraw();
  if (send(client_fd_, pending_.data(), pending_.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
    drop_client(true);
    return;
  }
  pending_.clear();
  if (vanish_after_response_) vanish();
}

Service::Service(Options options, std::vector<std::uint8_t> answer)
    : options_(std::move(options)), answer_(std::move(answer)) {}

Service::~Service() { unpublish(); }

bool Service::publish(std::string& error) {
  dir_ = options_.dir.empty() ? posix::device_directory() : options_.dir;
  dir_fd_ = posix::open_service_directory(dir_, error);
  if (dir_fd_ < 0) return false;
  if (!options_.capture_dir.empty() && !make_capture_dir(options_.capture_dir, error)) return false;
  for (const std::string& name : options_.devices) {
    endpoints_.push_back(std::make_unique<Endpoint>(options_, answer_, dir_, name));
    if (!endpoints_.back()->publish(dir_fd_, options_.capture_dir, error)) {
      unpublish();
      return false;
    }
  }
  return true;
}

std::vector<std::string> Service::device_paths() const {
  std::vector<std::string> paths;
  for (const auto& endpoint : endpoints_) paths.push_back(endpoint->path());
  return paths;
}

bool Service::run(int stop_fd, std::string& error) {
  std::vector<pollfd> fds;
  Clock::time_point last_event;
  for (;;) {
    fds.clear();
    fds.push_back({stop_fd, POLLIN, 0});
    std::optional<Clock::time_point> wake;
    for (const auto& endpoint : endpoints_) {
      endpoint->add_poll(fds);
      if (const auto timer = endpoint->next_timer(); timer && (!wake || *timer < *wake)) {
        wake = timer;
      }
    }
    // A timer to the nanosecond: at --rate a 4096-byte block lasts about 100 us,
    // and rounding each wait up to a millisecond would slow the link tenfold.
    timespec wait{};
    if (wake) {
      const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(*wake - Clock::now());
      const long long ns = std::clamp<long long>(left.count(), 0, 1000000000LL << 20);
      wait.tv_sec = static_cast<time_t>(ns / 1000000000);
      wait.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    timespec no_wait{};
    // A timer means an answer is being held back (--rate, --answer-delay) or a
    // read waits: nothing is expected before it, so the loop sleeps until then.
    const bool awake = !wake && Clock::now() - last_event < kStayAwake;
    const int ready =
        ppoll(fds.data(), fds.size(), awake ? &no_wait : wake ? &wait : nullptr, nullptr);
    if (ready < 0) {
      if (errno == EINTR) continue;
      error = failure("poll");
      return false;
    }
    const auto now = Clock::now();
    if (ready > 0) last_event = now;
    for (const auto& endpoint : endpoints_) endpoint->handle(fds, now);
    if ((fds[0].revents & POLLIN) != 0) return true;
  }
}

void Service::unpublish() {
  endpoints_.clear();
  close_fd(dir_fd_);
}

}  // namespace velk_emu
