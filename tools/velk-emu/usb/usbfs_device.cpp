#include "usbfs_device.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>

#include "descriptors.h"

namespace velk_emu::usb {
namespace {

// What usbfs offers libusb: a URB of any length, URBs that finished can be
// reaped after a disconnect, zero-length packets. Without bulk continuation
// libusb never splits a transfer, so each transfer is one write or one read of
// the model, as on the other transports.
constexpr std::uint32_t kCapabilities = USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                        USBDEVFS_CAP_REAP_AFTER_DISCONNECT |
                                        USBDEVFS_CAP_ZERO_PACKET;
constexpr std::size_t kSetupSize = 8;
constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kStandardIn = 0x80;
constexpr std::uint8_t kStringType = 3;
constexpr std::uint8_t kLanguages[] = {4, kStringType, 0x09, 0x04};  // US English
// umockdev learns that a client has closed its node only when its worker reads
// the end of the client's socket, which can come after another client's claim
// already waits: a claim that meets a holder looks again for this long before
// it is refused, every kClaimRecheck.
constexpr Clock::duration kClaimGrace = std::chrono::milliseconds(100);
constexpr Clock::duration kClaimRecheck = std::chrono::milliseconds(1);
// request()'s answer for a request that is completed later.
constexpr int kLater = -1;

std::optional<std::uint32_t> read_u32(UMockdevIoctlData* arg) {
  UMockdevIoctlData* value = umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), nullptr);
  if (value == nullptr) return std::nullopt;
  std::uint32_t number = 0;
  std::memcpy(&number, value->data, sizeof number);
  g_object_unref(value);
  return number;
}

bool write_u32(UMockdevIoctlData* arg, std::uint32_t number) {
  UMockdevIoctlData* value = umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), nullptr);
  if (value == nullptr) return false;
  std::memcpy(value->data, &number, sizeof number);
  g_object_unref(value);
  return true;
}

// Answers USBDEVFS_GETDRIVER with the name of the kernel driver that holds the interface.
int name_driver(UMockdevIoctlData* arg) {
  UMockdevIoctlData* value =
      umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
  if (value == nullptr) return EFAULT;
  usbdevfs_getdriver driver{};
  std::memcpy(&driver, value->data, sizeof driver);
  (void)std::snprintf(driver.driver, sizeof driver.driver, "%s", "velk-kernel");
  std::memcpy(value->data, &driver, sizeof driver);
  g_object_unref(value);
  return 0;
}

void complete(UMockdevIoctlClient* handle, int error) {
  umockdev_ioctl_client_complete(handle, error == 0 ? 0 : -1, error);
}

}  // namespace

// A URB the client submitted: its struct usbdevfs_urb and its buffer, copied
// into this process. umockdev writes what changed back into the client when
// the reap that hands the URB over completes, so the buffer of an OUT transfer
// is only ever read.
class Urb {
 public:
  explicit Urb(UMockdevIoctlData* urb) : urb_(urb) {}  // takes over the reference
  Urb(Urb&& other) noexcept : urb_(other.urb_), buffer_(other.buffer_) {
    other.urb_ = other.buffer_ = nullptr;
  }
  Urb& operator=(Urb&&) = delete;
  ~Urb() {
    if (buffer_ != nullptr) g_object_unref(buffer_);
    if (urb_ != nullptr) g_object_unref(urb_);
  }

  UMockdevIoctlData* data() const { return urb_; }
  usbdevfs_urb fields() const {
    usbdevfs_urb fields;
    std::memcpy(&fields, urb_->data, sizeof fields);
    return fields;
  }
  // Brings the buffer over; false when the client's pointer cannot be read.
  bool resolve_buffer(std::size_t size) {
    buffer_ = umockdev_ioctl_data_resolve(urb_, offsetof(usbdevfs_urb, buffer), size, nullptr);
    return buffer_ != nullptr;
  }
  std::uint8_t* buffer() const { return buffer_ == nullptr ? nullptr : buffer_->data; }
  std::size_t size() const {
    return buffer_ == nullptr ? 0 : static_cast<std::size_t>(buffer_->data_len);
  }
  void finish(int status, int actual) {
    usbdevfs_urb changed = fields();
    changed.status = status;
    changed.actual_length = actual;
    std::memcpy(urb_->data, &changed, sizeof changed);
  }

