// The emulated USB bus as a plain libusb client sees it, in this very process
// (which runs under umockdev's preload): listing, string descriptors, claims,
// the faults and the capture of velk-emu --usb, and the device that vanishes.
#include <libusb.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "usb/bus.h"

namespace velk_emu::usb {
namespace {

using tarnlink::testing::read_file;
using tarnlink::testing::read_lines;

constexpr unsigned kWait = 3000;  // ms: a bound for what comes at once

class UsbBusTest : public ::testing::Test {
 protected:
  UsbBusTest() { options_.capture_dir = (temp_.path() / "capture").string(); }
  ~UsbBusTest() override {
    for (libusb_device_handle* handle : handles_) libusb_close(handle);
    refs_.clear();
    if (usb_ != nullptr) libusb_exit(usb_);
    if (!bus_) return;
    const std::string root = bus_->root_dir();
    bus_.reset();
    struct stat st {};
    EXPECT_NE(stat(root.c_str(), &st), 0) << root << " outlived its bus";
  }

  Bus& bus() {
    if (!bus_) bus_.emplace(options_, answer_);
    return *bus_;
  }
  int add(const DeviceSpec& spec) {
    std::string error;
    const int id = bus().add(spec, error);
    EXPECT_GE(id, 0) << error;
    return id;
  }
  int add_instrument(std::uint8_t port, const std::string& name) {
    DeviceSpec spec;
    spec.ports = {port};
    spec.serial = string_descriptor(name);
    spec.capture_name = name;
    return add(spec);
  }
  libusb_context* usb() {
    if (usb_ == nullptr) {
      EXPECT_EQ(libusb_init(&usb_), 0);
    }
    return usb_;
  }
  // libusb's devices by their port name ("1-1.4").
  std::map<std::string, libusb_device*> devices() {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(usb(), &list);
    std::map<std::string, libusb_device*> found;
    for (ssize_t i = 0; i < count; ++i) {
      std::uint8_t ports[8];
      const int depth = libusb_get_port_numbers(list[i], ports, sizeof ports);
      found[port_name(libusb_get_bus_number(list[i]),
                      {ports, ports + std::max(depth, 0)})] = libusb_ref_device(list[i]);
    }
    if (list != nullptr) libusb_free_device_list(list, 1);
    for (const auto& entry : found) refs_.emplace_back(entry.second);
    return found;
  }
  libusb_device_handle* open(const std::string& port) {
    libusb_device_handle* handle = nullptr;
    const auto listed = devices();
    if (listed.count(port) == 0 || libusb_open(listed.at(port), &handle) != 0) {
      ADD_FAILURE() << "cannot open " << port;
      return nullptr;
    }
    handles_.push_back(handle);
    return handle;
  }
  std::vector<std::string> log_of(const std::string& name) const {
    return read_lines(options_.capture_dir + "/" + name + ".log");
  }

  Options options_;
  std::vector<std::uint8_t> answer_;
  tarnlink::testing::TempDir temp_;
  std::optional<Bus> bus_;
  libusb_context* usb_ = nullptr;
  std::vector<libusb_device_handle*> handles_;
  struct Unref {
    void operator()(libusb_device* device) const { libusb_unref_device(device); }
  };
  std::vector<std::unique_ptr<libusb_device, Unref>> refs_;
};

const std::string kOk = "ok";
const std::string kGone = "LIBUSB_ERROR_NO_DEVICE";

std::string named(int result) { return result == 0 ? kOk : libusb_error_name(result); }

// One bulk transfer's outcome: the count written, or the bytes read.
std::string transfer(libusb_device_handle* handle, std::uint8_t endpoint, std::string bytes) {
  int done = 0;
  const int result = libusb_bulk_transfer(handle, endpoint,
                                          reinterpret_cast<unsigned char*>(bytes.data()),
                                          static_cast<int>(bytes.size()), &done, kWait);
  return named(result) + " " +
         (endpoint == kBulkIn ? bytes.substr(0, static_cast<std::size_t>(done))
                              : std::to_string(done));
}

TEST_F(UsbBusTest, ListsEachDeviceAtItsPortWithItsIdAndHandsOutItsSerialByteForByte) {
  const std::vector<std::uint8_t> hostile{0x0a, 0x03, 0x1b, 0x00, '[', 0x00, '2', 0x00, 'J', 0x00};
  std::vector<std::uint8_t> longest(255, 0x41);
  longest[0] = 0xff;
  longest[1] = 0x03;
  const std::vector<std::uint8_t> lying{0xff, 0x03, 'a', 0x00, 'b'};  // odd, and bLength lies
  struct Case {
    std::uint8_t bus;
    std::vector<std::uint8_t> ports;
    std::optional<std::vector<std::uint8_t>> serial;
  };
  const std::vector<Case> cases{{1, {1}, string_descriptor("alpha")},
                                {1, {3, 4}, hostile},
                                {2, {7}, longest},
                                {1, {2}, lying},
                                {3, {1, 2, 5}, std::nullopt}};
  for (const Case& c : cases) {
    DeviceSpec spec;
    spec.vendor = 0x1234;
    spec.product = static_cast<std::uint16_t>(c.ports.back());
    spec.bus = c.bus;
    spec.ports = c.ports;
    spec.serial = c.serial;
    add(spec);
  }
  const auto listed = devices();
  for (const Case& c : cases) {
    const std::string port = port_name(c.bus, c.ports);
    ASSERT_EQ(listed.count(port), 1u) << port;
    libusb_device_descriptor descriptor{};
    ASSERT_EQ(libusb_get_device_descriptor(listed.at(port), &descriptor), 0);
    EXPECT_EQ(descriptor.idVendor, 0x1234) << port;
    EXPECT_EQ(descriptor.idProduct, c.ports.back()) << port;
    EXPECT_EQ(descriptor.iSerialNumber, c.serial ? kSerialIndex : 0) << port;
    if (!c.serial) continue;
    libusb_device_handle* handle = open(port);
    ASSERT_NE(handle, nullptr);
    unsigned char bytes[255];
    const int got = libusb_get_string_descriptor(handle, kSerialIndex, 0x0409, bytes, sizeof bytes);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + std::max(got, 0)), *c.serial) << port;
  }
  // The hubs the nested ports needed are there too, without a bulk pair.
  EXPECT_EQ(listed.count("1-3"), 1u);
  EXPECT_EQ(listed.count("3-1.2"), 1u);
}

