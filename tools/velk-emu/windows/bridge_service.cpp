#include "bridge_service.h"

#include <algorithm>
#include <cstring>

#include "base/byte_order.h"
#include "bridge.h"
#include "win32_text.h"

namespace velk_emu {
namespace {

// The NTSTATUS values the instruments' requests complete with; a client sees
// them as the Win32 errors in the comments.
constexpr std::uint32_t kStatusSuccess = 0;
constexpr std::uint32_t kStatusUnsuccessful = 0xC0000001;        // ERROR_GEN_FAILURE
constexpr std::uint32_t kStatusInvalidParameter = 0xC000000D;    // ERROR_INVALID_PARAMETER
constexpr std::uint32_t kStatusInvalidDeviceRequest = 0xC0000010;  // ERROR_INVALID_FUNCTION
constexpr std::uint32_t kStatusAccessDenied = 0xC0000022;        // ERROR_ACCESS_DENIED
constexpr std::uint32_t kStatusBufferTooSmall = 0xC0000023;      // ERROR_INSUFFICIENT_BUFFER
constexpr std::uint32_t kStatusDeviceNotConnected = 0xC000009D;  // ERROR_DEVICE_NOT_CONNECTED

std::uint32_t status_of(Outcome outcome) {
  switch (outcome) {
    case Outcome::kDone: return kStatusSuccess;
    // Under Wine an open cannot be refused: the refused handle's requests are.
    case Outcome::kBusy:
    case Outcome::kInUse: return kStatusAccessDenied;
    case Outcome::kFailure: return kStatusUnsuccessful;
    case Outcome::kBadParameter: return kStatusInvalidParameter;
    case Outcome::kBufferTooSmall: return kStatusBufferTooSmall;
    case Outcome::kUnknownRequest: return kStatusInvalidDeviceRequest;
  }
  return kStatusUnsuccessful;
}

using tarnlink::get_u32;
using tarnlink::get_u64;
using tarnlink::put_u32;
using tarnlink::put_u64;

}  // namespace

BridgeService::BridgeService(const Options& options, const std::vector<std::uint8_t>& answer,
                             const std::vector<CaptureSink*>& captures, Devices& devices)
    : options_(options),
      devices_(devices),
      message_(VELK_MSG_HEADER + VELK_BRIDGE_MAX_DATA),
      answer_buffer_(VELK_ANS_HEADER + VELK_BRIDGE_MAX_DATA) {
  for (std::size_t i = 0; i < options.devices.size(); ++i) {
    stations_.push_back(std::make_unique<Station>(options, answer, i < captures.size() ? captures[i] : nullptr));
  }
}

BridgeService::~BridgeService() {
  if (bridge_ != INVALID_HANDLE_VALUE) {
    CancelIoEx(bridge_, nullptr);
    DWORD ignored = 0;
    GetOverlappedResult(bridge_, &exchange_, &ignored, TRUE);
    CloseHandle(bridge_);
  }
  if (exchange_event_ != nullptr) CloseHandle(exchange_event_);
  if (answer_event_ != nullptr) CloseHandle(answer_event_);
}

bool BridgeService::connect(std::string& error) {
  // cppcheck-suppress publicAllocationError ; main connects once, before it serves
  bridge_ = CreateFileW(VELK_BRIDGE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
  if (bridge_ == INVALID_HANDLE_VALUE) {
    error = win32_failure("cannot open the test driver's bridge");
    return false;
  }
  exchange_event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  answer_event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (exchange_event_ == nullptr || answer_event_ == nullptr) {
    error = win32_failure("cannot create an event");
    return false;
  }
  return post_exchange(error);
}

// One exchange waits in the driver at a time, so messages arrive in order.
bool BridgeService::post_exchange(std::string& error) {
  exchange_ = OVERLAPPED{};
  exchange_.hEvent = exchange_event_;
  if (!DeviceIoControl(bridge_, VELK_BRIDGE_IOCTL_EXCHANGE, nullptr, 0, message_.data(),
                       static_cast<DWORD>(message_.size()), nullptr, &exchange_) &&
      GetLastError() != ERROR_IO_PENDING) {
    error = win32_failure("cannot ask the test driver for requests");
    return false;
  }
  return true;
}

bool BridgeService::run(HANDLE stop, std::string& error) {
  const HANDLE events[2] = {exchange_event_, stop};
  for (;;) {
    DWORD wait = INFINITE;
    if (const auto timer = next_timer()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*timer - Clock::now()).count();
      wait = static_cast<DWORD>(std::clamp<long long>(left, 0, 1 << 30));
    }
    const DWORD woken = WaitForMultipleObjects(2, events, FALSE, wait);
    if (woken == WAIT_OBJECT_0 + 1) return true;
    if (woken == WAIT_OBJECT_0) {
      DWORD length = 0;
      if (!GetOverlappedResult(bridge_, &exchange_, &length, FALSE)) {
        error = win32_failure("the test driver's bridge failed");
        return false;
      }
      handle_message(message_.data(), length, Clock::now());
      if (!post_exchange(error)) return false;
    } else if (woken == WAIT_FAILED) {
      error = win32_failure("waiting for requests failed");
      return false;
    }
    run_timers(Clock::now());
  }
}

void BridgeService::handle_message(const std::uint8_t* message, std::size_t length, Clock::time_point now) {
  if (length < VELK_MSG_HEADER) return;
  const std::uint32_t size = get_u32(message + VELK_MSG_SIZE);
  if (length < VELK_MSG_HEADER + std::size_t{size}) return;
  const std::uint32_t number = get_u32(message + VELK_MSG_INSTRUMENT);
  const std::uint32_t kind = get_u32(message + VELK_MSG_KIND);
  const std::uint64_t handle = get_u64(message + VELK_MSG_HANDLE);
  const std::uint64_t request = get_u64(message + VELK_MSG_REQUEST);
  if (number >= stations_.size()) {
    // A device this process did not number: nobody answers for it.
    if (request != 0) deliver(Held{request, kStatusDeviceNotConnected, 0, {}, now, false, false});
    return;
  }
  Station& station = *stations_[number];
  switch (kind) {
    case VELK_KIND_OPEN:
      if (!station.gone && station.model.open() == Outcome::kDone) station.owner = handle;
      return;
    case VELK_KIND_CLOSE:
      if (handle == station.owner && handle != 0) {
        station.model.close();
        forget_link(station);
      }
      return;
    case VELK_KIND_CANCEL:
      if (request == station.read_request) {
        station.model.cancel_read();
        station.read_request = 0;
      }
      if (station.held && station.held->request == request) station.held.reset();
      return;
    default: break;
  }
  if (station.gone) {
    deliver(Held{request, kStatusDeviceNotConnected, 0, {}, now, false, false});
  } else if (handle != station.owner) {
    deliver(Held{request, kStatusAccessDenied, 0, {}, now, false, false});
  } else {
    on_request(station, kind, request, get_u32(message + VELK_MSG_CODE), get_u32(message + VELK_MSG_ROOM),
               message + VELK_MSG_HEADER, size, now);
  }
}

void BridgeService::on_request(Station& station, std::uint32_t kind, std::uint64_t request,
                               std::uint32_t code, std::uint32_t room, const std::uint8_t* data,
                               std::uint32_t size, Clock::time_point now) {
  if (kind == VELK_KIND_WRITE) {
    const Instrument::WriteAnswer written = station.model.write(data, size, now);
    send_or_hold(station,
                 Held{request, status_of(written.outcome), written.taken, {}, written.at, false,
                      written.disconnect},
                 now);
  } else if (kind == VELK_KIND_READ) {
    const std::uint32_t max = std::min(room, VELK_BRIDGE_MAX_DATA);
    const Outcome outcome = station.model.start_read(max, now);
    if (outcome != Outcome::kDone) {
      deliver(Held{request, status_of(outcome), 0, {}, now, false, false});
      return;
    }
    station.read_request = request;
    finish_read(station, now);
  } else if (kind == VELK_KIND_CONTROL) {
    const Instrument::ControlAnswer answer = station.model.control(code, data, size, room);
    Held held{request, status_of(answer.outcome), answer.count, {}, now, false, false};
    held.data.assign(answer.output, answer.output + answer.count);
    deliver(held);
  } else {
    deliver(Held{request, kStatusInvalidDeviceRequest, 0, {}, now, false, false});
  }
}

void BridgeService::finish_read(Station& station, Clock::time_point now) {
  Span parts[kMaxGather];
  const auto answer = station.model.finish_read(now, parts);
  if (!answer) return;
  Held held{station.read_request, kStatusSuccess, static_cast<std::uint32_t>(answer->total), {}, answer->at,
            true, false};
  held.data.reserve(answer->total);
  for (std::size_t i = 0; i < answer->parts; ++i) {
    held.data.insert(held.data.end(), parts[i].data, parts[i].data + parts[i].size);
  }
  station.read_request = 0;
  send_or_hold(station, std::move(held), now);
}

void BridgeService::send_or_hold(Station& station, Held answer, Clock::time_point now) {
  if (answer.at > now) {
    station.held = std::move(answer);
    return;
  }
  const bool delivered = deliver(answer);
  // The bytes of a read stay queued for the next read if its client gave up.
  if (answer.read && delivered) station.model.consume(answer.data.size());
  // The driver ends every request on a removed device, so the answer goes first.
  if (answer.disconnect) vanish(station);
}

bool BridgeService::deliver(const Held& answer) {
  std::uint8_t* out = answer_buffer_.data();
  put_u64(out + VELK_ANS_REQUEST, answer.request);
  put_u32(out + VELK_ANS_STATUS, answer.status);
  put_u32(out + VELK_ANS_INFORMATION, answer.information);
  if (!answer.data.empty()) std::memcpy(out + VELK_ANS_HEADER, answer.data.data(), answer.data.size());
  OVERLAPPED overlapped{};
  overlapped.hEvent = answer_event_;
  DWORD ignored = 0;
  BOOL done = DeviceIoControl(bridge_, VELK_BRIDGE_IOCTL_EXCHANGE, out,
                              static_cast<DWORD>(VELK_ANS_HEADER + answer.data.size()), nullptr, 0, nullptr,
                              &overlapped);
  if (!done && GetLastError() == ERROR_IO_PENDING) {
    done = GetOverlappedResult(bridge_, &overlapped, &ignored, TRUE);
  }
  return done != FALSE;
}

void BridgeService::vanish(Station& station) {
  station.gone = true;
  station.model.drop();
  forget_link(station);
  for (std::size_t i = 0; i < stations_.size(); ++i) {
    if (stations_[i].get() == &station) devices_.remove(i);
  }
}

void BridgeService::forget_link(Station& station) {
  station.owner = 0;
  station.read_request = 0;
  station.held.reset();
}

std::optional<Clock::time_point> BridgeService::next_timer() const {
  std::optional<Clock::time_point> next;
  for (const auto& station : stations_) {
    std::optional<Clock::time_point> timer;
    if (station->held) {
      timer = station->held->at;
    } else if (station->read_request != 0) {
      timer = station->model.read_timer();
    }
    if (timer && (!next || *timer < *next)) next = timer;
  }
  return next;
}

void BridgeService::run_timers(Clock::time_point now) {
  for (const auto& station : stations_) {
    if (station->held && station->held->at <= now) {
      Held held = std::move(*station->held);
      station->held.reset();
      held.at = now;
      send_or_hold(*station, std::move(held), now);
    } else if (station->read_request != 0) {
      finish_read(*station, now);
    }
  }
}

}  // namespace velk_emu
