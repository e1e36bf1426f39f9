// The platform layer: the calls the device code makes to the operating system and
// the instrument's driver, one operation per call. Exactly one backend is compiled
// into the program (win32/ or posix/); tests hand in a scripted fake.
//
// Every operation is synchronous. Failures are reported the Win32 way: a false
// result (or an invalid value) and an error code read with last_error(). Codes
// above the platform are Win32 error numbers; the POSIX backend translates errno
// to the nearest one at its edge.
#pragma once

#include <cstdint>
#include <string>

#include "base/native_text.h"

namespace tarnlink {


// A device information set (HDEVINFO on Windows). Both kInvalidInfoSet and 0 mean
// that the set could not be obtained.
using InfoSet = std::uintptr_t;
inline constexpr InfoSet kInvalidInfoSet = ~InfoSet{0};

// An open device (HANDLE on Windows, a descriptor elsewhere). Only kInvalidHandle
// marks a failed open.
using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// One interface of a device information set, as enumeration fills it
// (SP_DEVICE_INTERFACE_DATA on Windows). Opaque above the platform: the device
// code only hands it from enum_interface to interface_detail.
struct InterfaceData {
  alignas(8) unsigned char bytes[40];
};

class Platform {
 public:
  virtual ~Platform() = default;

  // SetupDiGetClassDevsW for the driver's interface class, present interfaces
  // only (flags 18). Returns the set, or kInvalidInfoSet / 0 on failure.
  virtual InfoSet class_devices() = 0;

  // SetupDiEnumDeviceInterfaces: fills `data` with interface `member` (from 0) of
  // `set`. False when there is no such interface (last_error() is
  // kErrorNoMoreItems) or on any other failure.
  virtual bool enum_interface(InfoSet set, std::uint32_t member, InterfaceData& data) = 0;

  // SetupDiGetDeviceInterfaceDetailW, reduced to the device path. Called twice:
  // first with path == nullptr and capacity 0, which stores in *required the
  // number of NativeChar the path needs including its terminating zero (the
  // result of that call means nothing); then with a buffer of that many
  // characters, which receives the zero-terminated path. False on failure,
  // including a buffer that is too small.
  virtual bool interface_detail(InfoSet set, const InterfaceData& data, NativeChar* path,
                                std::uint32_t capacity, std::uint32_t* required) = 0;

  // SetupDiDestroyDeviceInfoList.
  virtual bool destroy_list(InfoSet set) = 0;

  // CreateFileW with GENERIC_READ | GENERIC_WRITE, no sharing, OPEN_EXISTING and
  // synchronous I/O. Returns kInvalidHandle on failure. Sets last_error(), to 0
  // on success.
  virtual Handle open_exclusive(const NativeChar* path) = 0;

  // GetLastError: the error of the latest failed call of this platform.
  virtual std::uint32_t last_error() = 0;

  // WriteFile: one call carries `size` bytes as one message. Blocks until the
  // driver has taken them; *written receives how many it took.
  virtual bool write(Handle handle, const std::uint8_t* data, std::uint32_t size,
                     std::uint32_t* written) = 0;

  // ReadFile of up to `size` bytes. Blocks until data is there or the link
  // timeout passes; a timeout gives true with *got == 0.
  virtual bool read(Handle handle, std::uint8_t* buffer, std::uint32_t size,
                    std::uint32_t* got) = 0;

  // DeviceIoControl with one of the driver's control codes. *returned receives
  // the number of output bytes stored.
  virtual bool control(Handle handle, std::uint32_t code, const void* in, std::uint32_t in_size,
                       void* out, std::uint32_t out_size, std::uint32_t* returned) = 0;

  // CloseHandle.
  virtual bool close(Handle handle) = 0;

  // GetKeyState(VK_ESCAPE) < 0: whether Esc is held right now. Never blocks.
  virtual bool escape_held() = 0;
};

// The backend compiled into this build. Lives until the process ends.
Platform& program_platform();

}  // namespace tarnlink
