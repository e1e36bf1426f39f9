#include "service.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <optional>

#include "device/contract.h"
#include "platform/posix/device_directory.h"
#include "platform/posix/device_protocol.h"
#include "platform/posix/win32_errors.h"

namespace velk_emu {
namespace {

namespace protocol = tarnlink::device_protocol;
namespace contract = tarnlink::contract;
namespace posix = tarnlink::posix;
using Clock = std::chrono::steady_clock;

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

// Larger for every instrument published later, also across processes that
// publish one after another, so that listing order is order of appearance.
std::uint64_t next_appearance_key() {
  static std::uint64_t last = 0;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::uint64_t key = static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
                      static_cast<std::uint64_t>(now.tv_nsec);
  if (key <= last) key = last + 1;
  last = key;
  return key;
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Answer bytes waiting to be read: either owned (an echo) or a view of the
// process's one file or pattern answer.
struct Chunk {
  Clock::time_point ready;
  std::vector<std::uint8_t> owned;
  const std::uint8_t* shared = nullptr;
  std::size_t size = 0;
  std::size_t offset = 0;
  const std::uint8_t* data() const { return (shared != nullptr ? shared : owned.data()) + offset; }
  std::size_t left() const { return size - offset; }
};

constexpr std::size_t kMaxGather = 64;

// How far a rate-limited link may stand idle, between a response and the next
// request, and still count as streaming. A link keeps moving while the host
// turns round; charging that gap (this process's own wake-up included) as link
// time would make the emulated link slower than its rate. Over any stretch of
// time the link carries at most its rate's worth plus this much.
constexpr Clock::duration kRateSlack = std::chrono::milliseconds(2);

// How long the poll loop keeps looking without sleeping after something
// happened. An instrument answers within microseconds, and a client in a
// transfer sends its next request within microseconds of the last answer; a
// processor that was let go idle in between takes far longer than that to wake,
// and the link would run at the speed of the machine's wake-ups.
constexpr Clock::duration kStayAwake = std::chrono::microseconds(100);

}  // namespace

class Instrument {
 public:
  Instrument(const Options& options, const std::vector<std::uint8_t>& answer, std::string name,
             std::string path)
      : options_(options), answer_(answer), name_(std::move(name)), path_(std::move(path)) {}
  ~Instrument() { unpublish(); }
  Instrument(const Instrument&) = delete;
  Instrument& operator=(const Instrument&) = delete;

  const std::string& path() const { return path_; }
  bool published() const { return listen_fd_ >= 0; }

  bool publish(int dir_fd, int capture_fd, std::string& error);
  void unpublish();
  // Takes the instrument out of the directory; an open handle stays connected.
  void withdraw();

  void add_poll(std::vector<pollfd>& fds) {
    client_index_ = listen_index_ = -1;
    if (!published()) return;
    if (client_fd_ >= 0) {
      client_index_ = static_cast<int>(fds.size());
      fds.push_back({client_fd_, static_cast<short>(state_ == State::kIdle ? POLLIN : 0), 0});
    }
    listen_index_ = static_cast<int>(fds.size());
    fds.push_back({listen_fd_, POLLIN, 0});
  }
  void handle(const std::vector<pollfd>& fds, Clock::time_point now);
  std::optional<Clock::time_point> next_timer() const;

 private:
  enum class State { kIdle, kReading, kResponding };

  void accept_clients();
  void settle_hangup();
  void receive_request(Clock::time_point now);
  void on_write(const protocol::Request& request, Clock::time_point now);
  void on_read(const protocol::Request& request, Clock::time_point now);
  void on_control(const protocol::Request& request);
  void finish_read(Clock::time_point now);
  bool respond(const protocol::Header& header, const iovec* data, std::size_t parts,
               Clock::time_point at, Clock::time_point now);
  void flush_pending();
  void drop_client(bool log_close);
  void reset_link();
  void vanish();
  void log(const std::string& line);
  Clock::duration transfer_time(std::size_t bytes) const {
    return std::chrono::nanoseconds(bytes * 1000000000ull / options_.rate);
  }

