// One emulated device as usbfs shows it to libusb: the requests its clients
// make through umockdev's preload, answered from the instrument model or, for
// a bare device, from its descriptors alone. The bus (bus.cpp) owns it, calls
// it under the bus's lock, and does what concerns the testbed.
#pragma once

#include <umockdev.h>

#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture_files.h"
#include "instrument.h"

namespace velk_emu::usb {

struct Client;
struct Flight;
struct WaitingClaim;

class UsbfsDevice {
 public:
  // `serial`: the string descriptor the device answers for kSerialIndex (none:
  // it has no serial number). `model` is null for a bare device; `capture`, if
  // any, is the model's. `kernel_driver`: a driver of the system's own holds
  // interface 0, so that every claim is refused.
  UsbfsDevice(std::optional<std::vector<std::uint8_t>> serial,
              std::unique_ptr<CaptureFiles> capture, std::unique_ptr<Instrument> model,
              bool kernel_driver);
  // Lets go of every client's requests; logs nothing.
  ~UsbfsDevice();
  UsbfsDevice(const UsbfsDevice&) = delete;
  UsbfsDevice& operator=(const UsbfsDevice&) = delete;

  // Makes the FIFO at `path` (the device node in the testbed) that polls
  // writable exactly while a client has a URB to reap. False with a reason.
  bool make_node(const std::string& path, std::string& error);

  // A client opened the node: clients that have gone are forgotten.
  void client_connected(Clock::time_point now);
  // Answers the request `handle` makes, now or (a claim that waits for its
  // holder to be seen gone) later, from advance().
  void serve(UMockdevIoctlClient* handle, Clock::time_point now);
  // Completes what is due by `now`. True when the device is to vanish now
  // (disconnect:K, once the K-th write has completed).
  bool advance(Clock::time_point now);
  // When advance() has something to do next; nullopt when nothing is pending.
  std::optional<Clock::time_point> next_due(Clock::time_point now) const;

  // The device was unplugged: waiting claims fail with ENODEV, pending URBs
  // finish with -ESHUTDOWN, the model logs "vanish"; from now on every request
  // but the reaping of finished URBs fails with ENODEV.
  void unplug();
  bool gone() const { return gone_; }
  // The bus goes: waiting claims fail with ENODEV and a link still open is
  // closed (the model logs "close").
  void end();

 private:
  int claim(Client& client, std::uint32_t number, Clock::time_point now, bool patient);
  int release(Client& client, std::uint32_t number, Clock::time_point now);
  int submit(Client& client, UMockdevIoctlData* arg, Clock::time_point now);
  int discard(Client& client, UMockdevIoctlData* arg, Clock::time_point now);
  int reap(Client& client, UMockdevIoctlData* arg);
  int request(Client& client, unsigned long request, UMockdevIoctlData* arg, Clock::time_point now);
  int control(Flight& flight) const;
  Client& client_of(UMockdevIoctlClient* handle);
  void forget_vanished(const Client* asking, Clock::time_point now);
  void start_reads(Clock::time_point now);
  void end_flights(const Client* client, std::optional<int> status, Clock::time_point now);
  void finish(std::list<Flight>::iterator flight, int status, int actual);
  // The model stops answering `flight`'s read, if it was.
  void stop_reading(const Flight& flight);
  // Finishes a flight before its time with `status`, keeping the bytes it holds.
  void cut_short(std::list<Flight>::iterator flight, int status, Clock::time_point now);
  // An OUT transfer that ends before the link has carried it all: the
  // instrument takes the whole packets that came by `now`.
  void end_write_early(Flight& flight, Clock::time_point now);
  void answer_waiting_claims(int error);
  void close_link();
  void update_node();

  std::optional<std::vector<std::uint8_t>> serial_;
  std::unique_ptr<CaptureFiles> capture_;
  std::unique_ptr<Instrument> model_;
  bool kernel_driver_;
  // The OUT endpoint stalled: it stalls every transfer until the host clears
  // it, whoever opens the device meanwhile.
  bool out_halted_ = false;
  bool gone_ = false;
  int fifo_ = -1;
  bool fifo_full_ = false;
  Client* link_ = nullptr;     // the claim of interface 0 that holds the model's link
  Flight* reading_ = nullptr;  // the flight whose read the model is answering
  std::vector<std::unique_ptr<Client>> clients_;
  std::list<Flight> flights_;  // in the order they were submitted
  std::vector<WaitingClaim> waiting_claims_;
};

}  // namespace velk_emu::usb
