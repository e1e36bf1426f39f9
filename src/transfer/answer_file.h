// The file that receives an instrument's answer. It is opened before anything is
// sent, so that a name that cannot be written fails the job while the instrument
// is still untouched; what the file held stays until the answer begins.
#pragma once

#include <filesystem>
#include <fstream>
#include <ostream>

#include "base/native_text.h"

namespace tarnlink {

class AnswerFile {
 public:
  AnswerFile() = default;
  // A file that open() created is removed again when no answer began in it.
  ~AnswerFile();
  AnswerFile(const AnswerFile&) = delete;
  AnswerFile& operator=(const AnswerFile&) = delete;

  // Opens `name` for writing, creating it when missing and keeping its content.
  // On a FIFO this waits for a reader. False, after printing
  // "Unable to create file", when it cannot be opened.
  bool open(std::ostream& out, const NativeString& name);
  // The answer begins: a regular file is emptied, and the file is kept from now
  // on. False, after printing "Unable to create file", when it cannot be emptied.
  bool begin(std::ostream& out);
  // Where the answer's bytes go.
  std::ostream& stream() { return file_; }
  // Closes the file; false when a write or the close failed.
  bool close();

 private:
  std::filesystem::path path_;
  std::ofstream file_;
  bool created_ = false;
  bool begun_ = false;
};

}  // namespace tarnlink
