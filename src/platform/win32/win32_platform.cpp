#include "platform/win32/win32_platform.h"

#include <winioctl.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <optional>

#include "base/driver_contract.h"

namespace tarnlink {
namespace win32 {
namespace {

using Detail = SP_DEVICE_INTERFACE_DETAIL_DATA_W;

// The Setup API refuses a size field that does not match its own build: the
// fixed part of a detail is 6 bytes for 32-bit Windows and 8 for 64-bit, the
// interface data 28 and 32. WoW64 serves a 32-bit program the 32-bit sizes.
static_assert(sizeof(Detail) == (sizeof(void*) == 4 ? 6 : 8));
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == (sizeof(void*) == 4 ? 28 : 32));

// Windows 7 is the oldest Windows the program runs on: the headers must not
// offer it anything newer (the toolchain files set this).
static_assert(_WIN32_WINNT == 0x0601 && WINVER == 0x0601);

static_assert(sizeof(NativeChar) == sizeof(WCHAR));
static_assert(sizeof(Handle) == sizeof(HANDLE));

// The class's interfaces that are present now, listed as interfaces (flags 18).
constexpr DWORD kPresentInterfaces = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
static_assert(kPresentInterfaces == 18);

static_assert(contract::kDeviceType == FILE_DEVICE_UNKNOWN);
static_assert(contract::kIoctlSetTimeout ==
              CTL_CODE(0x22, 0x815, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(contract::kIoctlGetTimeout ==
              CTL_CODE(0x22, 0x816, METHOD_BUFFERED, FILE_ANY_ACCESS));

// The same class as sixteen bytes in memory order, where a field split the wrong way shows.
constexpr unsigned char kInterfaceClassBytes[16] = {0x09, 0x31, 0x75, 0x56, 0xB7, 0xDC,
                                                    0x3E, 0x4E, 0x95, 0x98, 0xB8, 0xBD,
                                                    0xEE, 0x57, 0x32, 0x34};

constexpr bool has_memory_bytes(const GUID& guid, const unsigned char (&bytes)[16]) {
  for (int i = 0; i < 4; ++i) {
    if (bytes[i] != ((guid.Data1 >> (8 * i)) & 0xFF)) return false;
  }
  for (int i = 0; i < 2; ++i) {
    if (bytes[4 + i] != ((guid.Data2 >> (8 * i)) & 0xFF)) return false;
    if (bytes[6 + i] != ((guid.Data3 >> (8 * i)) & 0xFF)) return false;
  }
  for (int i = 0; i < 8; ++i) {
    if (bytes[8 + i] != guid.Data4[i]) return false;
  }
  return true;
}
static_assert(sizeof(GUID) == sizeof(kInterfaceClassBytes) &&
              has_memory_bytes(kInterfaceClass, kInterfaceClassBytes));

// A device information set, destroyed when it goes out of scope.
class DeviceInfoList {
 public:
  DeviceInfoList(HDEVINFO set, decltype(&SetupDiDestroyDeviceInfoList) destroy)
      : set_(set), destroy_(destroy) {}
  ~DeviceInfoList() {
    if (valid()) destroy_(set_);
  }
  DeviceInfoList(const DeviceInfoList&) = delete;
  DeviceInfoList& operator=(const DeviceInfoList&) = delete;

  // The class query reports failure both ways.
  bool valid() const { return set_ != INVALID_HANDLE_VALUE && set_ != nullptr; }
  HDEVINFO get() const { return set_; }

 private:
  HDEVINFO set_;
  decltype(&SetupDiDestroyDeviceInfoList) destroy_;
};

// A heap buffer for one interface detail: the fixed part followed by room for
// the path. The Setup API insists that cbSize holds the size of the fixed part
// only, whatever room follows it.
class DetailBuffer {
 public:
  // A size below the fixed part still gets the fixed part, so that the query
  // fails on its own terms rather than on a buffer too small to describe.
  explicit DetailBuffer(DWORD bytes)
      : bytes_(std::max<DWORD>(bytes, sizeof(Detail))), storage_(::operator new(bytes_)) {
    // cppcheck-suppress noDestructor ; storage_ frees the buffer, and Detail is plain data
    detail_ = new (storage_.get()) Detail{};
    detail_->cbSize = sizeof(Detail);
  }
  DetailBuffer(const DetailBuffer&) = delete;
  DetailBuffer& operator=(const DetailBuffer&) = delete;

  Detail* get() { return detail_; }
  DWORD bytes() const { return bytes_; }
  // The path up to its terminator; nullopt when none lies within the buffer.
  std::optional<NativeString> path() const {
    const WCHAR* begin = detail_->DevicePath;
    const WCHAR* end = begin + (bytes_ - offsetof(Detail, DevicePath)) / sizeof(WCHAR);
    const WCHAR* terminator = std::find(begin, end, L'\0');
    if (terminator == end) return std::nullopt;
    return NativeString(begin, terminator);
  }

 private:
  struct Release {
    void operator()(void* p) const { ::operator delete(p); }
  };
  DWORD bytes_;
  std::unique_ptr<void, Release> storage_;
  Detail* detail_;
};

// A Handle holds the HANDLE's bits; the cast gives them back.
HANDLE native(Handle handle) { return reinterpret_cast<HANDLE>(handle); }  // NOLINT(performance-no-int-to-ptr)

class Win32Platform final : public Platform {
 public:
  explicit Win32Platform(const SystemCalls& calls) : calls_(calls) {}

  ListResult interface_paths() override;
  OpenResult open_exclusive(const NativeString& path) override;
  std::optional<std::uint32_t> write(Handle handle, const std::uint8_t* data,
                                     std::uint32_t size) override;
  std::optional<std::uint32_t> read(Handle handle, std::uint8_t* buffer,
                                    std::uint32_t size) override;
  bool set_timeout(Handle handle, std::int32_t timeout) override;
  bool get_timeout(Handle handle, std::int32_t& timeout) override;
  bool read_fails_at_timeout() override;
  bool close(Handle handle) override;
  bool escape_held() override;

 private:
  // The path of one enumerated interface, or nullopt when the detail query fails.
  std::optional<NativeString> interface_path(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& found) const;

  SystemCalls calls_;
};

}  // namespace

ListResult Win32Platform::interface_paths() {
  ListResult result;
  const DeviceInfoList set(calls_.get_class_devs(&kInterfaceClass, nullptr, nullptr,
                                                 kPresentInterfaces),
                           calls_.destroy_list);
  if (!set.valid()) {
    result.failed = true;
    return result;
  }
  SP_DEVICE_INTERFACE_DATA found{};
  found.cbSize = sizeof(found);
  for (DWORD member = 0;; ++member) {
    if (!calls_.enum_interfaces(set.get(), nullptr, &kInterfaceClass, member, &found)) {
      // Running out of members is the one way a listing completes.
      result.failed = GetLastError() != ERROR_NO_MORE_ITEMS;
      return result;
    }
    std::optional<NativeString> path = interface_path(set.get(), found);
    if (!path) {
      result.failed = true;
      return result;
    }
    result.paths.push_back(std::move(*path));
  }
}

std::optional<NativeString> Win32Platform::interface_path(HDEVINFO set,
                                                          SP_DEVICE_INTERFACE_DATA& found) const {
  DWORD required = 0;
  // Without a buffer the query fails by design: only the size it reports counts.
  calls_.interface_detail(set, &found, nullptr, 0, &required, nullptr);
  DetailBuffer detail(required);
  if (!calls_.interface_detail(set, &found, detail.get(), detail.bytes(), nullptr, nullptr)) {
    return std::nullopt;
  }
  return detail.path();
}

OpenResult Win32Platform::open_exclusive(const NativeString& path) {
  const HANDLE handle = calls_.create_file(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           OPEN_EXISTING, 0, nullptr);
  const DWORD error = GetLastError();
  if (handle != INVALID_HANDLE_VALUE && error == ERROR_SUCCESS) {
    return reinterpret_cast<Handle>(handle);
  }
  if (handle != INVALID_HANDLE_VALUE) calls_.close_handle(handle);
  return kInvalidHandle;
}

std::optional<std::uint32_t> Win32Platform::write(Handle handle, const std::uint8_t* data,
                                                  std::uint32_t size) {
  DWORD count = 0;
  if (!WriteFile(native(handle), data, size, &count, nullptr)) return std::nullopt;
  return count;
}

std::optional<std::uint32_t> Win32Platform::read(Handle handle, std::uint8_t* buffer,
                                                 std::uint32_t size) {
  DWORD count = 0;
  if (!ReadFile(native(handle), buffer, size, &count, nullptr)) return std::nullopt;
  return count;
}

bool Win32Platform::set_timeout(Handle handle, std::int32_t timeout) {
  DWORD returned = 0;  // the request has no output to count
  return calls_.device_control(native(handle), contract::kIoctlSetTimeout, &timeout,
                               sizeof(timeout), nullptr, 0, &returned, nullptr) != FALSE;
}

bool Win32Platform::get_timeout(Handle handle, std::int32_t& timeout) {
  DWORD returned = 0;
  // The answer lands in the caller's value itself: what a driver stores before it
  // fails the request is the caller's to see.
  const bool answered = calls_.device_control(native(handle), contract::kIoctlGetTimeout, nullptr,
                                              0, &timeout, sizeof(timeout), &returned,
                                              nullptr) != FALSE;
  return answered && returned != 0;
}

bool Win32Platform::close(Handle handle) { return calls_.close_handle(native(handle)) != FALSE; }

bool Win32Platform::escape_held() { return GetKeyState(VK_ESCAPE) < 0; }

// The driver may end a read at the link timeout by failing it.
bool Win32Platform::read_fails_at_timeout() { return true; }

std::unique_ptr<Platform> make_platform(const SystemCalls& calls) {
  return std::make_unique<Win32Platform>(calls);
}

}  // namespace win32

Platform& program_platform() {
  static win32::Win32Platform platform{win32::SystemCalls{}};
  return platform;
}

}  // namespace tarnlink
