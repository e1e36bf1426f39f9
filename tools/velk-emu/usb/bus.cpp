#include "bus.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <link.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>

#include "capture_files.h"
#include "instrument.h"

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
constexpr std::uint8_t kMaxDevnum = 127;
constexpr std::size_t kMaxPorts = 7;
constexpr const char* kPreloadLibrary = "libumockdev-preload.so.0";
// umockdev learns that a client has closed its node only when its worker reads
// the end of the client's socket, which can come after another client's claim
// already waits: a claim that meets a holder looks again for this long before
// it is refused, every kClaimRecheck.
constexpr Clock::duration kClaimGrace = std::chrono::milliseconds(100);
constexpr Clock::duration kClaimRecheck = std::chrono::milliseconds(1);
// serve()'s answer for a request that is completed later.
constexpr int kLater = -1;

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

// One open descriptor of a device node, as umockdev's preload reports it.
struct Client {
  explicit Client(UMockdevIoctlClient* client) : handle(client) { g_object_ref(handle); }
  ~Client() { g_object_unref(handle); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  UMockdevIoctlClient* handle;
  std::uint32_t claims = 0;    // interfaces 0 to 31
  std::deque<Urb> finished;    // for REAPURBNDELAY, in order
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
  bool waiting = false;  // an IN transfer that the model has not answered yet
  Clock::time_point due{};
  int status = 0;
  int actual = 0;
  bool vanish = false;  // the device vanishes once this has finished (disconnect:K)
};

struct Device {
  DeviceSpec spec;
  std::string name;     // the port, "1-1.4"
  std::string syspath;  // "/sys/devices/usb1/1-1/1-1.4"
  std::string devnode;  // "/dev/bus/usb/001/003"
  std::vector<std::uint8_t> descriptors;
  bool hub = false;
  bool gone = false;
  int fifo = -1;
  bool fifo_full = false;
  std::unique_ptr<CaptureFiles> capture;
  std::unique_ptr<Instrument> model;
  Client* link = nullptr;      // the claim of interface 0 that holds the model's link
  Flight* reading = nullptr;   // the flight whose read the model is answering
  std::vector<std::unique_ptr<Client>> clients;
  std::list<Flight> flights;   // in the order they were submitted
  std::vector<WaitingClaim> waiting_claims;
};

}  // namespace

struct Bus::State {
  State(const Options& options_in, const std::vector<std::uint8_t>& answer_in)
      : options(options_in), answer(answer_in) {}

  const Options& options;
  const std::vector<std::uint8_t>& answer;
  std::mutex mutex;  // guards all below; the worker serves under it
  bool closed = false;
  UMockdevTestbed* testbed = nullptr;
  UMockdevIoctlBase* handler = nullptr;
  std::string root;
  gulong handlers[2] = {};
  GMainContext* worker = nullptr;  // known from the first request on
  GSource* timer = nullptr;
  std::vector<std::unique_ptr<Device>> devices;  // by id
  std::array<std::uint8_t, 256> last_devnum{};   // per bus
};

