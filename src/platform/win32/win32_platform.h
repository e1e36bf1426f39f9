// The Win32 backend: the instrument's driver through the Setup API and plain
// file I/O. Only this folder and the backend's own tests include this header.
//
// A listing is one pass of the Setup API over the class's present interfaces:
// members from 0 until the set reports that it has no more, each path by the
// two-step detail query. Any other failure of a step ends the listing as failed.
//
// An open counts only when CreateFileW returns a handle and leaves no error
// behind; a handle that comes with an error is closed again.
//
// Blocking: writes, reads and the timeout requests are synchronous and wait as
// long as the driver makes them.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <memory>

#include "base/driver_contract.h"
#include "platform/platform.h"

namespace tarnlink::win32 {

// The driver's interface class as the Setup API takes it.
inline constexpr GUID kInterfaceClass = {
    contract::kInterfaceClass.data1,
    contract::kInterfaceClass.data2,
    contract::kInterfaceClass.data3,
    {contract::kInterfaceClass.data4[0], contract::kInterfaceClass.data4[1],
     contract::kInterfaceClass.data4[2], contract::kInterfaceClass.data4[3],
     contract::kInterfaceClass.data4[4], contract::kInterfaceClass.data4[5],
     contract::kInterfaceClass.data4[6], contract::kInterfaceClass.data4[7]}};

// The system calls whose failures decide the backend's outcomes. The program
// uses the system's own; tests put in others to reach failures that no real
// interface or instrument shows on demand.
struct SystemCalls {
  decltype(&SetupDiGetClassDevsW) get_class_devs = &SetupDiGetClassDevsW;
  decltype(&SetupDiEnumDeviceInterfaces) enum_interfaces = &SetupDiEnumDeviceInterfaces;
  decltype(&SetupDiGetDeviceInterfaceDetailW) interface_detail = &SetupDiGetDeviceInterfaceDetailW;
  decltype(&SetupDiDestroyDeviceInfoList) destroy_list = &SetupDiDestroyDeviceInfoList;
  decltype(&CreateFileW) create_file = &CreateFileW;
  decltype(&CloseHandle) close_handle = &CloseHandle;
  decltype(&DeviceIoControl) device_control = &DeviceIoControl;
};

// A backend that makes its system calls through `calls`. The program's own is
// program_platform(), with the system's calls.
std::unique_ptr<Platform> make_platform(const SystemCalls& calls);

}  // namespace tarnlink::win32
