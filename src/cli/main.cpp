// Builds the one DeviceAccess over this build's platform and runs the program.
#include <cstdio>
#include <iostream>

#include "cli/dispatch.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {
// Constructed after the standard streams and destroyed before them. It keeps
// every device it opens until the process ends.
tarnlink::DeviceAccess g_device_access(tarnlink::program_platform());
}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  return tarnlink::RunTarnlink(argc, argv, g_device_access, std::cout, std::cerr);
}
#else
int main(int argc, char** argv) {
  // A standard descriptor left closed would be taken by the first file or socket
  // the program opens, and text meant for the operator would go there. One that
  // refuses writes keeps its place, so writes fail as on the closed one.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) == -1) (void)open("/dev/null", O_RDONLY);
  }
  // Like a console: unbuffered on a terminal, so progress shows as it happens;
  // block-buffered into files and pipes.
  (void)std::setvbuf(stdout, nullptr, isatty(STDOUT_FILENO) ? _IONBF : _IOFBF, 4096);
  return tarnlink::RunTarnlink(argc, argv, g_device_access, std::cout, std::cerr);
}
#endif