namespace {

using State = Bus::State;
using StateRef = std::shared_ptr<State>;

// GLib closures hold the state, so that a request already on its way when the
// bus goes finds it (closed) rather than freed memory.
StateRef* hold(const StateRef& state) { return new StateRef(state); }
void release_state(gpointer data) { delete static_cast<StateRef*>(data); }
void release_closure_state(gpointer data, GClosure*) { release_state(data); }

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

// The FIFO that stands for the node polls writable exactly while a client has
// a URB to reap: umockdev's node is a regular file, which always polls ready,
// and libusb would spin on it.
void update_fifo(Device& device) {
  if (device.fifo < 0) return;
  const bool ready = std::any_of(device.clients.begin(), device.clients.end(),
                                 [](const auto& client) { return !client->finished.empty(); });
  if (ready != device.fifo_full) return;
  char bytes[4096] = {};
  if (ready) {
    while (read(device.fifo, bytes, sizeof bytes) > 0) {
    }
  } else {
    while (write(device.fifo, bytes, sizeof bytes) > 0) {
    }
  }
  device.fifo_full = !ready;
}

void finish(std::list<Flight>& flights, std::list<Flight>::iterator flight, int status, int actual) {
  flight->urb.finish(status, actual);
  flight->client->finished.push_back(std::move(flight->urb));
  flights.erase(flight);
}

// Hands the model the next read that waits for it; a read fault fails it at once.
void start_reads(Device& device, Clock::time_point now) {
  if (!device.model || device.reading != nullptr) return;
  for (Flight& flight : device.flights) {
    if (!flight.waiting) continue;
    const auto size = static_cast<std::uint32_t>(flight.urb.size());
    if (device.model->start_read(size, now) == Outcome::kDone) {
      device.reading = &flight;
      return;
    }
    flight.waiting = false;
    flight.status = -EPROTO;
    flight.due = now;
  }
}

// Ends the flights of `client` (of every client when null): with `status` for
// the client to reap, or silently when there is nobody left to reap them.
void end_flights(Device& device, const Client* client, std::optional<int> status) {
  for (auto flight = device.flights.begin(); flight != device.flights.end();) {
    if (client != nullptr && flight->client != client) {
      ++flight;
      continue;
    }
    if (device.reading == &*flight) {
      device.model->cancel_read();
      device.reading = nullptr;
    }
    const int actual = flight->waiting ? 0 : flight->actual;
    if (status) {
      finish(device.flights, flight++, *status, actual);
    } else {
      flight = device.flights.erase(flight);
    }
  }
}

// umockdev never reports a client that went away, so one that died holding a
// claim is looked for whenever a claim or a transfer could meet it.
void forget_vanished(Device& device, const Client* asking, Clock::time_point now) {
  for (auto client = device.clients.begin(); client != device.clients.end();) {
    if (client->get() == asking || umockdev_ioctl_client_get_connected((*client)->handle)) {
      ++client;
      continue;
    }
    end_flights(device, client->get(), std::nullopt);
    const Client* gone = client->get();
    device.waiting_claims.erase(
        std::remove_if(device.waiting_claims.begin(), device.waiting_claims.end(),
                       [&](const WaitingClaim& waiting) { return waiting.client == gone; }),
        device.waiting_claims.end());
    if (device.link == client->get()) {
      device.model->close();
      device.link = nullptr;
    }
    client = device.clients.erase(client);
  }
  start_reads(device, now);
}

void answer_waiting_claims(Device& device, int error) {
  for (const WaitingClaim& waiting : device.waiting_claims) {
    umockdev_ioctl_client_complete(waiting.client->handle, -1, error);
  }
  device.waiting_claims.clear();
}

void unplug(State& state, Device& device) {
  if (device.gone) return;
  device.gone = true;
  answer_waiting_claims(device, ENODEV);
  end_flights(device, nullptr, -ESHUTDOWN);
  if (device.model) device.model->vanish();
  device.link = nullptr;
  // The uevent reads the device's sysfs entry, so it goes first.
  umockdev_testbed_uevent(state.testbed, device.syspath.c_str(), "remove");
  umockdev_testbed_detach_ioctl(state.testbed, device.devnode.c_str(), nullptr);
  umockdev_testbed_remove_device(state.testbed, device.syspath.c_str());
  update_fifo(device);
}

// `patient`: a holder that may be going is given time (kLater) rather than refused.
int claim(Device& device, Client& client, std::uint32_t number, Clock::time_point now,
          bool patient) {
  if (number >= 32) return EINVAL;
  const std::uint32_t bit = 1u << number;
  if ((client.claims & bit) != 0) return 0;
  forget_vanished(device, &client, now);
  for (const auto& other : device.clients) {
    if ((other->claims & bit) != 0) return patient ? kLater : EBUSY;
  }
  if (number == 0 && device.model) {
    if (device.model->open() != Outcome::kDone) return EBUSY;
    device.link = &client;
  }
  client.claims |= bit;
  return 0;
}

// Answers what is due by `now`: the waiting read once the model has bytes for
// it, then every flight whose time has come, in the order of submission.
void advance(State& state, Device& device, Clock::time_point now) {
  for (auto waiting = device.waiting_claims.begin(); waiting != device.waiting_claims.end();) {
    const int error = claim(device, *waiting->client, waiting->number, now, now < waiting->until);
    if (error == kLater) {
      ++waiting;
      continue;
    }
    umockdev_ioctl_client_complete(waiting->client->handle, error == 0 ? 0 : -1, error);
    waiting = device.waiting_claims.erase(waiting);
  }
  while (device.reading != nullptr) {
    Span parts[kMaxGather];
    const auto answer = device.model->finish_read(now, parts);
    if (!answer) break;
    Flight& flight = *device.reading;
    device.reading = nullptr;
    std::uint8_t* at = flight.urb.buffer();
    for (std::size_t i = 0; i < answer->parts; ++i) {
      std::memcpy(at, parts[i].data, parts[i].size);
      at += parts[i].size;
    }
    device.model->consume(answer->total);
    flight.waiting = false;
    flight.actual = static_cast<int>(answer->total);
    flight.due = answer->at;
    start_reads(device, now);
  }
  for (auto flight = device.flights.begin(); flight != device.flights.end();) {
    if (flight->waiting || flight->due > now) {
      ++flight;
      continue;
    }
    const bool vanish = flight->vanish;
    const int status = flight->status;
    const int actual = flight->actual;
    finish(device.flights, flight++, status, actual);
    if (vanish) {
      unplug(state, device);
      break;
    }
  }
  update_fifo(device);
}

std::optional<Clock::time_point> next_due(const Device& device, Clock::time_point now) {
  std::optional<Clock::time_point> due;
  if (device.reading != nullptr) due = device.model->read_timer();
  if (!device.waiting_claims.empty() && (!due || now + kClaimRecheck < *due)) {
    due = now + kClaimRecheck;
  }
  for (const Flight& flight : device.flights) {
    if (!flight.waiting && (!due || flight.due < *due)) due = flight.due;
  }
  return due;
}

void rearm(State& state, Clock::time_point now) {
  if (state.timer == nullptr) return;
  std::optional<Clock::time_point> due;
  for (const auto& device : state.devices) {
    const auto next = next_due(*device, now);
    if (next && (!due || *next < *due)) due = next;
  }
  // GLib's clock is the monotonic one, as steady_clock is; rounded up, so
  // that the timer never fires before the answer may leave.
  g_source_set_ready_time(
      state.timer,
      due ? std::chrono::ceil<std::chrono::microseconds>(due->time_since_epoch()).count() : -1);
}

gboolean on_timer(gpointer data) {
  State& state = **static_cast<StateRef*>(data);
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.closed) return G_SOURCE_REMOVE;
  const auto now = Clock::now();
  for (const auto& device : state.devices) advance(state, *device, now);
  rearm(state, now);
  return G_SOURCE_CONTINUE;
}

