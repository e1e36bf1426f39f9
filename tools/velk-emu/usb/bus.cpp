#include "bus.h"

#include <link.h>
#include <sys/prctl.h>
#include <umockdev.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/utf8.h"
#include "capture_files.h"
#include "instrument.h"
#include "usbfs_device.h"

namespace velk_emu::usb {
namespace {

constexpr std::uint8_t kMaxDevnum = 127;
constexpr std::size_t kMaxPorts = 7;
constexpr const char* kPreloadLibrary = "libumockdev-preload.so.0";

// A device in the testbed; a hub only has its descriptors.
struct Device {
  std::string name;     // the port, "1-1.4"
  std::string syspath;  // "/sys/devices/usb1/1-1/1-1.4"
  std::string devnode;  // "/dev/bus/usb/001/003"
  std::unique_ptr<UsbfsDevice> usbfs;  // null for a hub
  bool present() const { return !usbfs || !usbfs->gone(); }
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
  gulong handlers[2] = {};
  std::string root;
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

void unplug(State& state, Device& device) {
  if (!device.usbfs || device.usbfs->gone()) return;
  device.usbfs->unplug();
  // The uevent reads the device's sysfs entry, so it goes first.
  umockdev_testbed_uevent(state.testbed, device.syspath.c_str(), "remove");
  umockdev_testbed_detach_ioctl(state.testbed, device.devnode.c_str(), nullptr);
  umockdev_testbed_remove_device(state.testbed, device.syspath.c_str());
}

void advance(State& state, Device& device, Clock::time_point now) {
  if (device.usbfs && device.usbfs->advance(now)) unplug(state, device);
}

void rearm(State& state, Clock::time_point now) {
  if (state.timer == nullptr) return;
  std::optional<Clock::time_point> due;
  for (const auto& device : state.devices) {
    const auto next = device->usbfs ? device->usbfs->next_due(now) : std::nullopt;
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

Device* find(State& state, UMockdevIoctlClient* handle) {
  if (state.closed) return nullptr;
  const char* devnode = umockdev_ioctl_client_get_devnode(handle);
  for (const auto& device : state.devices) {
    if (device->usbfs && device->devnode == devnode) return device.get();
  }
  return nullptr;
}

gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* handle, gpointer data) {
  const StateRef& ref = *static_cast<StateRef*>(data);
  State& state = *ref;
  std::lock_guard<std::mutex> lock(state.mutex);
  Device* device = find(state, handle);
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
  device->usbfs->serve(handle, now);
  advance(state, *device, now);
  rearm(state, now);
  return TRUE;
}

void on_client_connected(UMockdevIoctlBase*, UMockdevIoctlClient* handle, gpointer data) {
  State& state = **static_cast<StateRef*>(data);
  std::lock_guard<std::mutex> lock(state.mutex);
  Device* device = find(state, handle);
  if (device == nullptr) return;
  const auto now = Clock::now();
  device->usbfs->client_connected(now);
  advance(state, *device, now);
  rearm(state, now);
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char pair[3];
  for (const std::uint8_t byte : bytes) {
    (void)std::snprintf(pair, sizeof pair, "%02x", byte);
    text += pair;
  }
  return text;
}

// The device as umockdev-record would write it down. libusb lists only what
// carries DEVTYPE=usb_device, and reads the descriptors from sysfs.
std::string record(const Device& device, const DeviceSpec& spec,
                   const std::vector<std::uint8_t>& descriptors, unsigned devnum) {
  const unsigned bus = spec.bus;
  char numbers[160];
  (void)std::snprintf(numbers, sizeof numbers,
                      "E: BUSNUM=%03u\nE: DEVNUM=%03u\nA: busnum=%u\\n\nA: devnum=%u\\n\n"
                      "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: dev=189:%u\\n\n",
                      bus, devnum, bus, devnum, unsigned{spec.vendor}, unsigned{spec.product},
                      (bus - 1) * 128 + devnum - 1);
  std::string text = "P: " + device.syspath.substr(4) + "\nN: " + device.devnode.substr(5) +
                     "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: DEVNAME=" +
                     device.devnode + "\n" + numbers +
                     "A: speed=480\\n\nA: bConfigurationValue=1\\n\n";
  return text + "H: descriptors=" + hex(descriptors) + "\n";
}

bool present(const State& state, const std::string& name) {
  return std::any_of(state.devices.begin(), state.devices.end(), [&](const auto& device) {
    return device->present() && device->name == name;
  });
}

// The instrument model of a device, with its capture files; null for a bare device.
std::unique_ptr<Instrument> model_of(const State& state, const DeviceSpec& spec,
                                     const std::string& name,
                                     std::unique_ptr<CaptureFiles>& capture, std::string& error) {
  if (!spec.instrument) return nullptr;
  const std::string& dir = state.options.capture_dir;
  if (!dir.empty()) {
    capture = std::make_unique<CaptureFiles>();
    if (!make_capture_dir(dir, error) ||
        !capture->open(dir, spec.capture_name.empty() ? name : spec.capture_name, error)) {
      return nullptr;
    }
  }
  return std::make_unique<Instrument>(state.options, state.answer, capture.get(), ReadEnd::kHost);
}

int plug(State& state, const DeviceSpec& spec, bool hub, std::string& error) {
  auto device = std::make_unique<Device>();
  device->name = port_name(spec.bus, spec.ports);
  if (state.last_devnum[spec.bus] == 0) state.last_devnum[spec.bus] = 1;  // the root hub's
  if (state.last_devnum[spec.bus] >= kMaxDevnum) {
    error = "bus " + std::to_string(spec.bus) + " has no address left";
    return -1;
  }
  if (!hub) {
    std::unique_ptr<CaptureFiles> capture;
    auto model = model_of(state, spec, device->name, capture, error);
    if (spec.instrument && !model) return -1;
    device->usbfs = std::make_unique<UsbfsDevice>(spec.serial, std::move(capture),
                                                  std::move(model), spec.kernel_driver);
  }
  const unsigned devnum = ++state.last_devnum[spec.bus];
  char devnode[32];
  (void)std::snprintf(devnode, sizeof devnode, "/dev/bus/usb/%03u/%03u", unsigned{spec.bus},
                      devnum);
  device->devnode = devnode;
  device->syspath = "/sys/devices/usb" + std::to_string(spec.bus);
  for (std::size_t depth = 1; depth <= spec.ports.size(); ++depth) {
    device->syspath += "/" + port_name(spec.bus, {spec.ports.begin(), spec.ports.begin() +
                                                      static_cast<std::ptrdiff_t>(depth)});
  }
  const auto descriptors = spec.descriptors ? *spec.descriptors
                           : hub            ? hub_descriptors()
                                            : instrument_descriptors(spec.vendor, spec.product,
                                                                     spec.serial.has_value());
  // Attached first, so that the device answers from the moment it is listed.
  if (!hub) umockdev_testbed_attach_ioctl(state.testbed, devnode, state.handler, nullptr);
  const bool added = umockdev_testbed_add_from_string(
                         state.testbed, record(*device, spec, descriptors, devnum).c_str(),
                         nullptr) != 0;
  if (!added) error = "cannot add the device at " + device->name;
  // The kernel reads the serial number once, at the plug, and shows it as
  // UTF-8 to every user; it shows none that it cannot read or that is empty.
  const auto serial = spec.serial ? tarnlink::string_descriptor_text(spec.serial->data(),
                                                                      spec.serial->size())
                                  : std::nullopt;
  if (added && serial && !serial->empty()) {
    std::string line = *serial + "\n";
    umockdev_testbed_set_attribute_binary(state.testbed, device->syspath.c_str(), "serial",
                                          reinterpret_cast<guint8*>(line.data()),
                                          static_cast<gint>(line.size()));
  }
  if (!added || (!hub && !device->usbfs->make_node(state.root + device->devnode, error))) {
    if (!hub) umockdev_testbed_detach_ioctl(state.testbed, devnode, nullptr);
    if (added) umockdev_testbed_remove_device(state.testbed, device->syspath.c_str());
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
      if (device->usbfs) device->usbfs->end();
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

std::vector<std::pair<std::string, std::string>> Bus::client_environment(
    const std::string& usb_ids) const {
  std::vector<std::pair<std::string, std::string>> variables{{"LD_PRELOAD", client_preload()},
                                                             {"UMOCKDEV_DIR", state_->root}};
  if (std::getenv("TARNLINK_USB_IDS") == nullptr) {
    variables.emplace_back("TARNLINK_USB_IDS", usb_ids);
  }
  return variables;
}

const std::string& Bus::root_dir() const { return state_->root; }

}  // namespace velk_emu::usb
