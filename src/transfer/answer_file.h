// The file that receives an instrument's answer. It is opened before anything is
// sent, so that a name that cannot be written fails the job while the instrument
// is still untouched; what the file held stays until the answer begins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>

#include "base/native_text.h"
#include "platform/output_file.h"

namespace tarnlink {

class AnswerFile {
 public:
  // A file that open() created is removed again, on every ending, when no
  // answer began in it.
  AnswerFile() = default;
  AnswerFile(const AnswerFile&) = delete;
  AnswerFile& operator=(const AnswerFile&) = delete;

  // Opens `name` for writing, creating it when missing and keeping its content.
  // On a FIFO this waits for a reader. False, after printing
  // "Unable to create file", when it cannot be opened.
  bool open(std::ostream& out, const NativeString& name);
  // The answer begins: a regular file is emptied, and the file is kept from now
  // on. False, after printing "Unable to create file", when it cannot be emptied.
  bool begin(std::ostream& out);
  // Stores the next `size` bytes of the answer; false when they were not all stored.
  bool write(const std::uint8_t* data, std::size_t size) { return file_.write(data, size); }
  // Closes the file; false when the close failed.
  bool close() { return file_.close(); }

 private:
  OutputFile file_;
};

}  // namespace tarnlink
