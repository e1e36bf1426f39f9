// The Win32 error numbers of the Linux device service: the protocol carries them
// in its responses, and the device directory reports its failures with them.
// Here also the one translation from errno. Nothing above the platform sees them.
//
//   errno                                     Win32 error
//   ENOENT, ENOTDIR, ECONNREFUSED             2    ERROR_FILE_NOT_FOUND (refused: nobody serves it)
//   EACCES, EPERM, ELOOP                      5    ERROR_ACCESS_DENIED
//   EBADF                                     6    ERROR_INVALID_HANDLE
//   EMFILE, ENFILE                            4    ERROR_TOO_MANY_OPEN_FILES
//   ENOMEM, ENOBUFS                           8    ERROR_NOT_ENOUGH_MEMORY
//   EINVAL, EMSGSIZE                          87   ERROR_INVALID_PARAMETER
//   EBUSY, EAGAIN                             170  ERROR_BUSY
//   ENAMETOOLONG                              206  ERROR_FILENAME_EXCED_RANGE
//   ETIMEDOUT                                 1460 ERROR_TIMEOUT
//   anything else (EPIPE, ECONNRESET, EIO...) 31   ERROR_GEN_FAILURE (device not functioning)
#pragma once

#include <cerrno>
#include <cstdint>

namespace tarnlink::posix {

inline constexpr std::uint32_t kErrorInvalidFunction = 1;
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorTooManyOpenFiles = 4;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorGenFailure = 31;  // a device is not functioning
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;
inline constexpr std::uint32_t kErrorBusy = 170;
inline constexpr std::uint32_t kErrorFilenameTooLong = 206;
inline constexpr std::uint32_t kErrorTimeout = 1460;

constexpr std::uint32_t win32_error_from_errno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ECONNREFUSED: return kErrorFileNotFound;
    case EACCES:
    case EPERM:
    case ELOOP: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case EMFILE:
    case ENFILE: return kErrorTooManyOpenFiles;
    case ENOMEM:
    case ENOBUFS: return kErrorNotEnoughMemory;
    case EINVAL:
    case EMSGSIZE: return kErrorInvalidParameter;
    case EBUSY:
    case EAGAIN: return kErrorBusy;
    case ENAMETOOLONG: return kErrorFilenameTooLong;
    case ETIMEDOUT: return kErrorTimeout;
    default: return kErrorGenFailure;
  }
}

}  // namespace tarnlink::posix
