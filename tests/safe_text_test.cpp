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
        SafeCase{"HighBytesKept", "caf\xc3\xa9 \x80\xff", KeepBytes::kAllButControls, "",
                 "caf\xc3\xa9 \x80\xff"},
        SafeCase{"PrintableAsciiOnly", "a\xc3\xa9\x7f~", KeepBytes::kPrintableAscii, "", "a???~"},
        SafeCase{"AlsoReplaced", "a/b.c", KeepBytes::kAllButControls, "/.", "a?b?c"}),
    testing::CaseName());

}  // namespace
}  // namespace tarnlink