TEST_F(UsbBusTest, GivenDescriptorsReachLibusbInsteadOfTheBuiltOnes) {
  DeviceSpec spec;
  spec.vendor = 0x1234;
  spec.descriptors = hub_descriptors();
  spec.instrument = false;
  add(spec);
  const auto listed = devices();
  ASSERT_EQ(listed.count("1-1"), 1u);
  libusb_device_descriptor device{};
  ASSERT_EQ(libusb_get_device_descriptor(listed.at("1-1"), &device), 0);
  EXPECT_EQ(device.idVendor, kTestVendor);
  libusb_config_descriptor* config = nullptr;
  ASSERT_EQ(libusb_get_active_config_descriptor(listed.at("1-1"), &config), 0);
  ASSERT_EQ(config->interface[0].altsetting[0].bNumEndpoints, 1);
  EXPECT_EQ(config->interface[0].altsetting[0].endpoint[0].bmAttributes,
            LIBUSB_TRANSFER_TYPE_INTERRUPT);
  libusb_free_config_descriptor(config);
}

struct FaultCase {
  const char* name;
  std::vector<const char*> options;  // velk-emu's
  std::vector<std::string> results;  // claim, write, read, write, read, release
  std::vector<std::string> log;
  std::string captured;
};

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class UsbFaultTest : public UsbBusTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(UsbFaultTest, AClientSeesTheFaultAndTheCaptureRecordsIt) {
  std::vector<const char*> argv{"velk-emu"};
  argv.insert(argv.end(), GetParam().options.begin(), GetParam().options.end());
  std::string error;
  ASSERT_TRUE(parse_options(static_cast<int>(argv.size()), argv.data(), kUsbBus, options_, error))
      << error;
  add_instrument(1, "alpha");
  libusb_device_handle* handle = open("1-1");
  ASSERT_NE(handle, nullptr);
  std::vector<std::string> results{named(libusb_claim_interface(handle, 0))};
  if (results.back() == kOk) {
    results.push_back(transfer(handle, kBulkOut, "hello"));
    results.push_back(transfer(handle, kBulkIn, std::string(4096, 0)));
    results.push_back(transfer(handle, kBulkOut, "abc"));
    results.push_back(transfer(handle, kBulkIn, std::string(4096, 0)));
    results.push_back(named(libusb_release_interface(handle, 0)));
  }
  EXPECT_EQ(results, GetParam().results);
  EXPECT_EQ(log_of("alpha"), GetParam().log);
  EXPECT_EQ(read_file(options_.capture_dir + "/alpha.bin"), GetParam().captured);
}


