// The program's fixed texts as its tests expect them, byte for byte.
#pragma once

#include <string>

namespace tarnlink::testing {

inline const std::string kBannerLine = "tarnlink ver 2.3 - Morlend - DRQ \n";
// The nine usage lines.
inline const std::string kUsage =
    "tarnlink <filename>  - send <filename> to VELK Device\n"
    "tarnlink <filename> /M - send <filename> to VELK Device as Firmware\n"
    "tarnlink <filename1> <filename2> [/T<n>] - send <filename> to VELK Device and read "
    "<filename2> from VELK Device\n"
    "     [/T<n>] - optional TimeOut\n"
    "tarnlink <string> <filename> /S [/T<n>] - send sequence of characters <string> to VELK "
    "Device and read <filneme> from VELK Device\n"
    "     [/T<n>] - optional TimeOut i mili second\n"
    "     - if filename is CON as output - it'll be screen\n"
    "     - default timeout is 8 sek\n"
    "tarnlink <filename> /U <USBName> - send <filename> to Velk Device connected by <USBName> "
    "port.\n";
inline const std::string kInvalidFour = " Invalid  parameters\n";
inline const std::string kInvalidMore = "  Invalid  parameters\n";

}  // namespace tarnlink::testing