gboolean dispatch_timer(GSource*, GSourceFunc callback, gpointer data) { return callback(data); }
GSourceFuncs kTimerFuncs{nullptr, nullptr, dispatch_timer, nullptr, nullptr, nullptr};

Device* find(State& state, const char* devnode) {
  for (const auto& device : state.devices) {
    if (!device->hub && device->devnode == devnode) return device.get();
  }
  return nullptr;
}

Client& client_of(Device& device, UMockdevIoctlClient* handle) {
  for (const auto& client : device.clients) {
    if (client->handle == handle) return *client;
  }
  device.clients.push_back(std::make_unique<Client>(handle));
  return *device.clients.back();
}

int release(Device& device, Client& client, std::uint32_t number, Clock::time_point now) {
  if (number >= 32 || (client.claims & (1u << number)) == 0) return EINVAL;
  client.claims &= ~(1u << number);
  if (number == 0 && device.link == &client) {
    // usbfs kills the transfers of an interface that is let go.
    end_flights(device, &client, -ENOENT);
    device.model->close();
    device.link = nullptr;
    start_reads(device, now);
  }
  return 0;
}

// A control transfer: the string descriptors are all a client asks for
// (libusb reads the others from sysfs). Returns the URB's status.
int control(const Device& device, Urb& urb, int& actual) {
  const std::uint8_t* setup = urb.buffer();
  const unsigned type = setup[3];
  const unsigned index = setup[2];
  const std::size_t asked = static_cast<std::size_t>(setup[6] | (setup[7] << 8));
  if (setup[0] != kStandardIn || setup[1] != kGetDescriptor || type != kStringType) return -EPIPE;
  std::vector<std::uint8_t> answer;
  if (index == 0) {
    answer.assign(std::begin(kLanguages), std::end(kLanguages));
  } else if (index == kSerialIndex && device.spec.serial) {
    answer = *device.spec.serial;
  } else {
    return -EPIPE;
  }
  const std::size_t size = std::min({answer.size(), asked, urb.size() - kSetupSize});
  std::memcpy(urb.buffer() + kSetupSize, answer.data(), size);
  actual = static_cast<int>(size);
  return 0;
}

