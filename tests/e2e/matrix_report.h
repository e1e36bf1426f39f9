// Rows of the reliability tables: the tests that fill docs/reliability.md write
// one row per case when TARNLINK_MATRIX_OUT names a file.
#pragma once

#include <string>
#include <vector>

#include "support/e2e_harness.h"

namespace tarnlink::e2e {

// The program's output as a table cell: 30 backspaces, line ends and other
// control bytes made visible, and a long run cut in its middle.
std::string visible(const std::string& text);
// A run's output after the banner line as a table cell, with every `dir` in it,
// when one is given, shown as DIR.
std::string visible_after_banner(const std::string& output, const std::string& dir = "");

// Appends one tab-separated row to the file named by TARNLINK_MATRIX_OUT, if set.
void append_row(const std::vector<std::string>& fields);

// A test that reports its case as one row: the fields it put in row_, then its
// verdict.
class ReportedTest : public E2eTest {
 protected:
  void TearDown() override;
  std::vector<std::string> row_;
};

}  // namespace tarnlink::e2e
