#include "matrix_report.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

namespace tarnlink::e2e {

std::string visible(const std::string& text) {
  const std::string erase = progress("");
  std::string shown;
  for (std::size_t i = 0; i < text.size();) {
    if (text.compare(i, erase.size(), erase) == 0) {
      shown += "⌫";
      i += erase.size();
      continue;
    }
    const char c = text[i++];
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      shown += "↵";
    } else if (c == '|') {
      shown += "\\|";
    } else if (byte < 0x20 || byte >= 0x7F) {
      char code[8];
      std::snprintf(code, sizeof code, "\\x%02X", byte);
      shown += code;
    } else {
      shown += c;
    }
  }
  // A long run of progress texts keeps its start and its end, cut between characters.
  constexpr std::size_t kLimit = 110;
  if (shown.size() > kLimit) {
    const auto boundary = [&](std::size_t i) {
      while (i > 0 && (static_cast<unsigned char>(shown[i]) & 0xC0) == 0x80) --i;
      return i;
    };
    shown = shown.substr(0, boundary(40)) + " … " + shown.substr(boundary(shown.size() - 60));
  }
  return shown;
}

std::string visible_after_banner(const std::string& output, const std::string& dir) {
  std::string shown = output.substr(std::min(output.size(), kBanner.size()));
  if (!dir.empty()) {
    for (std::size_t at; (at = shown.find(dir)) != std::string::npos;) {
      shown.replace(at, dir.size(), "DIR");
    }
  }
  return visible(shown);
}

void append_row(const std::vector<std::string>& fields) {
  const char* out = std::getenv("TARNLINK_MATRIX_OUT");
  if (out == nullptr || *out == '\0') return;
  std::string line;
  for (const std::string& field : fields) line += (line.empty() ? "" : "\t") + field;
  line += "\n";
  const int fd = open(out, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << "cannot open " << out;
  EXPECT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  close(fd);
}

void ReportedTest::TearDown() {
  E2eTest::TearDown();
  if (!row_.empty()) {
    row_.push_back(HasFailure() ? "FAIL" : "pass");
    append_row(row_);
  }
}

}  // namespace tarnlink::e2e
