#include "transfer/answer_file.h"

#include <string_view>

#include "base/console.h"

namespace tarnlink {
namespace {
constexpr std::string_view kUnableToCreate = "Unable to create file";
}  // namespace

bool AnswerFile::open(std::ostream& out, const NativeString& name) {
  if (file_.open(name)) return true;
  write_line(out, kUnableToCreate);
  return false;
}

bool AnswerFile::begin(std::ostream& out) {
  file_.keep();
  if (file_.empty()) return true;
  write_line(out, kUnableToCreate);
  return false;
}

}  // namespace tarnlink
