#include "devices.h"

#include <windows.h>
#include <newdev.h>
#include <setupapi.h>

#include <chrono>
#include <memory>
#include <thread>

#include "bridge.h"
#include "platform/platform.h"
#include "win32_text.h"

namespace velk_emu {
namespace {

// A device is created without a class: the driver's INF gives it one.
constexpr GUID kNoClass = {};
// The longest device instance ID, as the configuration manager counts it.
constexpr DWORD kMaxDeviceId = 200;

// How long a newly installed device may take to show its interface.
// A loaded machine stretches the first driver load to seconds; a service that
// Wine's service manager would not start never shows, whatever the wait.
constexpr auto kPresenceBound = std::chrono::seconds(60);

struct InfoSetCloser {
  void operator()(void* set) const { SetupDiDestroyDeviceInfoList(set); }
};
using InfoSet = std::unique_ptr<void, InfoSetCloser>;

InfoSet make_set(HDEVINFO set) { return InfoSet(set == INVALID_HANDLE_VALUE ? nullptr : set); }

std::wstring upper(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return text;
}

std::wstring instance_id(HDEVINFO set, SP_DEVINFO_DATA& data) {
  wchar_t id[kMaxDeviceId + 1] = {};
  if (!SetupDiGetDeviceInstanceIdW(set, &data, id, kMaxDeviceId, nullptr)) return {};
  return id;
}

bool remove_instance(const std::wstring& id) {
  InfoSet set = make_set(SetupDiCreateDeviceInfoList(nullptr, nullptr));
  if (!set) return false;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof(data);
  return SetupDiOpenDeviceInfoW(set.get(), id.c_str(), nullptr, 0, &data) &&
         SetupDiCallClassInstaller(DIF_REMOVE, set.get(), &data);
}

// Devices of ours that a velk-emu.exe killed before its clean-up left behind:
// they would be listed beside the new ones.
void remove_leftovers() {
  InfoSet set = make_set(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
  if (!set) return;
  const std::wstring prefix = upper(VELK_BRIDGE_ENUMERATOR);
  std::vector<std::wstring> ids;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof(data);
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set.get(), i, &data); ++i) {
    const std::wstring id = instance_id(set.get(), data);
    if (upper(id).rfind(prefix, 0) == 0) ids.push_back(id);
  }
  set.reset();
  for (const std::wstring& id : ids) remove_instance(id);
}

bool register_device(const std::wstring& id, DWORD number, std::string& error) {
  InfoSet set = make_set(SetupDiCreateDeviceInfoList(nullptr, nullptr));
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof(data);
  if (!set || !SetupDiCreateDeviceInfoW(set.get(), id.c_str(), &kNoClass, nullptr, nullptr, 0, &data)) {
    error = win32_failure("cannot create the device " + console_text(id));
    return false;
  }
  // A multi-string: the ID, then an empty string.
  const std::wstring hardware_id = std::wstring(VELK_BRIDGE_HARDWARE_ID) + L'\0';
  if (!SetupDiSetDeviceRegistryPropertyW(
          set.get(), &data, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(hardware_id.c_str()),
          static_cast<DWORD>((hardware_id.size() + 1) * sizeof(wchar_t))) ||
      !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set.get(), &data)) {
    error = win32_failure("cannot register the device " + console_text(id));
    return false;
  }
  HKEY key = SetupDiCreateDevRegKeyW(set.get(), &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
  const bool numbered = key != INVALID_HANDLE_VALUE &&
                        RegSetValueExW(key, VELK_BRIDGE_INSTRUMENT_VALUE, 0, REG_DWORD,
                                       reinterpret_cast<const BYTE*>(&number), sizeof(number)) == ERROR_SUCCESS;
  if (key != INVALID_HANDLE_VALUE) RegCloseKey(key);
  if (!numbered) {
    error = win32_failure("cannot number the device " + console_text(id));
    SetupDiCallClassInstaller(DIF_REMOVE, set.get(), &data);
    return false;
  }
  return true;
}

std::wstring driver_inf() {
  wchar_t exe[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring path(exe, length);
  path.erase(path.find_last_of(L"\\/") + 1);
  return path + L"velkemu.inf";
}

// The instruments present, listed as tarnlink lists them.
std::vector<std::wstring> present_paths() { return tarnlink::program_platform().interface_paths().paths; }

// The instance part of the ID shows in the interface path, lower-cased.
std::wstring path_part(const std::string& name) { return L"#" + widen(name) + L"#"; }

}  // namespace

Devices::~Devices() { remove_all(); }

bool Devices::install(const std::vector<std::string>& names, std::string& error) {
  remove_leftovers();
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::wstring id = VELK_BRIDGE_ENUMERATOR + widen(names[i]);
    if (!register_device(id, static_cast<DWORD>(i), error)) {
      remove_all();
      return false;
    }
    instance_ids_.push_back(id);
  }
  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, VELK_BRIDGE_HARDWARE_ID, driver_inf().c_str(),
                                          INSTALLFLAG_FORCE, &reboot)) {
    error = win32_failure("cannot install the test driver from " + console_text(driver_inf()));
    remove_all();
    return false;
  }
  paths_.assign(names.size(), std::wstring());
  const auto deadline = std::chrono::steady_clock::now() + kPresenceBound;
  for (;;) {
    const std::vector<std::wstring> present = present_paths();
    std::size_t found = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
      for (const std::wstring& path : present) {
        if (path.find(path_part(names[i])) != std::wstring::npos) paths_[i] = path;
      }
      if (!paths_[i].empty()) ++found;
    }
    if (found == names.size()) return true;
    if (std::chrono::steady_clock::now() > deadline) {
      error = "the instruments' interfaces did not appear";
      remove_all();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void Devices::remove(std::size_t number) {
  if (number >= instance_ids_.size() || instance_ids_[number].empty()) return;
  remove_instance(instance_ids_[number]);
  instance_ids_[number].clear();
}

void Devices::remove_all() {
  for (std::size_t i = 0; i < instance_ids_.size(); ++i) remove(i);
  instance_ids_.clear();
}

}  // namespace velk_emu
