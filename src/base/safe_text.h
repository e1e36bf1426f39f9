// Text that a device chose (a device path, a serial number), made safe before it
// reaches the operator's terminal or becomes part of a path.
#pragma once

#include <string>
#include <string_view>

namespace tarnlink {

// Which bytes of a device's text are kept as they are.
enum class KeepBytes {
  kAllButControls,  // every byte but the C0 controls (below 0x20) and DEL (0x7F)
  kPrintableAscii,  // 0x20 to 0x7E only
};

// `text` with every byte that `keep` does not keep, and every byte of `also`,
// replaced by `with`. The length is unchanged.
std::string replace_unsafe_bytes(std::string_view text, char with, KeepBytes keep,
                                 std::string_view also = {});

}  // namespace tarnlink
