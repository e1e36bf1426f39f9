// The emulated instruments' devices on this Windows machine (or Wine prefix):
// one root-enumerated device per instrument, driven by the test driver that
// lies next to velk-emu.exe.
#pragma once

#include <string>
#include <vector>

namespace velk_emu {

class Devices {
 public:
  Devices() = default;
  // Removes every device still installed.
  ~Devices();
  Devices(const Devices&) = delete;
  Devices& operator=(const Devices&) = delete;

  // Removes devices that an earlier velk-emu.exe left behind (killed before it
  // could clean up), installs one device per name, numbered from 0 in the
  // order given, and waits until each one's interface is present. False with
  // a one-line reason on failure; what was installed is removed again.
  bool install(const std::vector<std::string>& names, std::string& error);
  // The present interface path of each instrument, in install order.
  const std::vector<std::wstring>& paths() const { return paths_; }
  // Takes instrument `number` off the machine, as a surprise removal does.
  void remove(std::size_t number);
  void remove_all();

 private:
  std::vector<std::wstring> instance_ids_;  // empty once removed
  std::vector<std::wstring> paths_;
};

}  // namespace velk_emu
