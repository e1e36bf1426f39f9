// Builds the one DeviceAccess over this build's platform and runs the program.
#include <cstdio>
#include <iostream>

#include "cli/dispatch.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {
// Constructed after the standard streams and destroyed before them. It keeps
// every device it opens until the process ends.
tarnlink::DeviceAccess g_device_access(tarnlink::program_platform());
}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  return tarnlink::RunTarnlink(argc, argv, g_device_access, std::cout);
}
#else
int main(int argc, char** argv) {
  // Like a console: unbuffered on a terminal, so progress shows as it happens;
  // block-buffered into files and pipes.
  (void)std::setvbuf(stdout, nullptr, isatty(STDOUT_FILENO) ? _IONBF : _IOFBF, 4096);
  return tarnlink::RunTarnlink(argc, argv, g_device_access, std::cout);
}
#endif