  const Options& options_;
  const std::vector<std::uint8_t>& answer_;
  std::string name_;
  std::string path_;
  int dir_fd_ = -1;
  int listen_fd_ = -1;
  int lock_fd_ = -1;
  int client_fd_ = -1;
  int bin_fd_ = -1;
  int log_fd_ = -1;
  int client_index_ = -1;
  int listen_index_ = -1;

  // The open handle's state; reset at every open.
  State state_ = State::kIdle;
  std::uint32_t writes_ = 0;
  std::uint32_t reads_ = 0;
  std::int32_t timeout_ = contract::kHandshakeTimeout;
  bool answered_ = false;
  std::deque<Chunk> queue_;
  std::uint32_t read_max_ = 0;
  Clock::time_point read_deadline_;
  std::vector<std::uint8_t> pending_;  // a response held back by --rate
  Clock::time_point respond_at_;
  bool vanish_after_response_ = false;
  Clock::time_point write_free_;
  Clock::time_point read_free_;
};

bool Instrument::publish(int dir_fd, int capture_fd, std::string& error) {
  dir_fd_ = dir_fd;
  const std::string lock_name = name_ + posix::kPresenceSuffix;
  lock_fd_ = openat(dir_fd, lock_name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (lock_fd_ < 0) {
    error = failure("cannot create " + path_ + posix::kPresenceSuffix);
    return false;
  }
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(lock_fd_, F_OFD_SETLK, &lock) != 0) {
    error = errno == EAGAIN || errno == EACCES ? path_ + " is already served"
                                               : failure("cannot lock " + path_ + posix::kPresenceSuffix);
    close_fd(lock_fd_);
    return false;
  }
  // The lock is ours, so whatever sits at the socket's name is a leftover.
  struct stat st {};
  if (fstatat(dir_fd, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      error = path_ + " exists and is not a socket";
      close_fd(lock_fd_);
      return false;
    }
    unlinkat(dir_fd, name_.c_str(), 0);
  }
  const std::string key = std::to_string(next_appearance_key()) + "\n";
  if (ftruncate(lock_fd_, 0) != 0 ||
      pwrite(lock_fd_, key.data(), key.size(), 0) != static_cast<ssize_t>(key.size())) {
    error = failure("cannot write " + path_ + posix::kPresenceSuffix);
    close_fd(lock_fd_);
    return false;
  }
  sockaddr_un address{};
  socklen_t length = 0;
  int path_dir_fd = -1;
  if (posix::socket_address(path_, address, length, path_dir_fd) != 0) {
    error = path_ + ": path too long for a socket";
    close_fd(lock_fd_);
    return false;
  }
  listen_fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  // The socket file takes its mode from the umask: only its owner may connect.
  const mode_t old_mask = umask(077);
  const bool bound =
      listen_fd_ >= 0 && bind(listen_fd_, reinterpret_cast<const sockaddr*>(&address), length) == 0;
  umask(old_mask);
  if (!bound || listen(listen_fd_, 16) != 0) {
    error = failure("cannot serve " + path_);
    close_fd(path_dir_fd);
    close_fd(listen_fd_);
    unlinkat(dir_fd, lock_name.c_str(), 0);
    close_fd(lock_fd_);
    return false;
  }
  close_fd(path_dir_fd);
  if (capture_fd >= 0) {
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC;
    bin_fd_ = openat(capture_fd, (name_ + ".bin").c_str(), flags, 0644);
    log_fd_ = openat(capture_fd, (name_ + ".log").c_str(), flags, 0644);
    if (bin_fd_ < 0 || log_fd_ < 0) {
      error = failure("cannot create the capture files of " + name_);
      unpublish();
      return false;
    }
  }
  return true;
}

void Instrument::withdraw() {
  if (listen_fd_ >= 0) {
    // The socket goes first: a listed instrument always has its presence file.
    unlinkat(dir_fd_, name_.c_str(), 0);
    unlinkat(dir_fd_, (name_ + posix::kPresenceSuffix).c_str(), 0);
    close_fd(listen_fd_);
  }
  close_fd(lock_fd_);
}

void Instrument::unpublish() {
  if (client_fd_ >= 0) drop_client(false);
  withdraw();
  close_fd(bin_fd_);
  close_fd(log_fd_);
}

void Instrument::log(const std::string& line) {
  if (log_fd_ < 0) return;
  const std::string text = line + "\n";
  // One write per line keeps the log whole at every moment a reader looks.
  if (::write(log_fd_, text.data(), text.size()) < 0) close_fd(log_fd_);
}

void Instrument::reset_link() {
  state_ = State::kIdle;
  writes_ = reads_ = 0;
  timeout_ = contract::kHandshakeTimeout;
  answered_ = false;
  queue_.clear();
  pending_.clear();
  vanish_after_response_ = false;
  write_free_ = read_free_ = Clock::time_point{};
}

void Instrument::drop_client(bool log_close) {
  close_fd(client_fd_);
  reset_link();
  if (log_close) log("close");
}

void Instrument::vanish() {
  drop_client(false);
  unpublish();
}

void Instrument::handle(const std::vector<pollfd>& fds, Clock::time_point now) {
  if (client_index_ >= 0) {
    const short events = fds[static_cast<std::size_t>(client_index_)].revents;
    if (state_ == State::kIdle && (events & (POLLIN | POLLHUP | POLLERR)) != 0) {
      receive_request(now);
    } else if ((events & (POLLHUP | POLLERR)) != 0) {
      drop_client(true);
    }
  }
  if (!published()) return;
  if (state_ == State::kReading) finish_read(now);
  if (state_ == State::kResponding && respond_at_ <= now) flush_pending();
  if (published() && listen_index_ >= 0 &&
      (fds[static_cast<std::size_t>(listen_index_)].revents & POLLIN) != 0) {
    accept_clients();
  }
}

std::optional<Clock::time_point> Instrument::next_timer() const {
  if (state_ == State::kResponding) return respond_at_;
  if (state_ != State::kReading) return std::nullopt;
  if (!queue_.empty()) return std::min(read_deadline_, queue_.front().ready);
  return read_deadline_;
}

// A client may close and open again faster than the poll loop comes round;
// its hangup is already known and must count before the new open is judged.
void Instrument::settle_hangup() {
  while (client_fd_ >= 0) {
    pollfd entry{client_fd_, 0, 0};
    if (poll(&entry, 1, 0) <= 0 || (entry.revents & (POLLHUP | POLLERR)) == 0) return;
    if (state_ != State::kIdle) {
      drop_client(true);
      return;
    }
    receive_request(Clock::now());
  }
}

void Instrument::accept_clients() {
  for (;;) {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    settle_hangup();
    std::uint32_t refusal = 0;
    if (options_.faults.busy) {
      refusal = posix::kErrorBusy;
    } else if (client_fd_ >= 0) {
      refusal = posix::kErrorSharingViolation;
    }
    const protocol::Header header = protocol::encode_response(protocol::ResponseType::kOpen, refusal, 0);
    if (refusal != 0) {
      send(fd, header.data(), header.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      ::close(fd);
      continue;
    }
    client_fd_ = fd;
    reset_link();
    log("open");
    if (send(fd, header.data(), header.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) drop_client(true);
  }
}

void Instrument::receive_request(Clock::time_point now) {
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

void Instrument::on_write(const protocol::Request& request, Clock::time_point now) {
  ++writes_;
  // Checked first: building the line for nobody would cost every block of a transfer.
  if (log_fd_ >= 0) log("write " + std::to_string(request.size));
  if (listed(options_.faults.write_errors, writes_)) {
    respond(protocol::encode_response(protocol::ResponseType::kWrite, posix::kErrorGenFailure, 0),
            nullptr, 0, now, now);
    return;
  }
  std::uint32_t taken = request.size;
  if (taken > 0 && listed(options_.faults.short_writes, writes_)) --taken;
  if (bin_fd_ >= 0 && taken > 0 && ::write(bin_fd_, request.data, taken) < 0) close_fd(bin_fd_);
  const Clock::time_point ready = now + options_.answer_delay;
  if (options_.answer == AnswerMode::kEcho && taken > 0) {
    Chunk chunk;
    chunk.ready = ready;
    chunk.owned.assign(request.data, request.data + taken);
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
  Clock::time_point at = now;
  if (options_.rate != 0) {
    write_free_ = std::max(now - kRateSlack, write_free_) + transfer_time(request.size);
    at = write_free_;
  }
  vanish_after_response_ = listed(options_.faults.disconnects, writes_);
  // Gone from the directory before the client hears that its write went through.
  if (vanish_after_response_ && at <= now) withdraw();
  if (respond(protocol::encode_response(protocol::ResponseType::kWrite, 0, taken), nullptr, 0, at,
              now) &&
      vanish_after_response_ && state_ == State::kIdle) {
    vanish();
  }
}

void Instrument::on_read(const protocol::Request& request, Clock::time_point now) {
  ++reads_;
  if (listed(options_.faults.read_errors, reads_)) {
    log("read -> error");
    respond(protocol::encode_response(protocol::ResponseType::kRead, posix::kErrorGenFailure, 0),
            nullptr, 0, now, now);
    return;
  }
  state_ = State::kReading;
  read_max_ = request.first;
  read_deadline_ = now + std::chrono::nanoseconds(std::int64_t{timeout_} * contract::kTimeoutUnitNs);
  finish_read(now);
}

void Instrument::finish_read(Clock::time_point now) {
  const bool data_ready = !queue_.empty() && queue_.front().ready <= now;
  if (!data_ready && read_deadline_ > now) return;
  iovec parts[kMaxGather];
  std::size_t count = 0;
  std::size_t total = 0;
  for (auto chunk = queue_.begin();
       chunk != queue_.end() && count < kMaxGather && total < read_max_ && chunk->ready <= now;
       ++chunk) {
    const std::size_t take = std::min<std::size_t>(chunk->left(), read_max_ - total);
    parts[count++] = {const_cast<std::uint8_t*>(chunk->data()), take};
    total += take;
  }
  if (log_fd_ >= 0) log("read -> " + std::to_string(total));
  Clock::time_point at = now;
  if (options_.rate != 0 && total != 0) {
    read_free_ = std::max(now - kRateSlack, read_free_) + transfer_time(total);
    at = read_free_;
  }
  const protocol::Header header =
      protocol::encode_response(protocol::ResponseType::kRead, 0, static_cast<std::uint32_t>(total));
  state_ = State::kIdle;
  // Consuming after sending is safe: respond() copies what it holds back.
  if (!respond(header, parts, count, at, now)) return;
  while (total > 0) {
    Chunk& chunk = queue_.front();
    const std::size_t take = std::min(chunk.left(), total);
    chunk.offset += take;
    total -= take;
    if (chunk.left() == 0) queue_.pop_front();
  }
}

void Instrument::on_control(const protocol::Request& request) {
  std::uint32_t error = 0;
  std::uint8_t output[4];
  std::uint32_t count = 0;
  if (request.first == contract::kIoctlSetTimeout) {
    const auto value = request.size == 4 ? static_cast<std::int32_t>(protocol::get_u32(request.data)) : -1;
    if (value < 0) {
      error = posix::kErrorInvalidParameter;
    } else {
      timeout_ = value;
      log("set-timeout " + std::to_string(value));
    }
  } else if (request.first == contract::kIoctlGetTimeout) {
    if (options_.faults.empty_readback) {
      log("get-timeout -> empty");
    } else if (request.second < 4) {
      error = posix::kErrorInsufficientBuffer;
    } else {
      const std::int32_t value = options_.faults.readback.value_or(timeout_);
      protocol::put_u32(output, static_cast<std::uint32_t>(value));
      count = 4;
      log("get-timeout -> " + std::to_string(value));
    }
  } else {
    error = posix::kErrorInvalidFunction;
  }
  iovec part{output, count};
  const auto now = Clock::now();
  respond(protocol::encode_response(protocol::ResponseType::kControl, error, count), &part,
          count == 0 ? 0 : 1, now, now);
}

bool Instrument::respond(const protocol::Header& header, const iovec* data, std::size_t parts,
                         Clock::time_point at, Clock::time_point now) {
  if (at > now) {
    pending_.assign(header.begin(), header.end());
    for (std::size_t i = 0; i < parts; ++i) {
      const auto* bytes = static_cast<const std::uint8_t*>(data[i].iov_base);
      pending_.insert(pending_.end(), bytes, bytes + data[i].iov_len);
    }
    respond_at_ = at;
    state_ = State::kResponding;
    return true;
  }
  iovec all[kMaxGather + 1];
  all[0] = {const_cast<std::uint8_t*>(header.data()), header.size()};
  std::copy(data, data + parts, all + 1);
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

void Instrument::flush_pending() {
  state_ = State::kIdle;
  if (vanish_after_response_) withdraw();
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
  if (mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST) {
    error = failure("cannot create " + dir_);
    return false;
  }
  dir_fd_ = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd_ < 0) {
    error = failure("cannot open " + dir_);
    return false;
  }
  int capture_fd = -1;
  if (!options_.capture_dir.empty()) {
    if (mkdir(options_.capture_dir.c_str(), 0700) != 0 && errno != EEXIST) {
      error = failure("cannot create " + options_.capture_dir);
      return false;
    }
    capture_fd = open(options_.capture_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (capture_fd < 0) {
      error = failure("cannot open " + options_.capture_dir);
      return false;
    }
  }
  bool ok = true;
  for (const std::string& name : options_.devices) {
    instruments_.push_back(
        std::make_unique<Instrument>(options_, answer_, name, posix::join_device_path(dir_, name)));
    if (!instruments_.back()->publish(dir_fd_, capture_fd, error)) {
      ok = false;
      break;
    }
  }
  close_fd(capture_fd);
  if (!ok) unpublish();
  return ok;
}

std::vector<std::string> Service::device_paths() const {
  std::vector<std::string> paths;
  for (const auto& instrument : instruments_) paths.push_back(instrument->path());
  return paths;
}

bool Service::run(int stop_fd, std::string& error) {
  std::vector<pollfd> fds;
  Clock::time_point last_event;
  for (;;) {
    fds.clear();
    fds.push_back({stop_fd, POLLIN, 0});
    std::optional<Clock::time_point> wake;
    for (const auto& instrument : instruments_) {
      instrument->add_poll(fds);
      if (const auto timer = instrument->next_timer(); timer && (!wake || *timer < *wake)) {
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
    for (const auto& instrument : instruments_) instrument->handle(fds, now);
    if ((fds[0].revents & POLLIN) != 0) return true;
  }
}

void Service::unpublish() {
  instruments_.clear();
  close_fd(dir_fd_);
}

bool load_answer(const Options& options, std::vector<std::uint8_t>& answer, std::string& error) {
  answer.clear();
  if (options.answer == AnswerMode::kPattern) {
    answer.resize(options.pattern_size);
    for (std::size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<std::uint8_t>(i % 251);
  } else if (options.answer == AnswerMode::kFile) {
    std::ifstream file(options.answer_file, std::ios::binary);
    if (!file) {
      error = failure("cannot read answer file " + options.answer_file);
      return false;
    }
    answer.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (file.bad()) {
      error = "cannot read answer file " + options.answer_file;
      return false;
    }
  }
  return true;
}

}  // namespace velk_emu
