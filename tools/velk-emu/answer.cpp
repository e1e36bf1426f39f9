#include "answer.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

namespace velk_emu {

bool load_answer(const Options& options, std::vector<std::uint8_t>& answer, std::string& error) {
  answer.clear();
  if (options.answer == AnswerMode::kPattern) {
    // A 32-bit build cannot hold the largest pattern the options allow.
    if (options.pattern_size > answer.max_size()) {
      error = "pattern answer too large for this build: " + std::to_string(options.pattern_size) +
              " bytes";
      return false;
    }
    answer.resize(static_cast<std::size_t>(options.pattern_size));
    for (std::size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<std::uint8_t>(i % 251);
  } else if (options.answer == AnswerMode::kFile) {
    errno = 0;
    std::ifstream file(options.answer_file, std::ios::binary);
    // A folder opens like a file and fails only when read; the stream's read
    // turns that failure into its state instead of an exception.
    char chunk[65536];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
      answer.insert(answer.end(), chunk, chunk + file.gcount());
    }
    if (!file.eof()) {
      error = "cannot read answer file " + options.answer_file + ": " +
              std::strerror(errno != 0 ? errno : EIO);
      return false;
    }
  }
  return true;
}

}  // namespace velk_emu