int submit(Device& device, Client& client, UMockdevIoctlData* arg, Clock::time_point now) {
  UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
  if (data == nullptr) return EFAULT;
  Urb urb(data);
  const usbdevfs_urb fields = urb.fields();
  if (fields.buffer_length < 0) return EINVAL;
  if (fields.buffer_length > 0 && !urb.resolve_buffer(static_cast<std::size_t>(fields.buffer_length))) {
    return EFAULT;
  }
  forget_vanished(device, &client, now);
  Flight flight{&client, std::move(urb)};
  flight.due = now;
  if (fields.type == USBDEVFS_URB_TYPE_CONTROL) {
    if (fields.endpoint != 0 || flight.urb.size() < kSetupSize) return EINVAL;
    flight.status = control(device, flight.urb, flight.actual);
  } else if (fields.type == USBDEVFS_URB_TYPE_BULK) {
    if (device.model && fields.endpoint != kBulkOut && fields.endpoint != kBulkIn) return ENOENT;
    // usbfs claims the interface of a bulk endpoint for a client that has not.
    if (const int refused = claim(device, client, 0, now, false)) return refused;
    if (!device.model) {
      flight.status = -EPIPE;
    } else if (fields.endpoint == kBulkOut) {
      const auto answer = device.model->write(
          flight.urb.buffer(), static_cast<std::uint32_t>(flight.urb.size()), now);
      flight.status = answer.outcome == Outcome::kDone ? 0 : -EPIPE;
      flight.actual = static_cast<int>(answer.taken);
      flight.due = answer.at;
      flight.vanish = answer.disconnect;
    } else {
      flight.waiting = true;
    }
  } else {
    return EINVAL;
  }
  device.flights.push_back(std::move(flight));
  start_reads(device, now);
  return 0;
}

int discard(Device& device, Client& client, UMockdevIoctlData* arg, Clock::time_point now) {
  gulong address = 0;
  std::memcpy(&address, arg->data, sizeof address);
  for (auto flight = device.flights.begin(); flight != device.flights.end(); ++flight) {
    if (flight->client != &client || flight->urb.data()->client_addr != address) continue;
    if (device.reading == &*flight) {
      device.model->cancel_read();
      device.reading = nullptr;
    }
    // Bytes already in the buffer stay there for the client to count.
    finish(device.flights, flight, -ENOENT, flight->waiting ? 0 : flight->actual);
    start_reads(device, now);
    return 0;
  }
  return EINVAL;
}

int reap(Device& device, Client& client, UMockdevIoctlData* arg) {
  if (client.finished.empty()) return device.gone ? ENODEV : EAGAIN;
  UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
  if (slot == nullptr) return EFAULT;
  umockdev_ioctl_data_set_ptr(slot, 0, client.finished.front().data());
  g_object_unref(slot);
  client.finished.pop_front();
  return 0;
}