 private:
  UMockdevIoctlData* urb_;
  UMockdevIoctlData* buffer_ = nullptr;
};

// One open descriptor of the node, as umockdev's preload reports it.
struct Client {
  explicit Client(UMockdevIoctlClient* client) : handle(client) { g_object_ref(handle); }
  ~Client() { g_object_unref(handle); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  UMockdevIoctlClient* handle;
  std::uint32_t claims = 0;  // interfaces 0 to 31
  std::deque<Urb> finished;  // for REAPURBNDELAY, in order
};

// A claim that waits for its holder to be seen gone.
struct WaitingClaim {
  Client* client;
  std::uint32_t number;
  Clock::time_point until;
};

// A submitted URB that has not finished.
struct Flight {
  Client* client;
  Urb urb;
  std::optional<Instrument::WriteOffer> offer;  // an OUT transfer that the link carries
  bool waiting = false;  // an IN transfer that the model has not answered yet
  Clock::time_point due{};
  int status = 0;
  int actual = 0;
  bool vanish = false;  // the device vanishes once this has finished (disconnect:K)
};

UsbfsDevice::UsbfsDevice(std::optional<std::vector<std::uint8_t>> serial,
                         std::unique_ptr<CaptureFiles> capture, std::unique_ptr<Instrument> model,
                         bool kernel_driver)
    : serial_(std::move(serial)),
      capture_(std::move(capture)),
      model_(std::move(model)),
      kernel_driver_(kernel_driver) {}

UsbfsDevice::~UsbfsDevice() {
  flights_.clear();
  clients_.clear();
  if (fifo_ >= 0) close(fifo_);
}

bool UsbfsDevice::make_node(const std::string& path, std::string& error) {
  if (unlink(path.c_str()) != 0 || mkfifo(path.c_str(), 0666) != 0 ||
      (fifo_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0) {
    error = "cannot make the node " + path + ": " + std::strerror(errno);
    return false;
  }
  // One page: a single write fills it, so that it stops polling writable.
  (void)fcntl(fifo_, F_SETPIPE_SZ, 4096);
  update_node();
  return true;
}

// umockdev's node is a regular file, which always polls ready, and libusb
// would spin on it: the FIFO instead is kept full, so that it polls writable
// only while a client has a URB to reap.
void UsbfsDevice::update_node() {
  if (fifo_ < 0) return;
  const bool ready = std::any_of(clients_.begin(), clients_.end(),
                                 [](const auto& client) { return !client->finished.empty(); });
  if (ready != fifo_full_) return;
  char bytes[4096] = {};
  if (ready) {
    while (read(fifo_, bytes, sizeof bytes) > 0) {
    }
  } else {
    while (write(fifo_, bytes, sizeof bytes) > 0) {
    }
  }
  fifo_full_ = !ready;
}

void UsbfsDevice::finish(std::list<Flight>::iterator flight, int status, int actual) {
  flight->urb.finish(status, actual);
  flight->client->finished.push_back(std::move(flight->urb));
  flights_.erase(flight);
}

// Hands the model the next read that waits for it; a read fault fails it at once.
void UsbfsDevice::start_reads(Clock::time_point now) {
  if (!model_ || reading_ != nullptr) return;
  for (Flight& flight : flights_) {
    if (!flight.waiting) continue;
    if (model_->start_read(static_cast<std::uint32_t>(flight.urb.size()), now) == Outcome::kDone) {
      reading_ = &flight;
      return;
    }
    flight.waiting = false;
    flight.status = -EPROTO;
    flight.due = now;
  }
}

// Ends the flights of `client` (of every client when null): with `status` for
// the client to reap, or silently when nobody is left to reap them. Bytes
// already in a buffer stay there for the client to count.
void UsbfsDevice::end_flights(const Client* client, std::optional<int> status,
                              Clock::time_point now) {
  for (auto flight = flights_.begin(); flight != flights_.end();) {
    if (client != nullptr && flight->client != client) {
      ++flight;
    } else if (status) {
      cut_short(flight++, *status, now);
    } else {
      stop_reading(*flight);
      end_write_early(*flight, now);
      flight = flights_.erase(flight);
    }
  }
}

void UsbfsDevice::stop_reading(const Flight& flight) {
  if (reading_ != &flight) return;
  model_->cancel_read();
  reading_ = nullptr;
}

void UsbfsDevice::cut_short(std::list<Flight>::iterator flight, int status,
                            Clock::time_point now) {
  stop_reading(*flight);
  end_write_early(*flight, now);
  finish(flight, status, flight->waiting ? 0 : flight->actual);
}

// The device NAKs what it has no room for: a packet is taken whole or not at all.
void UsbfsDevice::end_write_early(Flight& flight, Clock::time_point now) {
  if (!flight.offer) return;
  const std::uint32_t size = flight.offer->size;
  const std::uint32_t carried = model_->carried_by(*flight.offer, now);
  const std::uint32_t received = carried >= size ? size : carried / kMaxPacket * kMaxPacket;
  flight.actual =
      static_cast<int>(model_->take_write(*flight.offer, flight.urb.buffer(), received));
  flight.offer.reset();
}

void UsbfsDevice::answer_waiting_claims(int error) {
  for (const WaitingClaim& waiting : waiting_claims_) complete(waiting.client->handle, error);
  waiting_claims_.clear();
}

void UsbfsDevice::close_link() {
  if (link_ != nullptr) model_->close();
  link_ = nullptr;
}

// umockdev never reports a client that went away, so one that died holding a
// claim is looked for whenever a claim or a transfer could meet it.
void UsbfsDevice::forget_vanished(const Client* asking, Clock::time_point now) {
  for (auto client = clients_.begin(); client != clients_.end();) {
    Client* gone = client->get();
    if (gone == asking || umockdev_ioctl_client_get_connected(gone->handle)) {
      ++client;
      continue;
    }
    end_flights(gone, std::nullopt, now);
    waiting_claims_.erase(
        std::remove_if(waiting_claims_.begin(), waiting_claims_.end(),
                       [&](const WaitingClaim& waiting) { return waiting.client == gone; }),
        waiting_claims_.end());
    if (link_ == gone) close_link();
    client = clients_.erase(client);
  }
  start_reads(now);
}

void UsbfsDevice::client_connected(Clock::time_point now) { forget_vanished(nullptr, now); }

Client& UsbfsDevice::client_of(UMockdevIoctlClient* handle) {
  for (const auto& client : clients_) {
    if (client->handle == handle) return *client;
  }
  clients_.push_back(std::make_unique<Client>(handle));
  return *clients_.back();
}

// `patient`: a holder that may be going is given time (kLater) rather than refused.
int UsbfsDevice::claim(Client& client, std::uint32_t number, Clock::time_point now, bool patient) {
  if (number >= 32) return EINVAL;
  const std::uint32_t bit = 1u << number;
  if ((client.claims & bit) != 0) return 0;
  if (kernel_driver_) return EBUSY;
  forget_vanished(&client, now);
  for (const auto& other : clients_) {
    if ((other->claims & bit) != 0) return patient ? kLater : EBUSY;
  }
  if (number == 0 && model_) {
    if (model_->open() != Outcome::kDone) return EBUSY;
    link_ = &client;
  }
  client.claims |= bit;
  return 0;
}

int UsbfsDevice::release(Client& client, std::uint32_t number, Clock::time_point now) {
  if (number >= 32 || (client.claims & (1u << number)) == 0) return EINVAL;
  client.claims &= ~(1u << number);
  if (number == 0 && link_ == &client) {
    // usbfs kills the transfers of an interface that is let go.
    end_flights(&client, -ENOENT, now);
    close_link();
    start_reads(now);
  }
  return 0;
}

// A control transfer: the string descriptors are all a client asks for
// (libusb reads the others from sysfs). Returns the URB's status.
int UsbfsDevice::control(Flight& flight) const {
  const std::uint8_t* setup = flight.urb.buffer();
  const unsigned type = setup[3];
  const unsigned index = setup[2];
  const auto asked = static_cast<std::size_t>(setup[6] | (setup[7] << 8));
  if (setup[0] != kStandardIn || setup[1] != kGetDescriptor || type != kStringType) return -EPIPE;
  std::vector<std::uint8_t> answer;
  if (index == 0) {
    answer.assign(std::begin(kLanguages), std::end(kLanguages));
  } else if (index == kSerialIndex && serial_) {
    answer = *serial_;
  } else {
    return -EPIPE;
  }
  const std::size_t size = std::min({answer.size(), asked, flight.urb.size() - kSetupSize});
  std::memcpy(flight.urb.buffer() + kSetupSize, answer.data(), size);
  flight.actual = static_cast<int>(size);
  return 0;
}

int UsbfsDevice::submit(Client& client, UMockdevIoctlData* arg, Clock::time_point now) {
  UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
  if (data == nullptr) return EFAULT;
  Urb urb(data);
  const usbdevfs_urb fields = urb.fields();
  if (fields.buffer_length < 0) return EINVAL;
  const auto length = static_cast<std::size_t>(fields.buffer_length);
  if (length > 0 && !urb.resolve_buffer(length)) return EFAULT;
  forget_vanished(&client, now);
  Flight flight{&client, std::move(urb), std::nullopt};
  flight.due = now;
  if (fields.type == USBDEVFS_URB_TYPE_CONTROL) {
    if (fields.endpoint != 0 || flight.urb.size() < kSetupSize) return EINVAL;
    flight.status = control(flight);
  } else if (fields.type == USBDEVFS_URB_TYPE_BULK) {
    if (model_ && fields.endpoint != kBulkOut && fields.endpoint != kBulkIn) return ENOENT;
    // usbfs claims the interface of a bulk endpoint for a client that has not.
    if (const int refused = claim(client, 0, now, false)) return refused;
    if (!model_ || (fields.endpoint == kBulkOut && out_halted_)) {
      // A halted endpoint stalls at its first packet, unseen by the instrument.
      flight.status = -EPIPE;
    } else if (fields.endpoint == kBulkOut) {
      const auto offer = model_->offer_write(static_cast<std::uint32_t>(flight.urb.size()), now);
      if (offer.outcome == Outcome::kDone) {
        // It ends once the link has carried it, or earlier if the host gives up.
        flight.offer = offer;
        flight.due = offer.at;
        flight.vanish = offer.disconnect;
      } else {
        flight.status = -EPIPE;
        out_halted_ = true;
      }
    } else {
      flight.waiting = true;
    }
  } else {
    return EINVAL;
  }
  flights_.push_back(std::move(flight));
  start_reads(now);
  return 0;
}

int UsbfsDevice::discard(Client& client, UMockdevIoctlData* arg, Clock::time_point now) {
  gulong address = 0;
  std::memcpy(&address, arg->data, sizeof address);
  for (auto flight = flights_.begin(); flight != flights_.end(); ++flight) {
    if (flight->client != &client || flight->urb.data()->client_addr != address) continue;
    cut_short(flight, -ENOENT, now);
    start_reads(now);
    return 0;
  }
  return EINVAL;
}

int UsbfsDevice::reap(Client& client, UMockdevIoctlData* arg) {
  if (client.finished.empty()) return gone_ ? ENODEV : EAGAIN;
  UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
  if (slot == nullptr) return EFAULT;
  umockdev_ioctl_data_set_ptr(slot, 0, client.finished.front().data());
  g_object_unref(slot);
  client.finished.pop_front();
  return 0;
}

int UsbfsDevice::request(Client& client, unsigned long request, UMockdevIoctlData* arg,
                         Clock::time_point now) {
  if (request == USBDEVFS_REAPURBNDELAY) return reap(client, arg);
  if (gone_) return ENODEV;
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
      return write_u32(arg, kCapabilities) ? 0 : EFAULT;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
      const auto number = read_u32(arg);
      if (!number) return EFAULT;
      if (request == USBDEVFS_RELEASEINTERFACE) return release(client, *number, now);
      const int error = claim(client, *number, now, true);
      if (error == kLater) waiting_claims_.push_back({&client, *number, now + kClaimGrace});
      return error;
    }
    case USBDEVFS_SUBMITURB:
      return submit(client, arg, now);
    case USBDEVFS_DISCARDURB:
      return discard(client, arg, now);
    case USBDEVFS_GETDRIVER:
      return kernel_driver_ ? name_driver(arg) : ENODATA;
    case USBDEVFS_CLEAR_HALT: {
      const auto endpoint = read_u32(arg);
      if (!endpoint) return EFAULT;
      if (*endpoint == kBulkOut) out_halted_ = false;
      return 0;
    }
    case USBDEVFS_SETINTERFACE:
      return 0;
    default:
      return ENOTTY;
  }
}

