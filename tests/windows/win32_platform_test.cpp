// The Win32 backend against the real Setup API and file system (Wine on the test
// machine), and against scripted system calls for the failures that no real
// interface or instrument shows on demand.
#include "platform/win32/win32_platform.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/driver_contract.h"
#include "support/temp_dir.h"

namespace tarnlink::win32 {
namespace {

using Calls = std::vector<std::string>;
using Paths = std::vector<NativeString>;
using Detail = SP_DEVICE_INTERFACE_DETAIL_DATA_W;

TEST(Win32Listing, NoInstrumentListsNothing) {
  const ListResult present = program_platform().interface_paths();
  EXPECT_FALSE(present.failed);
  EXPECT_TRUE(present.paths.empty());
}

// A set holding one interface of the driver's class, made with the Setup API's own
// creation calls, so that the detail query runs on real data without an instrument.
class Win32MadeInterface : public ::testing::Test {
 protected:
  void SetUp() override {
    made_ = SetupDiCreateDeviceInfoList(&kInterfaceClass, nullptr);
    ASSERT_NE(made_, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    ASSERT_TRUE(SetupDiCreateDeviceInfoW(made_, L"TarnlinkTestDevice", &kInterfaceClass, nullptr, nullptr,
                                         DICD_GENERATE_ID, &device))
        << GetLastError();
    SP_DEVICE_INTERFACE_DATA created{};
    created.cbSize = sizeof(created);
    ASSERT_TRUE(SetupDiCreateDeviceInterfaceW(made_, &device, &kInterfaceClass, L"link", 0, &created))
        << GetLastError();
    expected_path_ = native_path(created);
    ASSERT_FALSE(expected_path_.empty());
  }
  void TearDown() override {
    if (made_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(made_);
    made_ = INVALID_HANDLE_VALUE;
  }

  // The path as the Setup API reports it, asked for directly.
  static std::wstring native_path(SP_DEVICE_INTERFACE_DATA data) {
    DWORD bytes = 0;
    SetupDiGetDeviceInterfaceDetailW(made_, &data, nullptr, 0, &bytes, nullptr);
    if (bytes < sizeof(Detail)) return {};
    std::vector<unsigned char> storage(bytes);
    auto* detail = reinterpret_cast<Detail*>(storage.data());
    detail->cbSize = sizeof(*detail);
    if (!SetupDiGetDeviceInterfaceDetailW(made_, &data, detail, bytes, nullptr, nullptr)) return {};
    return detail->DevicePath;
  }
  // The class query answers with the made set, which the fixture releases itself.
  static HDEVINFO WINAPI made_class(const GUID*, PCWSTR, HWND, DWORD) { return made_; }
  static BOOL WINAPI kept(HDEVINFO) { return TRUE; }

  static inline HDEVINFO made_ = INVALID_HANDLE_VALUE;
  std::wstring expected_path_;
};

TEST_F(Win32MadeInterface, ListingGivesItsPath) {
  SystemCalls calls;
  calls.get_class_devs = made_class;
  calls.destroy_list = kept;
  const ListResult listed = make_platform(calls)->interface_paths();
  EXPECT_FALSE(listed.failed);
  EXPECT_EQ(listed.paths, Paths{expected_path_});
}

// The made interface lives only in its own set: the program's query for present
// interfaces, which other tests run at the same time, must not see it.
TEST_F(Win32MadeInterface, MadeInterfaceIsNotPresent) {
  EXPECT_TRUE(program_platform().interface_paths().paths.empty());
}

// A Setup API and device calls that answer from a script and record every call.
struct Script {
  HDEVINFO set = reinterpret_cast<HDEVINFO>(0x5E7);
  std::vector<std::wstring> paths;
  int enum_fails_at = -1;    // member whose enumeration fails, not at the set's end
  int detail_fails_at = -1;  // member whose second detail query fails
  bool size_too_small = false;
  HANDLE opened = reinterpret_cast<HANDLE>(0x0E7);
  DWORD open_error = ERROR_SUCCESS;  // the thread's error an open leaves behind
  BOOL control_ok = TRUE;
  DWORD control_returned = 4;
  std::int32_t driver_timeout = 80000000;
  std::vector<std::string> calls;
};
Script* script = nullptr;

HDEVINFO WINAPI scripted_class(const GUID* guid, PCWSTR enumerator, HWND window, DWORD flags) {
  const bool as_told = std::memcmp(guid, &kInterfaceClass, sizeof(GUID)) == 0 && enumerator == nullptr &&
                       window == nullptr;
  script->calls.push_back((as_told ? "class " : "class? ") + std::to_string(flags));
  return script->set;
}

BOOL WINAPI scripted_enum(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD member,
                          PSP_DEVICE_INTERFACE_DATA found) {
  script->calls.push_back("enum " + std::to_string(member));
  if (found->cbSize != sizeof(*found) || static_cast<int>(member) == script->enum_fails_at) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (member >= script->paths.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  found->Reserved = member;
  return TRUE;
}

BOOL WINAPI scripted_detail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA found, Detail* detail, DWORD size,
                            PDWORD required, PSP_DEVINFO_DATA) {
  const auto member = static_cast<std::size_t>(found->Reserved);
  const std::wstring& path = script->paths.at(member);
  const auto needed = static_cast<DWORD>(offsetof(Detail, DevicePath) + (path.size() + 1) * sizeof(WCHAR));
  script->calls.push_back((detail == nullptr ? "detail-size " : "detail ") + std::to_string(member));
  if (detail == nullptr) {
    *required = script->size_too_small ? 2 : needed;
  } else if (detail->cbSize == sizeof(Detail) && size >= needed &&
             static_cast<int>(member) != script->detail_fails_at) {
    std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return TRUE;
  }
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return FALSE;
}

BOOL WINAPI scripted_destroy(HDEVINFO set) {
  script->calls.push_back(set == script->set ? "destroy" : "destroy?");
  return TRUE;
}

HANDLE WINAPI scripted_create(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE model) {
  const bool as_told = access == (GENERIC_READ | GENERIC_WRITE) && share == 0 &&
                       security == nullptr && disposition == OPEN_EXISTING && flags == 0 &&
                       model == nullptr;
  script->calls.push_back((as_told ? "create " : "create? ") +
                          std::string(path, path + std::wcslen(path)));
  SetLastError(script->open_error);
  return script->opened;
}

BOOL WINAPI scripted_close(HANDLE handle) {
  script->calls.push_back(handle == script->opened ? "close" : "close?");
  return TRUE;
}

BOOL WINAPI scripted_control(HANDLE, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                             DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped) {
  const bool set = code == contract::kIoctlSetTimeout;
  if (set && in_size == 4 && out == nullptr && out_size == 0 && overlapped == nullptr) {
    std::memcpy(&script->driver_timeout, in, 4);
    script->calls.push_back("set " + std::to_string(script->driver_timeout));
  } else if (!set && code == contract::kIoctlGetTimeout && in == nullptr && in_size == 0 &&
             out_size == 4 && overlapped == nullptr) {
    script->calls.push_back("get");
    std::memcpy(out, &script->driver_timeout, script->control_returned);
  } else {
    script->calls.push_back("control?");
  }
  *returned = set ? 0 : script->control_returned;
  return script->control_ok;
}

class Win32Scripted : public ::testing::Test {
 protected:
  void SetUp() override { script = &script_; }
  void TearDown() override { script = nullptr; }

  std::unique_ptr<Platform> platform() const {
    SystemCalls calls;
    calls.get_class_devs = scripted_class;
    calls.enum_interfaces = scripted_enum;
    calls.interface_detail = scripted_detail;
    calls.destroy_list = scripted_destroy;
    calls.create_file = scripted_create;
    calls.close_handle = scripted_close;
    calls.device_control = scripted_control;
    return make_platform(calls);
  }

  Script script_;
};

TEST_F(Win32Scripted, ListsFromMemberZeroToTheEndThenReleasesTheSet) {
  const std::wstring long_path(300, L'p');
  script_.paths = {L"\\\\?\\usb#one", long_path};
  const ListResult listed = platform()->interface_paths();
  EXPECT_FALSE(listed.failed);
  EXPECT_EQ(listed.paths, (Paths{L"\\\\?\\usb#one", long_path})) << "kept whole";
  EXPECT_EQ(script_.calls, (Calls{"class 18", "enum 0", "detail-size 0", "detail 0", "enum 1",
                                  "detail-size 1", "detail 1", "enum 2", "destroy"}));
}

TEST_F(Win32Scripted, FailuresKeepWhatWasListed) {
  struct Case {
    const char* what;
    int enum_fails_at, detail_fails_at;
    bool size_too_small;
    std::size_t listed;
  };
  for (const Case& c : {Case{"enumeration, not at the end", 2, -1, false, 2},
                        Case{"second detail query", -1, 1, false, 1},
                        Case{"size below the fixed part", -1, -1, true, 0}}) {
    script_ = Script{};
    script_.paths = {L"one", L"two", L"three"};
    script_.enum_fails_at = c.enum_fails_at;
    script_.detail_fails_at = c.detail_fails_at;
    script_.size_too_small = c.size_too_small;
    const ListResult listed = platform()->interface_paths();
    EXPECT_TRUE(listed.failed) << c.what;
    EXPECT_EQ(listed.paths.size(), c.listed) << c.what;
    EXPECT_EQ(script_.calls.back(), "destroy") << c.what;
  }
  for (const HDEVINFO no_set : {static_cast<HDEVINFO>(INVALID_HANDLE_VALUE), HDEVINFO{}}) {
    script_ = Script{};
    script_.set = no_set;
    const ListResult listed = platform()->interface_paths();
    EXPECT_TRUE(listed.failed);
    EXPECT_EQ(script_.calls, Calls{"class 18"}) << "no set, nothing to enumerate or release";
  }
}

TEST_F(Win32Scripted, OpenCountsOnlyAHandleThatLeavesNoError) {
  const std::unique_ptr<Platform> win32 = platform();
  EXPECT_EQ(win32->open_exclusive(L"dev").handle, reinterpret_cast<Handle>(script_.opened));
  script_.open_error = ERROR_ALREADY_EXISTS;
  EXPECT_EQ(win32->open_exclusive(L"dev").handle, kInvalidHandle);
  script_.opened = INVALID_HANDLE_VALUE;
  script_.open_error = ERROR_SHARING_VIOLATION;
  EXPECT_EQ(win32->open_exclusive(L"dev").handle, kInvalidHandle);
  EXPECT_EQ(script_.calls, (Calls{"create dev", "create dev", "close", "create dev"}))
      << "only a handle that came with an error is closed";
}

TEST_F(Win32Scripted, TimeoutRequests) {
  const std::unique_ptr<Platform> win32 = platform();
  const Handle handle = reinterpret_cast<Handle>(script_.opened);
  std::int32_t timeout = 0;
  EXPECT_TRUE(win32->set_timeout(handle, 1234));
  EXPECT_TRUE(win32->get_timeout(handle, timeout));
  EXPECT_EQ(timeout, 1234);

  script_.control_returned = 0;
  timeout = 7;
  EXPECT_FALSE(win32->get_timeout(handle, timeout)) << "an empty answer";
  EXPECT_EQ(timeout, 7);

  script_.control_ok = FALSE;
  script_.control_returned = 4;
  EXPECT_FALSE(win32->set_timeout(handle, 80000000));
  timeout = 0;
  EXPECT_FALSE(win32->get_timeout(handle, timeout));
  EXPECT_EQ(timeout, 80000000) << "what a failing driver stored is the caller's to see";
  EXPECT_EQ(script_.calls, (Calls{"set 1234", "get", "get", "set 80000000", "get"}));
}

// Plain files stand in for the instrument: same calls, same open mode.
class Win32FileIo : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = (dir_.path() / L"device.bin").wstring();
    HANDLE created = CreateFileW(file_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                                 nullptr);
    ASSERT_NE(created, INVALID_HANDLE_VALUE);
    CloseHandle(created);
  }

