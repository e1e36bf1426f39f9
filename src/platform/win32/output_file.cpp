#include "platform/output_file.h"

#include <windows.h>

#include <algorithm>

namespace tarnlink {
namespace {

HANDLE native(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// Shared with other readers and writers, as the C runtime shares a file it
// opens; never with one that would delete or rename it, so the name leads to
// this file for as long as it is open.
constexpr DWORD kShared = FILE_SHARE_READ | FILE_SHARE_WRITE;

}  // namespace

bool OutputFile::open(const NativeString& name) {
  // A file made here is opened with the right to delete it through this handle,
  // the one way to remove exactly this file. Anything else at the name (or a
  // device that refuses that right) is opened as it is, keeping its content.
  HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE | DELETE, kShared, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  created_ = file != INVALID_HANDLE_VALUE;
  if (!created_) {
    file = CreateFileW(name.c_str(), GENERIC_WRITE, kShared, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

void OutputFile::keep() { kept_ = true; }

bool OutputFile::empty() {
  if (GetFileType(native(handle_)) != FILE_TYPE_DISK) return true;
  LARGE_INTEGER start{};
  return SetFilePointerEx(native(handle_), start, nullptr, FILE_BEGIN) != 0 &&
         SetEndOfFile(native(handle_)) != 0;
}

bool OutputFile::write(const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const DWORD part = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD written = 0;
    if (WriteFile(native(handle_), data, part, &written, nullptr) == 0 || written == 0) {
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

bool OutputFile::close() {
  if (handle_ == -1) return true;
  const HANDLE file = native(handle_);
  handle_ = -1;
  return CloseHandle(file) != 0;
}

void OutputFile::remove_created() {
  // Deleted when the handle closes; the member is named after a function the
  // headers turn into a macro, so it is set by position.
  FILE_DISPOSITION_INFO remove{TRUE};
  (void)SetFileInformationByHandle(native(handle_), FileDispositionInfo, &remove, sizeof remove);
}

}  // namespace tarnlink
