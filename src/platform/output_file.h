// A file the program writes, acted on only through what it opened: opened once
// by name, then emptied, written and closed through its handle. A file that the
// open created is removed again unless kept, and only while its name still
// leads to it; whatever else comes to stand at the name is left alone. One
// implementation per OS: posix/output_file.cpp, win32/output_file.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/native_text.h"

namespace tarnlink {

class OutputFile {
 public:
  OutputFile() = default;
  // Closes the file; one the open created is removed unless kept.
  ~OutputFile() {
    if (created_ && !kept_) remove_created();
    close();
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opens `name` for writing, following links, creating the file when missing
  // (through a dangling link: its target) and keeping its content. Blocks on a
  // FIFO until it has a reader. False when it cannot be opened. On POSIX a file
  // created here is also removed when a signal ends the process before keep().
  bool open(const NativeString& name);
  // The file stays from now on, whatever follows.
  void keep();
  // Empties a regular file; other files have nothing to empty. False when it
  // could not be emptied.
  bool empty();
  // Writes all `size` bytes at the current position; false when not all went.
  bool write(const std::uint8_t* data, std::size_t size);
  // Closes the file; false when the close reported a failure.
  bool close();

 private:
  // Removes the file the open created, while its name still leads to it.
  void remove_created();

#ifdef _WIN32
  void* handle_ = nullptr;  // a HANDLE; null once closed
#else
  int handle_ = -1;  // a descriptor; -1 once closed
#endif
  bool created_ = false;
  bool kept_ = false;
};

}  // namespace tarnlink
