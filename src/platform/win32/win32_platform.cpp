// The Win32 backend: the instrument's driver through the Setup API and plain file I/O.
#include <windows.h>
#include <setupapi.h>
#include <winioctl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "base/driver_contract.h"
#include "platform/platform.h"

namespace tarnlink {
namespace {

using Detail = SP_DEVICE_INTERFACE_DETAIL_DATA_W;

static_assert(sizeof(NativeChar) == sizeof(WCHAR));
static_assert(sizeof(InfoSet) == sizeof(HDEVINFO) && sizeof(Handle) == sizeof(HANDLE));
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) <= sizeof(InterfaceData::bytes) &&
                  alignof(SP_DEVICE_INTERFACE_DATA) <= alignof(InterfaceData),
              "InterfaceData must be able to carry an SP_DEVICE_INTERFACE_DATA");

static_assert(contract::kClassFlags == (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
static_assert(contract::kDeviceType == FILE_DEVICE_UNKNOWN);
static_assert(contract::kIoctlSetTimeout ==
              CTL_CODE(0x22, 0x815, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(contract::kIoctlGetTimeout ==
              CTL_CODE(0x22, 0x816, METHOD_BUFFERED, FILE_ANY_ACCESS));
static_assert(contract::kErrorSuccess == ERROR_SUCCESS &&
              contract::kErrorNoMoreItems == ERROR_NO_MORE_ITEMS);

constexpr GUID kInterfaceClass = {
    contract::kInterfaceClass.data1,
    contract::kInterfaceClass.data2,
    contract::kInterfaceClass.data3,
    {contract::kInterfaceClass.data4[0], contract::kInterfaceClass.data4[1],
     contract::kInterfaceClass.data4[2], contract::kInterfaceClass.data4[3],
     contract::kInterfaceClass.data4[4], contract::kInterfaceClass.data4[5],
     contract::kInterfaceClass.data4[6], contract::kInterfaceClass.data4[7]}};

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

constexpr DWORD kPathOffset = offsetof(Detail, DevicePath);

// A heap buffer for one interface detail: the fixed part followed by room for the
// path. The Setup API insists that cbSize holds the size of the fixed part only,
// whatever room follows it.
class DetailBuffer {
 public:
  explicit DetailBuffer(DWORD bytes)
      : bytes_(std::max<DWORD>(bytes, sizeof(Detail))), storage_(::operator new(bytes_)) {
    detail_ = new (storage_.get()) Detail{};
    detail_->cbSize = sizeof(Detail);
  }

  Detail* get() { return detail_; }
  DWORD bytes() const { return bytes_; }
  // How many path characters fit after the fixed part, terminator included.
  std::size_t path_room() const { return (bytes_ - kPathOffset) / sizeof(WCHAR); }

 private:
  struct Release {
    void operator()(void* p) const { ::operator delete(p); }
  };
  DWORD bytes_;
  std::unique_ptr<void, Release> storage_;
  Detail* detail_;
};

// Both steps of the detail query: without a buffer it only learns the size in bytes.
bool query_detail(InfoSet set, const SP_DEVICE_INTERFACE_DATA& data, DetailBuffer* buffer,
                  DWORD* required_bytes) {
  SP_DEVICE_INTERFACE_DATA interface_data = data;
  return SetupDiGetDeviceInterfaceDetailW(reinterpret_cast<HDEVINFO>(set), &interface_data,
                                          buffer != nullptr ? buffer->get() : nullptr,
                                          buffer != nullptr ? buffer->bytes() : 0,
                                          required_bytes, nullptr) != FALSE;
}

// The size answer counts the whole structure in bytes; callers want path characters.
// An answer that does not even cover the fixed part still leaves room for the
// terminator, so the second step fails on its own terms instead of on a zero-sized buffer.
std::uint32_t path_chars(DWORD detail_bytes) {
  if (detail_bytes < kPathOffset + sizeof(WCHAR)) return 1;
  return static_cast<std::uint32_t>((detail_bytes - kPathOffset + sizeof(WCHAR) - 1) /
                                    sizeof(WCHAR));
}

HANDLE native(Handle handle) { return reinterpret_cast<HANDLE>(handle); }

class Win32Platform final : public Platform {
 public:
  InfoSet class_devices() override {
    HDEVINFO set =
        SetupDiGetClassDevsW(&kInterfaceClass, nullptr, nullptr, contract::kClassFlags);
    if (set == INVALID_HANDLE_VALUE || set == nullptr) record_error();
    return reinterpret_cast<InfoSet>(set);
  }

  bool enum_interface(InfoSet set, std::uint32_t member, InterfaceData& data) override {
    SP_DEVICE_INTERFACE_DATA interface_data{};
    interface_data.cbSize = sizeof(interface_data);
    if (!SetupDiEnumDeviceInterfaces(reinterpret_cast<HDEVINFO>(set), nullptr, &kInterfaceClass,
                                     member, &interface_data)) {
      return record_error();
    }
    data = InterfaceData{};
    std::memcpy(data.bytes, &interface_data, sizeof(interface_data));
    return true;
  }

  bool interface_detail(InfoSet set, const InterfaceData& data, NativeChar* path,
                        std::uint32_t capacity, std::uint32_t* required) override {
    SP_DEVICE_INTERFACE_DATA interface_data;
    std::memcpy(&interface_data, data.bytes, sizeof(interface_data));

    if (path == nullptr) {
      DWORD required_bytes = 0;
      bool ok = query_detail(set, interface_data, nullptr, &required_bytes);
      if (!ok) record_error();
      if (required != nullptr) *required = path_chars(required_bytes);
      return ok;
    }

    if (capacity == 0 || capacity > (MAXDWORD - kPathOffset) / sizeof(WCHAR)) {
      last_error_ = ERROR_INVALID_PARAMETER;
      return false;
    }
    DetailBuffer buffer(static_cast<DWORD>(kPathOffset + capacity * sizeof(WCHAR)));
    DWORD required_bytes = 0;
    if (!query_detail(set, interface_data, &buffer, &required_bytes)) return record_error();
    if (required != nullptr) *required = path_chars(required_bytes);

    const std::size_t room = std::min<std::size_t>(capacity, buffer.path_room());
    const WCHAR* reported = buffer.get()->DevicePath;
    const auto length = static_cast<std::size_t>(std::find(reported, reported + room, L'\0') - reported);
    if (length == room) {
      last_error_ = ERROR_INSUFFICIENT_BUFFER;
      return false;
    }
    std::copy_n(reported, length + 1, path);
    return true;
  }

  bool destroy_list(InfoSet set) override {
    if (!SetupDiDestroyDeviceInfoList(reinterpret_cast<HDEVINFO>(set))) return record_error();
    return true;
  }

  Handle open_exclusive(const NativeChar* path) override {
    HANDLE handle = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    // Whether the open counts is decided above from this error, so keep it even on success.
    record_error();
    return reinterpret_cast<Handle>(handle);
  }

  std::uint32_t last_error() override { return last_error_; }

  bool write(Handle handle, const std::uint8_t* data, std::uint32_t size,
             std::uint32_t* written) override {
    DWORD count = 0;
    bool ok = WriteFile(native(handle), data, size, &count, nullptr) != FALSE;
    if (written != nullptr) *written = count;
    return ok || record_error();
  }

  bool read(Handle handle, std::uint8_t* buffer, std::uint32_t size,
            std::uint32_t* got) override {
    DWORD count = 0;
    bool ok = ReadFile(native(handle), buffer, size, &count, nullptr) != FALSE;
    if (got != nullptr) *got = count;
    return ok || record_error();
  }

  bool control(Handle handle, std::uint32_t code, const void* in, std::uint32_t in_size,
               void* out, std::uint32_t out_size, std::uint32_t* returned) override {
    DWORD count = 0;
    // METHOD_BUFFERED copies the input before the driver sees it; the API is just not const.
    bool ok = DeviceIoControl(native(handle), code, const_cast<void*>(in), in_size, out, out_size,
                              &count, nullptr) != FALSE;
    if (returned != nullptr) *returned = count;
    return ok || record_error();
  }

  bool close(Handle handle) override {
    if (!CloseHandle(native(handle))) return record_error();
    return true;
  }

  bool escape_held() override { return GetKeyState(VK_ESCAPE) < 0; }

 private:
  // The thread's error is taken right at the failing call: the device code allocates
  // between a call and its error check, and nothing promises the heap leaves it alone.
  bool record_error() {
    last_error_ = GetLastError();
    return false;
  }

  std::uint32_t last_error_ = ERROR_SUCCESS;
};

}  // namespace

Platform& program_platform() {
  static Win32Platform platform;
  return platform;
}

}  // namespace tarnlink
