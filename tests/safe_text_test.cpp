#include "base/safe_text.h"

#include <gtest/gtest.h>

#include <string>

#include "support/case_name.h"

namespace tarnlink {
namespace {

struct SafeCase {
  const char* name;
  std::string text;
  KeepBytes keep;
  std::string also;
  std::string safe;
};

class SafeTextTest : public ::testing::TestWithParam<SafeCase> {};

TEST_P(SafeTextTest, ReplacesWhatTheTerminalWouldActOn) {
  const SafeCase& c = GetParam();
  EXPECT_EQ(replace_unsafe_bytes(c.text, '?', c.keep, c.also), c.safe);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, SafeTextTest,
    ::testing::Values(
        SafeCase{"ControlEdgesAndDel", std::string("\x00\x1f \x7e\x7f", 5),
                 KeepBytes::kAllButControls, "", "?? ~?"},
        SafeCase{"Utf8AndHighBytesOutsideC1Kept", "caf\xc3\xa9 \xc4\x9a \xf0\x9f\x98\x80 \xa0\xff",
                 KeepBytes::kAllButControls, "", "caf\xc3\xa9 \xc4\x9a \xf0\x9f\x98\x80 \xa0\xff"},
        // CSI as an 8-bit byte and as U+009B; a lone continuation byte, an
        // overlong form and a surrogate are bytes of their own, not UTF-8.
        SafeCase{"C1Controls",
                 "\x9b" "2J \xc2\x9b" "2J \xc2\x80\xc2\x9f\xc2\xa0 \x80\xc1\x9b\xed\xa0\x9b",
                 KeepBytes::kAllButControls, "", "?2J ?2J ??\xc2\xa0 ?\xc1?\xed\xa0?"},
        SafeCase{"PrintableAsciiOnlyOneForEachCharacter",
                 "a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80\x7f\xff~", KeepBytes::kPrintableAscii,
                 "", "a?????~"},
        SafeCase{"AlsoReplaced", "a/b.c", KeepBytes::kAllButControls, "/.", "a?b?c"}),
    testing::CaseName());

}  // namespace
}  // namespace tarnlink
