// The bytes a file or pattern answer gives, loaded once per process.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "options.h"

namespace velk_emu {

// The answer bytes for `options`: the file's contents, the pattern, or none
// for echo and silent. False with a one-line reason when the file cannot be read.
bool load_answer(const Options& options, std::vector<std::uint8_t>& answer, std::string& error);

// Reads the rest of `file`, the answer file `path` opened for reading, into
// `answer`, and closes it. False with a one-line reason when a read fails.
bool read_answer_file(std::FILE* file, const std::string& path, std::vector<std::uint8_t>& answer,
                      std::string& error);

// The one-line reason why the answer file `path` cannot be read, from an error number.
std::string answer_file_error(const std::string& path, int error_number);

}  // namespace velk_emu
