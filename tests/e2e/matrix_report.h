// Rows of the reliability tables: the tests that fill docs/reliability.md write
// one row per case when TARNLINK_MATRIX_OUT names a file.
#pragma once

#include <string>
#include <vector>

namespace tarnlink::e2e {

// The program's output as a table cell: 30 backspaces, line ends and other
// control bytes made visible, and a long run cut in its middle.
std::string visible(const std::string& text);

// Appends one tab-separated row to the file named by TARNLINK_MATRIX_OUT, if set.
void append_row(const std::vector<std::string>& fields);

}  // namespace tarnlink::e2e
