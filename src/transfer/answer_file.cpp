#include "transfer/answer_file.h"

#include <system_error>

#include "base/console.h"

namespace tarnlink {
namespace {
constexpr std::string_view kUnableToCreate = "Unable to create file";
}  // namespace

AnswerFile::~AnswerFile() {
  if (!created_ || begun_) return;
  file_.close();
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

bool AnswerFile::open(std::ostream& out, const NativeString& name) {
  path_ = std::filesystem::path(name);
  // Whatever stands at the name, a dangling link included, is not ours to remove.
  std::error_code error;
  const bool existed = std::filesystem::exists(std::filesystem::symlink_status(path_, error));
  // Appending creates the file without emptying it; once emptied, its end is its start.
  file_.open(path_, std::ios::out | std::ios::app | std::ios::binary);
  if (!file_.is_open()) {
    write_line(out, kUnableToCreate);
    return false;
  }
  created_ = !existed;
  return true;
}

bool AnswerFile::begin(std::ostream& out) {
  begun_ = true;
  std::error_code error;
  // A FIFO or a device has nothing to empty.
  if (!std::filesystem::is_regular_file(path_, error)) return true;
  std::filesystem::resize_file(path_, 0, error);
  if (error) {
    write_line(out, kUnableToCreate);
    return false;
  }
  return true;
}

bool AnswerFile::close() {
  file_.close();
  return !file_.fail();
}

}  // namespace tarnlink
