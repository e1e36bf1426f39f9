#include "platform/output_file.h"

#include <windows.h>

#include <algorithm>

namespace tarnlink {
namespace {

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
  handle_ = file;
  return true;
}

void OutputFile::keep() { kept_ = true; }

bool OutputFile::empty() {
  if (GetFileType(handle_) != FILE_TYPE_DISK) return true;
  LARGE_INTEGER start{};
  return SetFilePointerEx(handle_, start, nullptr, FILE_BEGIN) != 0 &&
         SetEndOfFile(handle_) != 0;
}

bool OutputFile::write(const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const DWORD part = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD written = 0;
    if (WriteFile(handle_, data, part, &written, nullptr) == 0 || written == 0) {
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

bool OutputFile::close() {
  if (handle_ == nullptr) return true;
  const HANDLE file = handle_;
  handle_ = nullptr;
  return CloseHandle(file) != 0;
}

void OutputFile::remove_created() {
  // Deleted when the handle closes; the member is named after a function the
  // headers turn into a macro, so it is set by position.
  FILE_DISPOSITION_INFO remove{TRUE};
  (void)SetFileInformationByHandle(handle_, FileDispositionInfo, &remove, sizeof remove);
}

}  // namespace tarnlink
