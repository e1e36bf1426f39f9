// The capture of one instrument on disk: DIR/NAME.bin gets every byte the
// instrument took, DIR/NAME.log one line per call. Each line goes out in one
// write, so the log is whole whenever a reader looks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "instrument.h"

namespace velk_emu {

// Creates the capture directory when missing (mode 0700 where modes exist).
// False with a one-line reason.
bool make_capture_dir(const std::string& dir, std::string& error);

class CaptureFiles : public CaptureSink {
 public:
  CaptureFiles() = default;
  ~CaptureFiles() override { close(); }
  CaptureFiles(const CaptureFiles&) = delete;
  CaptureFiles& operator=(const CaptureFiles&) = delete;

  // Creates or truncates DIR/NAME.bin and DIR/NAME.log. False with a one-line
  // reason, and then nothing is open.
  bool open(const std::string& dir, const std::string& name, std::string& error);
  void close();

  // A file that fails a write is closed and gets nothing more.
  void bytes(const std::uint8_t* data, std::size_t size) override;
  void line(const std::string& text) override;

 private:
  int bin_fd_ = -1;
  int log_fd_ = -1;
};

}  // namespace velk_emu
