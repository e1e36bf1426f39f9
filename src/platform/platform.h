// The platform layer: the requests the device code makes of the operating system
// and the instrument's driver, one operation per request the driver serves.
// Windows compiles one backend (win32/). Linux compiles two, the device directory
// (posix/) and the USB bus (usb/), and a composition of them (linux/) that lists
// both and routes each handle to its own. Tests hand in a scripted fake.
//
// Each operation returns its outcome and keeps nothing for later. Failures are
// not told apart above the platform (the device code turns every one into the
// same status), so each backend keeps its native error to itself; only a failed
// open says why, where the backend can tell, so that the operator can be told.
//
// Single-threaded: one caller at a time. Waiting happens only inside the
// operations marked as blocking; how long the driver takes there is bounded by
// the link timeout (read) or by the driver alone (the others). A backend may
// bound a wait further; its header says so.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/native_text.h"

namespace tarnlink {

// An open instrument (HANDLE on Windows, a descriptor elsewhere). kInvalidHandle
// is never a valid one.
using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// Why an open failed, as far as the backend can tell.
enum class OpenFailure {
  kUnknown,       // the backend cannot tell
  kPermission,    // the system does not let this user open the device
  kHeld,          // another handle, of this or another program, holds it
  kKernelDriver,  // a driver of the system's own holds the interface it talks through
  kGone,          // the device listed at the path is there no more
  kFailed,        // the system failed the open for another reason
};

// What an open gave: the handle, or kInvalidHandle and why.
struct OpenResult {
  // Implicit, so that a backend returns a handle, or a reason, as it is.
  OpenResult(Handle opened = kInvalidHandle) : handle(opened) {}
  OpenResult(OpenFailure why) : failure(why) {}
  Handle handle = kInvalidHandle;
  OpenFailure failure = OpenFailure::kUnknown;  // meaningful only without a handle
};

// One listing of the present instruments.
struct ListResult {
  std::vector<NativeString> paths;  // device paths, whole, in the driver's order
  bool failed = false;  // the listing stopped short; `paths` holds what came before
};

class Platform {
 public:
  virtual ~Platform() = default;

  // interface_paths: the device path of every present interface of the driver's
  //   class. Opens nothing.
  //   Fails:  the system will not list the class, or cannot read an interface:
  //           `failed`, with the interfaces listed before it in `paths`.
  //   Blocks: only while the system lists its devices.
  virtual ListResult interface_paths() = 0;

  // open_exclusive: the instrument at `path`, open for reading and writing, shared
  //   with no other handle of any process, synchronous.
  //   Fails (kInvalidHandle, with the reason where the backend can tell):
  //           nothing present at `path`; another handle holds it; the driver
  //           refused the open.
  //   Blocks: until the driver grants or refuses the open.
  virtual OpenResult open_exclusive(const NativeString& path) = 0;

  // write: the `size` bytes at `data` as one message. Returns how many the driver
  //   took; fewer than `size` is the caller's failure to judge.
  //   Fails (nullopt): the driver refused the message; the instrument is gone;
  //           `handle` is not open.
  //   Blocks: until the driver has taken the message.
  virtual std::optional<std::uint32_t> write(Handle handle, const std::uint8_t* data,
                                             std::uint32_t size) = 0;

  // read: up to `size` bytes into `buffer`. Returns how many arrived; 0 when the
  //   link timeout passed with nothing to read.
  //   Fails (nullopt): the driver reported a failure; the instrument is gone;
  //           `handle` is not open.
  //   Blocks: until data is there or the link timeout passes.
  virtual std::optional<std::uint32_t> read(Handle handle, std::uint8_t* buffer,
                                            std::uint32_t size) = 0;

  // set_timeout: the link timeout, in 100-ns units, 0 to 2147483647. True when the
  //   driver took it.
  //   Fails (false): the driver refused the value or the request; the instrument
  //           is gone; `handle` is not open.
  //   Blocks: until the driver answers.
  virtual bool set_timeout(Handle handle, std::int32_t timeout) = 0;

  // get_timeout: the link timeout the driver holds, in 100-ns units, into
  //   `timeout`. True when the driver answered with it.
  //   Fails (false): the request failed or the driver answered no bytes. A driver
  //           may fail the request after storing its answer; `timeout` then holds
  //           what it stored, and otherwise keeps its value.
  //   Blocks: until the driver answers.
  virtual bool get_timeout(Handle handle, std::int32_t& timeout) = 0;

  // read_fails_at_timeout: whether this driver may end a read at the link timeout
  //   with a failure instead of zero bytes. Where it may not, every failed read is
  //   a fault; where it may, only a fresh listing can tell a timeout from an
  //   instrument that went away.
  //   Blocks: no.
  virtual bool read_fails_at_timeout() = 0;

  // close: gives up the instrument. False when `handle` was not open.
  //   Blocks: no.
  virtual bool close(Handle handle) = 0;

  // escape_held: whether the Esc key is held right now.
  //   Blocks: no.
  virtual bool escape_held() = 0;
};

// The platform of this build: the one backend, or on Linux the composition. Lives
// until the process ends.
Platform& program_platform();

}  // namespace tarnlink