INSTANTIATE_TEST_SUITE_P(
    Faults, UsbFaultTest,
    ::testing::Values(
        FaultCase{"Echo", {}, {kOk, kOk + " 5", kOk + " hello", kOk + " 3", kOk + " abc", kOk},
                  {"open", "write 5", "read -> 5", "write 3", "read -> 3", "close"}, "helloabc"},
        // Answers held back come when their time has come.
        FaultCase{"AnswerDelay", {"--answer-delay", "20"},
                  {kOk, kOk + " 5", kOk + " hello", kOk + " 3", kOk + " abc", kOk},
                  {"open", "write 5", "read -> 5", "write 3", "read -> 3", "close"}, "helloabc"},
        FaultCase{"Rate", {"--rate", "1000"},
                  {kOk, kOk + " 5", kOk + " hello", kOk + " 3", kOk + " abc", kOk},
                  {"open", "write 5", "read -> 5", "write 3", "read -> 3", "close"}, "helloabc"},
        FaultCase{"ShortWrite", {"--fault", "short-write:1"},
                  {kOk, kOk + " 4", kOk + " hell", kOk + " 3", kOk + " abc", kOk},
                  {"open", "write 5", "read -> 4", "write 3", "read -> 3", "close"}, "hellabc"},
        // The stall halts the endpoint: the next write stalls too, unseen by the model.
        FaultCase{"WriteErrorHaltsTheEndpoint", {"--fault", "write-error:1"},
                  {kOk, "LIBUSB_ERROR_PIPE 0", "LIBUSB_ERROR_TIMEOUT ", "LIBUSB_ERROR_PIPE 0",
                   "LIBUSB_ERROR_TIMEOUT ", kOk},
                  {"open", "write 5", "close"}, ""},
        FaultCase{"ReadErrorKeepsTheBytes", {"--fault", "read-error:1"},
                  {kOk, kOk + " 5", "LIBUSB_ERROR_IO ", kOk + " 3", kOk + " helloabc", kOk},
                  {"open", "write 5", "read -> error", "write 3", "read -> 8", "close"},
                  "helloabc"},
        FaultCase{"Busy", {"--fault", "busy"}, {"LIBUSB_ERROR_BUSY"}, {}, ""},
        FaultCase{"Disconnect", {"--fault", "disconnect:1"},
                  {kOk, kOk + " 5", kGone + " ", kGone + " 0", kGone + " ", kGone},
                  {"open", "write 5", "vanish"}, "hello"}),
    [](const ::testing::TestParamInfo<FaultCase>& param_info) {
      return std::string(param_info.param.name);
    });

TEST_F(UsbBusTest, AClaimIsExclusiveUntilItsHolderLetsGoOrGoesAway) {
  add_instrument(1, "alpha");
  libusb_device_handle* first = open("1-1");
  libusb_device_handle* second = open("1-1");
  ASSERT_TRUE(first != nullptr && second != nullptr);
  EXPECT_EQ(libusb_claim_interface(first, 0), 0);
  EXPECT_EQ(libusb_claim_interface(second, 0), LIBUSB_ERROR_BUSY);
  EXPECT_EQ(transfer(first, kBulkOut, "hi"), kOk + " 2");
  // Closed without a release, as a process that ends holding the claim.
  libusb_close(first);
  handles_.erase(handles_.begin());
  EXPECT_EQ(libusb_claim_interface(second, 0), 0);
  EXPECT_EQ(log_of("alpha"), (std::vector<std::string>{"open", "write 2", "close", "open"}));
}

TEST_F(UsbBusTest, ARemovedDeviceEndsThePendingReadLeavesTheListAndRefusesTheRest) {
  const int id = add_instrument(1, "alpha");
  add_instrument(2, "beta");
  const auto before = devices();
  libusb_device_handle* handle = open("1-1");
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(libusb_claim_interface(handle, 0), 0);
  unsigned char buffer[64];
  int status[2] = {0, -1};  // done, and the transfer's status
  libusb_transfer* read = libusb_alloc_transfer(0);
  libusb_fill_bulk_transfer(
      read, handle, kBulkIn, buffer, sizeof buffer,
      [](libusb_transfer* done) {
        static_cast<int*>(done->user_data)[0] = 1;
        static_cast<int*>(done->user_data)[1] = done->status;
      },
      status, 0);
  ASSERT_EQ(libusb_submit_transfer(read), 0);
  bus().remove(id);
  for (int round = 0; round < 10 && status[0] == 0; ++round) {
    timeval bound{kWait / 1000, 0};
    libusb_handle_events_timeout_completed(usb(), &bound, &status[0]);
  }
  ASSERT_EQ(status[0], 1);
  libusb_free_transfer(read);
  EXPECT_EQ(status[1], LIBUSB_TRANSFER_NO_DEVICE);
  EXPECT_EQ(transfer(handle, kBulkOut, "hi"), kGone + " 0");
  EXPECT_EQ(libusb_release_interface(handle, 0), LIBUSB_ERROR_NO_DEVICE);
  libusb_device_handle* late = nullptr;
  EXPECT_EQ(libusb_open(before.at("1-1"), &late), LIBUSB_ERROR_NO_DEVICE) << "listed, then gone";
  const auto listed = devices();
  EXPECT_EQ(listed.count("1-1"), 0u);
  EXPECT_EQ(listed.count("1-2"), 1u);
  EXPECT_EQ(log_of("alpha"), (std::vector<std::string>{"open", "vanish"}));
}

}  // namespace
}  // namespace velk_emu::usb
