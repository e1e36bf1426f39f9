// The bytes a file or pattern answer gives, loaded once per process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "options.h"

namespace velk_emu {

// The answer bytes for `options`: the file's contents, the pattern, or none
// for echo and silent. False with a one-line reason when the file cannot be read.
bool load_answer(const Options& options, std::vector<std::uint8_t>& answer, std::string& error);

}  // namespace velk_emu