int serve(Device& device, Client& client, gulong request, UMockdevIoctlData* arg,
          Clock::time_point now) {
  if (request == USBDEVFS_REAPURBNDELAY) return reap(device, client, arg);
  if (device.gone) return ENODEV;
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
      return write_u32(arg, kCapabilities) ? 0 : EFAULT;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
      const auto number = read_u32(arg);
      if (!number) return EFAULT;
      if (request == USBDEVFS_RELEASEINTERFACE) return release(device, client, *number, now);
      const int error = claim(device, client, *number, now, true);
      if (error == kLater) device.waiting_claims.push_back({&client, *number, now + kClaimGrace});
      return error;
    }
    case USBDEVFS_SUBMITURB:
      return submit(device, client, arg, now);
    case USBDEVFS_DISCARDURB:
      return discard(device, client, arg, now);
    case USBDEVFS_GETDRIVER:
      return ENODATA;  // no kernel driver is bound
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_SETINTERFACE:
      return 0;
    default:
      return ENOTTY;
  }
}

gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* handle, gpointer data) {
  const StateRef& ref = *static_cast<StateRef*>(data);
  State& state = *ref;
  std::lock_guard<std::mutex> lock(state.mutex);
  Device* device = state.closed ? nullptr : find(state, umockdev_ioctl_client_get_devnode(handle));
  if (device == nullptr) {
    umockdev_ioctl_client_complete(handle, -1, ENODEV);
    return TRUE;
  }
  if (state.worker == nullptr) {
    // The timer runs where the requests are served, on umockdev's worker.
    state.worker = g_main_context_ref_thread_default();
    state.timer = g_source_new(&kTimerFuncs, sizeof(GSource));
    g_source_set_callback(state.timer, on_timer, hold(ref), release_state);
    g_source_attach(state.timer, state.worker);
  }
  const auto now = Clock::now();
  Client& client = client_of(*device, handle);
  const int error = serve(*device, client, umockdev_ioctl_client_get_request(handle),
                          umockdev_ioctl_client_get_arg(handle), now);
  if (error != kLater) umockdev_ioctl_client_complete(handle, error == 0 ? 0 : -1, error);
  advance(state, *device, now);
  rearm(state, now);
  return TRUE;
}

void on_client_connected(UMockdevIoctlBase*, UMockdevIoctlClient* handle, gpointer data) {
  State& state = **static_cast<StateRef*>(data);
  std::lock_guard<std::mutex> lock(state.mutex);
  Device* device = state.closed ? nullptr : find(state, umockdev_ioctl_client_get_devnode(handle));
  if (device == nullptr) return;
  const auto now = Clock::now();
  forget_vanished(*device, nullptr, now);
  advance(state, *device, now);
  rearm(state, now);
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char pair[3];
  for (const std::uint8_t byte : bytes) {
    std::snprintf(pair, sizeof pair, "%02x", byte);
    text += pair;
  }
  return text;
}

// The device as umockdev-record would write it down. libusb lists only what
// carries DEVTYPE=usb_device, and reads the descriptors from sysfs.
std::string record(const Device& device, unsigned bus, unsigned devnum) {
  char numbers[160];
  std::snprintf(numbers, sizeof numbers,
                "E: BUSNUM=%03u\nE: DEVNUM=%03u\nA: busnum=%u\\n\nA: devnum=%u\\n\n"
                "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: dev=189:%u\\n\n",
                bus, devnum, bus, devnum, device.spec.vendor, device.spec.product,
                (bus - 1) * 128 + devnum - 1);
  std::string text = "P: " + device.syspath.substr(4) + "\nN: " + device.devnode.substr(5) +
                     "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: DEVNAME=" +
                     device.devnode + "\n" + numbers +
                     "A: speed=480\\n\nA: bConfigurationValue=1\\n\n";
  if (device.spec.serial) {
    if (auto serial = printable_text(*device.spec.serial)) {
      std::string escaped;
      for (const char c : *serial) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
      text += "A: serial=" + escaped + "\\n\n";
    }
  }
  return text + "H: descriptors=" + hex(device.descriptors) + "\n";
}

bool present(const State& state, const std::string& name) {
  return std::any_of(state.devices.begin(), state.devices.end(),
                     [&](const auto& device) { return !device->gone && device->name == name; });
}

