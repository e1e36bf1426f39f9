// The emulated instruments of one velk-emu process, published in the device
// directory, and the single-threaded poll loop that carries the device protocol
// between their sockets and their models.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "options.h"

namespace velk_emu {

class Endpoint;

class Service {
 public:
  // `answer` holds the bytes of a file or pattern answer (empty otherwise).
  Service(Options options, std::vector<std::uint8_t> answer);
  // Unpublishes whatever is still published.
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Creates the directory (mode 0700) when missing, opens the capture files and
  // publishes every instrument. False with a one-line reason on failure, and
  // then every instrument it published is withdrawn again.
  bool publish(std::string& error);
  // The device paths, in --device order.
  std::vector<std::string> device_paths() const;
  // Serves until `stop_fd` (a signalfd) becomes readable. False with a reason
  // when polling itself fails.
  bool run(int stop_fd, std::string& error);
  // Closes every connection and removes the sockets and presence files.
  void unpublish();

 private:
  Options options_;
  std::vector<std::uint8_t> answer_;
  std::string dir_;
  int dir_fd_ = -1;
  std::vector<std::unique_ptr<Endpoint>> endpoints_;
};

}  // namespace velk_emu