void UsbfsDevice::serve(UMockdevIoctlClient* handle, Clock::time_point now) {
  const int error = request(client_of(handle), umockdev_ioctl_client_get_request(handle),
                            umockdev_ioctl_client_get_arg(handle), now);
  if (error != kLater) complete(handle, error);
}

bool UsbfsDevice::advance(Clock::time_point now) {
  for (auto waiting = waiting_claims_.begin(); waiting != waiting_claims_.end();) {
    const int error = claim(*waiting->client, waiting->number, now, now < waiting->until);
    if (error == kLater) {
      ++waiting;
      continue;
    }
    complete(waiting->client->handle, error);
    waiting = waiting_claims_.erase(waiting);
  }
  while (reading_ != nullptr) {
    Span parts[kMaxGather];
    const auto answer = model_->finish_read(now, parts);
    if (!answer) break;
    Flight& flight = *reading_;
    reading_ = nullptr;
    std::uint8_t* at = flight.urb.buffer();
    for (std::size_t i = 0; i < answer->parts; ++i) {
      std::memcpy(at, parts[i].data, parts[i].size);
      at += parts[i].size;
    }
    model_->consume(answer->total);
    flight.waiting = false;
    flight.actual = static_cast<int>(answer->total);
    flight.due = answer->at;
    start_reads(now);
  }
  bool vanish = false;
  for (auto flight = flights_.begin(); flight != flights_.end() && !vanish;) {
    if (flight->waiting || flight->due > now) {
      ++flight;
      continue;
    }
    if (flight->offer) {
      flight->actual = static_cast<int>(
          model_->take_write(*flight->offer, flight->urb.buffer(), flight->offer->size));
    }
    vanish = flight->vanish;
    const int status = flight->status;
    const int actual = flight->actual;
    finish(flight++, status, actual);
  }
  update_node();
  return vanish;
}

std::optional<Clock::time_point> UsbfsDevice::next_due(Clock::time_point now) const {
  std::optional<Clock::time_point> due;
  if (reading_ != nullptr) due = model_->read_timer();
  if (!waiting_claims_.empty() && (!due || now + kClaimRecheck < *due)) due = now + kClaimRecheck;
  for (const Flight& flight : flights_) {
    if (!flight.waiting && (!due || flight.due < *due)) due = flight.due;
  }
  return due;
}

void UsbfsDevice::unplug() {
  if (gone_) return;
  gone_ = true;
  answer_waiting_claims(ENODEV);
  end_flights(nullptr, -ESHUTDOWN, Clock::now());
  if (model_) model_->vanish();
  link_ = nullptr;
  update_node();
}

void UsbfsDevice::end() {
  answer_waiting_claims(ENODEV);
  end_flights(nullptr, std::nullopt, Clock::now());
  close_link();
}

}  // namespace velk_emu::usb
