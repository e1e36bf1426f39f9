// velk-emu.exe's side of the test driver's bridge: takes each request on an
// instrument's device from the driver, lets the instrument model answer it and
// completes it, holding reads until answer bytes or the link timeout come and
// answers until the link's rate lets them go.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devices.h"
#include "instrument.h"
#include "options.h"

namespace velk_emu {

class BridgeService {
 public:
  // `captures` holds one sink (or null) per instrument, in --device order;
  // everything passed in outlives the service.
  BridgeService(const Options& options, const std::vector<std::uint8_t>& answer,
                const std::vector<CaptureSink*>& captures, Devices& devices);
  ~BridgeService();
  BridgeService(const BridgeService&) = delete;
  BridgeService& operator=(const BridgeService&) = delete;

  // Opens the driver's bridge device and puts the first exchange in place:
  // from then on the instruments answer. False with a reason on failure.
  bool connect(std::string& error);
  // Serves until `stop` is signalled. False with a reason when the bridge fails.
  bool run(HANDLE stop, std::string& error);

 private:
  struct Held {
    std::uint64_t request;
    std::uint32_t status;
    std::uint32_t information;
    std::vector<std::uint8_t> data;
    Clock::time_point at;
    bool read;
    bool disconnect;
  };
  struct Station {
    Station(const Options& options, const std::vector<std::uint8_t>& answer, CaptureSink* capture)
        : model(options, answer, capture) {}
    Instrument model;
    std::uint64_t owner = 0;          // the handle that holds the instrument
    bool gone = false;                // removed by the disconnect fault
    std::uint64_t read_request = 0;   // the read waiting for answer bytes
    std::optional<Held> held;         // an answer held back by the link's rate
  };

  bool post_exchange(std::string& error);
  void handle_message(const std::uint8_t* message, std::size_t length, Clock::time_point now);
  void on_request(Station& station, std::uint32_t kind, std::uint64_t request, std::uint32_t code,
                  std::uint32_t room, const std::uint8_t* data, std::uint32_t size, Clock::time_point now);
  void finish_read(Station& station, Clock::time_point now);
  void send_or_hold(Station& station, Held answer, Clock::time_point now);
  bool deliver(const Held& answer);
  void vanish(Station& station);
  void forget_link(Station& station);
  std::optional<Clock::time_point> next_timer() const;
  void run_timers(Clock::time_point now);

  const Options& options_;
  Devices& devices_;
  std::vector<std::unique_ptr<Station>> stations_;
  HANDLE bridge_ = INVALID_HANDLE_VALUE;
  HANDLE exchange_event_ = nullptr;
  HANDLE answer_event_ = nullptr;
  OVERLAPPED exchange_{};
  std::vector<std::uint8_t> message_;
  std::vector<std::uint8_t> answer_buffer_;
};

}  // namespace velk_emu