bool make_fifo(const std::string& path, Device& device, std::string& error) {
  if (unlink(path.c_str()) != 0 || mkfifo(path.c_str(), 0666) != 0 ||
      (device.fifo = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0) {
    error = "cannot make the node of " + device.name + ": " + std::strerror(errno);
    return false;
  }
  // One page: a single write fills it, so that it stops polling writable.
  (void)fcntl(device.fifo, F_SETPIPE_SZ, 4096);
  update_fifo(device);
  return true;
}

int plug(State& state, const DeviceSpec& spec, bool hub, std::string& error) {
  auto device = std::make_unique<Device>();
  device->spec = spec;
  device->hub = hub;
  device->name = port_name(spec.bus, spec.ports);
  if (state.last_devnum[spec.bus] == 0) state.last_devnum[spec.bus] = 1;  // the root hub's
  if (state.last_devnum[spec.bus] >= kMaxDevnum) {
    error = "bus " + std::to_string(spec.bus) + " has no address left";
    return -1;
  }
  device->descriptors = spec.descriptors  ? *spec.descriptors
                        : hub             ? hub_descriptors()
                                          : instrument_descriptors(spec.vendor, spec.product,
                                                                   spec.serial.has_value());
  if (spec.instrument && !hub) {
    const std::string& dir = state.options.capture_dir;
    if (!dir.empty()) {
      device->capture = std::make_unique<CaptureFiles>();
      if (!make_capture_dir(dir, error) ||
          !device->capture->open(dir, spec.capture_name.empty() ? device->name : spec.capture_name,
                                 error)) {
        return -1;
      }
    }
    device->model = std::make_unique<Instrument>(state.options, state.answer, device->capture.get(),
                                                 ReadEnd::kHost);
  }
  const unsigned devnum = ++state.last_devnum[spec.bus];
  char devnode[32];
  std::snprintf(devnode, sizeof devnode, "/dev/bus/usb/%03u/%03u", unsigned{spec.bus}, devnum);
  device->devnode = devnode;
  device->syspath = "/sys/devices/usb" + std::to_string(spec.bus);
  for (std::size_t depth = 1; depth <= spec.ports.size(); ++depth) {
    device->syspath += "/" + port_name(spec.bus, {spec.ports.begin(), spec.ports.begin() +
                                                      static_cast<std::ptrdiff_t>(depth)});
  }
  // Attached first, so that the device answers from the moment it is listed.
  if (!hub) umockdev_testbed_attach_ioctl(state.testbed, devnode, state.handler, nullptr);
  const bool added = umockdev_testbed_add_from_string(
                         state.testbed, record(*device, spec.bus, devnum).c_str(), nullptr) != 0;
  if (!added) error = "cannot add the device at " + device->name;
  if (!added || (!hub && !make_fifo(state.root + device->devnode, *device, error))) {
    if (!hub) umockdev_testbed_detach_ioctl(state.testbed, devnode, nullptr);
    if (added) umockdev_testbed_remove_device(state.testbed, device->syspath.c_str());
    if (device->fifo >= 0) close(device->fifo);
    return -1;
  }
  state.devices.push_back(std::move(device));
  return static_cast<int>(state.devices.size() - 1);
}

// The path of the library loaded in this process whose path holds `fragment`;
// empty when there is none.
std::string loaded_library(const char* fragment) {
  std::pair<const char*, std::string> search{fragment, {}};
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) {
        auto& [wanted, found] = *static_cast<std::pair<const char*, std::string>*>(data);
        if (std::strstr(info->dlpi_name, wanted) == nullptr) return 0;
        found = info->dlpi_name;
        return 1;
      },
      &search);
  return search.second;
}

}  // namespace

std::string port_name(std::uint8_t bus, const std::vector<std::uint8_t>& ports) {
  std::string name = std::to_string(bus);
  for (std::size_t i = 0; i < ports.size(); ++i) {
    name += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
  }
  return name;
}

