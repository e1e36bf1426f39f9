#include "answer.h"

#include <cerrno>
#include <cstring>
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
    std::FILE* file = std::fopen(options.answer_file.c_str(), "rb");
    if (file == nullptr) {
      error = answer_file_error(options.answer_file, errno);
      return false;
    }
    return read_answer_file(file, options.answer_file, answer, error);
  }
  return true;
}

bool read_answer_file(std::FILE* file, const std::string& path, std::vector<std::uint8_t>& answer,
                      std::string& error) {
  // A folder opens like a file and fails only when read.
  errno = 0;
  char chunk[65536];
  std::size_t got = 0;
  do {
    got = std::fread(chunk, 1, sizeof chunk, file);
    answer.insert(answer.end(), chunk, chunk + got);
  } while (got == sizeof chunk);  // short at its end, or at a failure
  const int read_error = std::ferror(file) != 0 ? (errno != 0 ? errno : EIO) : 0;
  (void)std::fclose(file);
  if (read_error != 0) error = answer_file_error(path, read_error);
  return read_error == 0;
}

std::string answer_file_error(const std::string& path, int error_number) {
  return "cannot read answer file " + path + ": " + std::strerror(error_number);
}

}  // namespace velk_emu