  testing::TempDir dir_;
  std::wstring file_;
};

TEST_F(Win32FileIo, OpenIsExclusive) {
  Platform& platform = program_platform();
  const Handle first = platform.open_exclusive(file_).handle;
  ASSERT_NE(first, kInvalidHandle);
  EXPECT_EQ(platform.open_exclusive(file_).handle, kInvalidHandle);
  EXPECT_TRUE(platform.close(first));
}

TEST_F(Win32FileIo, MissingPathIsNotCreated) {
  const std::wstring missing = (dir_.path() / L"absent.bin").wstring();
  EXPECT_EQ(program_platform().open_exclusive(missing).handle, kInvalidHandle);
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST_F(Win32FileIo, WriteThenReadBackUntilEmpty) {
  Platform& platform = program_platform();
  const std::uint8_t message[] = {0x00, 0x0D, 0x0A, 0x1A, 0xFF};
  Handle handle = platform.open_exclusive(file_).handle;
  ASSERT_NE(handle, kInvalidHandle);
  EXPECT_EQ(platform.write(handle, message, sizeof(message)), sizeof(message));
  ASSERT_TRUE(platform.close(handle));

  handle = platform.open_exclusive(file_).handle;
  ASSERT_NE(handle, kInvalidHandle);
  std::vector<std::uint8_t> chunk(contract::kChunkSize);
  ASSERT_EQ(platform.read(handle, chunk.data(), contract::kChunkSize), sizeof(message));
  EXPECT_EQ(std::memcmp(chunk.data(), message, sizeof(message)), 0);
  EXPECT_EQ(platform.read(handle, chunk.data(), contract::kChunkSize), 0u);
  EXPECT_TRUE(platform.close(handle));
}

TEST_F(Win32FileIo, TimeoutRequestsOnAFileFail) {
  Platform& platform = program_platform();
  const Handle handle = platform.open_exclusive(file_).handle;
  ASSERT_NE(handle, kInvalidHandle);
  std::int32_t timeout = 0;
  EXPECT_FALSE(platform.get_timeout(handle, timeout));
  EXPECT_FALSE(platform.set_timeout(handle, 1));
  EXPECT_TRUE(platform.close(handle));
}

}  // namespace
}  // namespace tarnlink::win32
