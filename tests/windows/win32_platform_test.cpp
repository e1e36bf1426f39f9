// The Win32 backend against the real Setup API and file system (Wine on the test
// machine). The interface set here is made with the Setup API's own creation calls,
// so the detail query and its path mapping run on real data without an instrument.
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "base/driver_contract.h"
#include "platform/platform.h"

namespace tarnlink {
namespace {

constexpr GUID kClass = {
    contract::kInterfaceClass.data1,
    contract::kInterfaceClass.data2,
    contract::kInterfaceClass.data3,
    {contract::kInterfaceClass.data4[0], contract::kInterfaceClass.data4[1],
     contract::kInterfaceClass.data4[2], contract::kInterfaceClass.data4[3],
     contract::kInterfaceClass.data4[4], contract::kInterfaceClass.data4[5],
     contract::kInterfaceClass.data4[6], contract::kInterfaceClass.data4[7]}};

TEST(Win32Enumeration, NoInstrumentEndsWithNoMoreItems) {
  Platform& platform = program_platform();
  InfoSet set = platform.class_devices();
  ASSERT_NE(set, kInvalidInfoSet);
  ASSERT_NE(set, InfoSet{0});
  InterfaceData data{};
  EXPECT_FALSE(platform.enum_interface(set, 0, data));
  EXPECT_EQ(platform.last_error(), contract::kErrorNoMoreItems);
  EXPECT_TRUE(platform.destroy_list(set));
}

// A device information set holding one interface of the driver's class.
class Win32InterfaceDetail : public ::testing::Test {
 protected:
  void SetUp() override {
    set_ = SetupDiCreateDeviceInfoList(&kClass, nullptr);
    ASSERT_NE(set_, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    ASSERT_TRUE(SetupDiCreateDeviceInfoW(set_, L"TarnlinkTestDevice", &kClass, nullptr, nullptr,
                                         DICD_GENERATE_ID, &device))
        << GetLastError();
    SP_DEVICE_INTERFACE_DATA created{};
    created.cbSize = sizeof(created);
    ASSERT_TRUE(SetupDiCreateDeviceInterfaceW(set_, &device, &kClass, L"link", 0, &created))
        << GetLastError();
    expected_path_ = native_path(created);
    ASSERT_FALSE(expected_path_.empty());
  }
  void TearDown() override {
    if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
  }

  // The path as the Setup API reports it, asked for directly.
  std::wstring native_path(SP_DEVICE_INTERFACE_DATA data) const {
    DWORD bytes = 0;
    SetupDiGetDeviceInterfaceDetailW(set_, &data, nullptr, 0, &bytes, nullptr);
    if (bytes < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return {};
    std::vector<unsigned char> storage(bytes);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = sizeof(*detail);
    if (!SetupDiGetDeviceInterfaceDetailW(set_, &data, detail, bytes, nullptr, nullptr)) {
      return {};
    }
    return detail->DevicePath;
  }
  InfoSet info_set() const { return reinterpret_cast<InfoSet>(set_); }

  HDEVINFO set_ = INVALID_HANDLE_VALUE;
  std::wstring expected_path_;
};

TEST_F(Win32InterfaceDetail, EnumeratesTheInterfaceThenNoMore) {
  Platform& platform = program_platform();
  InterfaceData data{};
  ASSERT_TRUE(platform.enum_interface(info_set(), 0, data)) << platform.last_error();
  InterfaceData past_end{};
  EXPECT_FALSE(platform.enum_interface(info_set(), 1, past_end));
  EXPECT_EQ(platform.last_error(), contract::kErrorNoMoreItems);
}

// The fixture's interface lives only in its own set: the program's query for present
// interfaces, which other tests run at the same time, must not see it.
TEST_F(Win32InterfaceDetail, MadeInterfaceIsNotPresent) {
  Platform& platform = program_platform();
  InfoSet present = platform.class_devices();
  ASSERT_NE(present, kInvalidInfoSet);
  InterfaceData data{};
  EXPECT_FALSE(platform.enum_interface(present, 0, data));
  EXPECT_EQ(platform.last_error(), contract::kErrorNoMoreItems);
  EXPECT_TRUE(platform.destroy_list(present));
}

TEST_F(Win32InterfaceDetail, TwoStepQueryGivesThePathInCharacters) {
  Platform& platform = program_platform();
  InterfaceData data{};
  ASSERT_TRUE(platform.enum_interface(info_set(), 0, data));

  std::uint32_t required = 0;
  platform.interface_detail(info_set(), data, nullptr, 0, &required);
  ASSERT_EQ(required, expected_path_.size() + 1);

  std::vector<NativeChar> path(required, L'x');
  ASSERT_TRUE(platform.interface_detail(info_set(), data, path.data(), required, &required))
      << platform.last_error();
  EXPECT_EQ(std::wstring(path.data()), expected_path_);
  EXPECT_EQ(path.back(), L'\0');
}

TEST_F(Win32InterfaceDetail, BufferWithoutRoomForTheTerminatorFails) {
  Platform& platform = program_platform();
  InterfaceData data{};
  ASSERT_TRUE(platform.enum_interface(info_set(), 0, data));

  const auto capacity = static_cast<std::uint32_t>(expected_path_.size());
  std::vector<NativeChar> path(capacity + 1, L'x');
  std::uint32_t required = 0;
  EXPECT_FALSE(platform.interface_detail(info_set(), data, path.data(), capacity, &required));
  EXPECT_EQ(platform.last_error(), static_cast<std::uint32_t>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(path[capacity], L'x') << "wrote past the given capacity";
}

TEST_F(Win32InterfaceDetail, InterfaceNeverEnumeratedIsRefused) {
  Platform& platform = program_platform();
  InterfaceData blank{};
  std::uint32_t required = 0;
  EXPECT_FALSE(platform.interface_detail(info_set(), blank, nullptr, 0, &required));
  EXPECT_GE(required, 1u);
  std::vector<NativeChar> path(16);
  EXPECT_FALSE(platform.interface_detail(info_set(), blank, path.data(), 16, &required));
  EXPECT_NE(platform.last_error(), contract::kErrorSuccess);
}

// Plain files stand in for the instrument: same calls, same open mode.
class Win32FileIo : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("tarnlink_platform_" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(dir_);
    file_ = (dir_ / L"device.bin").wstring();
    HANDLE created = CreateFileW(file_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                                 nullptr);
    ASSERT_NE(created, INVALID_HANDLE_VALUE);
    CloseHandle(created);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path dir_;
  std::wstring file_;
};

TEST_F(Win32FileIo, OpenIsExclusiveAndClearsTheError) {
  Platform& platform = program_platform();
  Handle first = platform.open_exclusive(file_.c_str());
  ASSERT_NE(first, kInvalidHandle);
  EXPECT_EQ(platform.last_error(), contract::kErrorSuccess);

  EXPECT_EQ(platform.open_exclusive(file_.c_str()), kInvalidHandle);
  EXPECT_EQ(platform.last_error(), static_cast<std::uint32_t>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(platform.close(first));
}

TEST_F(Win32FileIo, MissingPathIsNotCreated) {
  Platform& platform = program_platform();
  const std::wstring missing = (dir_ / L"absent.bin").wstring();
  EXPECT_EQ(platform.open_exclusive(missing.c_str()), kInvalidHandle);
  EXPECT_EQ(platform.last_error(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST_F(Win32FileIo, WriteThenReadBackUntilEmpty) {
  Platform& platform = program_platform();
  const std::uint8_t message[] = {0x00, 0x0D, 0x0A, 0x1A, 0xFF};
  Handle handle = platform.open_exclusive(file_.c_str());
  ASSERT_NE(handle, kInvalidHandle);
  std::uint32_t written = 0;
  ASSERT_TRUE(platform.write(handle, message, sizeof(message), &written));
  EXPECT_EQ(written, sizeof(message));
  ASSERT_TRUE(platform.close(handle));

  handle = platform.open_exclusive(file_.c_str());
  ASSERT_NE(handle, kInvalidHandle);
  std::vector<std::uint8_t> chunk(contract::kChunkSize);
  std::uint32_t got = 0;
  ASSERT_TRUE(platform.read(handle, chunk.data(), contract::kChunkSize, &got));
  ASSERT_EQ(got, sizeof(message));
  EXPECT_EQ(std::memcmp(chunk.data(), message, sizeof(message)), 0);
  ASSERT_TRUE(platform.read(handle, chunk.data(), contract::kChunkSize, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_TRUE(platform.close(handle));
}

TEST_F(Win32FileIo, ControlCodeOnAFileFailsWithAnError) {
  Platform& platform = program_platform();
  Handle handle = platform.open_exclusive(file_.c_str());
  ASSERT_NE(handle, kInvalidHandle);
  std::int32_t timeout = 0;
  std::uint32_t returned = 99;
  EXPECT_FALSE(platform.control(handle, contract::kIoctlGetTimeout, nullptr, 0, &timeout,
                                sizeof(timeout), &returned));
  EXPECT_NE(platform.last_error(), contract::kErrorSuccess);
  EXPECT_EQ(returned, 0u);
  EXPECT_TRUE(platform.close(handle));
}

}  // namespace
}  // namespace tarnlink
