// velk-emu --usb: the instruments on an emulated USB bus, with COMMAND run
// inside that bus's environment.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "options.h"

namespace velk_emu::usb {

// Puts one instrument per options.devices on bus 1 (the K-th at port K, its
// name the serial number), runs options.command with the bus's client
// environment and waits for it. Every signal that would end this process is
// passed on to COMMAND instead, but for SIGPIPE and those ignored from the
// start. Once it has ended the instruments and the testbed's directory are
// removed. Returns COMMAND's exit status (128+N when signal N ended it), 127
// when it cannot be found, 126 when it cannot be run, 1 when the bus cannot
// be set up; messages go to standard error, nothing to standard output.
int run_command(const Options& options, const std::vector<std::uint8_t>& answer);

// Runs this program again, with `argv`, under umockdev's preload (see
// under_preload()), then loads the answer of `options` as load_answer() does.
// Returns once it runs under the preload, or when it cannot (then clients get
// no hotplug events): true, or false with a one-line reason when the answer
// cannot be loaded. The answer file is opened before the preload starts, which
// blocks every signal while an open() waits (as a FIFO's does for a writer),
// and read under it.
bool start_under_preload(char** argv, const Options& options, std::vector<std::uint8_t>& answer,
                         std::string& error);

}  // namespace velk_emu::usb