Bus::Bus(const Options& options, const std::vector<std::uint8_t>& answer)
    : state_(std::make_shared<State>(options, answer)) {
  (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  state_->testbed = umockdev_testbed_new();
  gchar* root = umockdev_testbed_get_root_dir(state_->testbed);
  state_->root = root;
  g_free(root);
  state_->handler = umockdev_ioctl_base_new();
  state_->handlers[0] =
      g_signal_connect_data(state_->handler, "handle-ioctl", G_CALLBACK(on_ioctl), hold(state_),
                            release_closure_state, GConnectFlags{});
  state_->handlers[1] = g_signal_connect_data(state_->handler, "client-connected",
                                              G_CALLBACK(on_client_connected), hold(state_),
                                              release_closure_state, GConnectFlags{});
}

Bus::~Bus() {
  State& state = *state_;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.closed = true;
    for (const auto& device : state.devices) {
      answer_waiting_claims(*device, ENODEV);
      end_flights(*device, nullptr, std::nullopt);
      if (device->link != nullptr) device->model->close();
      device->link = nullptr;
      device->clients.clear();
      if (device->fifo >= 0) close(device->fifo);
    }
    state.devices.clear();
  }
  for (const gulong handler : state.handlers) g_signal_handler_disconnect(state.handler, handler);
  if (state.timer != nullptr) {
    g_source_destroy(state.timer);
    g_source_unref(state.timer);
  }
  // The testbed lets go of the device nodes and removes its directory.
  g_object_unref(state.testbed);
  g_object_unref(state.handler);
  if (state.worker != nullptr) g_main_context_unref(state.worker);
}

int Bus::add(const DeviceSpec& spec, std::string& error) {
  const std::string name = port_name(spec.bus, spec.ports);
  if (spec.bus == 0 || spec.ports.empty() || spec.ports.size() > kMaxPorts ||
      std::find(spec.ports.begin(), spec.ports.end(), 0) != spec.ports.end()) {
    error = "no such port: " + name;
    return -1;
  }
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (present(*state_, name)) {
    error = "port " + name + " is taken";
    return -1;
  }
  // libusb learns a device's port numbers from its parents, so each port
  // above the device needs a device on it.
  for (std::size_t depth = 1; depth < spec.ports.size(); ++depth) {
    DeviceSpec hub;
    hub.bus = spec.bus;
    hub.ports.assign(spec.ports.begin(), spec.ports.begin() + static_cast<std::ptrdiff_t>(depth));
    hub.instrument = false;
    if (!present(*state_, port_name(hub.bus, hub.ports)) && plug(*state_, hub, true, error) < 0) {
      return -1;
    }
  }
  return plug(*state_, spec, false, error);
}

void Bus::remove(int id) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (id < 0 || static_cast<std::size_t>(id) >= state_->devices.size()) return;
  unplug(*state_, *state_->devices[static_cast<std::size_t>(id)]);
  rearm(*state_, Clock::now());
}

std::string client_preload() {
  std::string preload = kPreloadLibrary;
  if (const std::string runtime = loaded_library("/libasan.so"); !runtime.empty()) {
    preload = runtime + ":" + preload;
  }
  const char* inherited = std::getenv("LD_PRELOAD");
  if (inherited == nullptr || *inherited == 0) return preload;
  // A process that runs under the preload already hands its own on.
  if (std::string(inherited).rfind(preload, 0) == 0) return inherited;
  return preload + ":" + inherited;
}

bool under_preload() { return !loaded_library(kPreloadLibrary).empty(); }

std::vector<std::pair<std::string, std::string>> Bus::client_environment(
    const std::string& usb_ids) const {
  std::vector<std::pair<std::string, std::string>> variables{{"LD_PRELOAD", client_preload()},
                                                             {"UMOCKDEV_DIR", state_->root}};
  if (std::getenv("TARNLINK_USB_IDS") == nullptr) variables.emplace_back("TARNLINK_USB_IDS", usb_ids);
  return variables;
}

const std::string& Bus::root_dir() const { return state_->root; }

}  // namespace velk_emu::usb
