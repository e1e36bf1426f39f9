// The whole program above the platform: arguments from the input, over the
// scripted platform of the unit tests with a script from the input. Whatever
// it is given, the program prints its banner first and ends with 0 or -1.
//
// The run stays inside a private directory: file names from the input cannot
// hold a '/' (only the program's own switches do, and it refuses a switch as an
// output name), the payload file is "in", and when the fuzzer runs as root each
// run happens as the unprivileged user nobody, so that a switch taken for an
// output name all the same could not create a file in /.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "cli/dispatch.h"
#include "device/device_access.h"
#include "support/expected_text.h"
#include "support/fake_platform.h"
#include "support/temp_dir.h"

namespace {

using tarnlink::testing::FakePlatform;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;
constexpr const char* kPayloadName = "in";

const std::vector<std::string>& words() {
  static const std::vector<std::string> list = {
      kPayloadName, "out", "CON", "con", "/M", "/m", "/S", "/s", "/T", "/t", "/U", "/u",
      "/L", "/?", "--help", "--version", "velk-0", "velk-1", "0", "8000", "214748",
      "214749", "é", "\xC4\x80", "\xFF"};
  return list;
}

// Free text from the input, with every '/' made harmless.
std::string free_word(FuzzedDataProvider& input) {
  std::string word = input.ConsumeRandomLengthString(48);
  for (char& c : word) {
    if (c == '/') c = '_';
  }
  return word;
}

std::vector<std::string> arguments(FuzzedDataProvider& input) {
  std::vector<std::string> args{"tarnlink"};
  const int count = input.ConsumeIntegralInRange<int>(0, 7);
  for (int i = 0; i < count; ++i) {
    const auto pick = input.ConsumeIntegralInRange<std::size_t>(0, words().size());
    args.push_back(pick < words().size() ? words()[pick] : free_word(input));
  }
  return args;
}

void script(FakePlatform& fake, FuzzedDataProvider& input) {
  const int present = input.ConsumeIntegralInRange<int>(0, 3);
  for (int i = 0; i < present; ++i) {
    const std::string name = "velk-" + std::to_string(i);
    fake.interfaces.push_back(name);
    if (input.ConsumeIntegralInRange<int>(0, 7) == 0) fake.open_refused.insert(name);
  }
  if (input.ConsumeIntegralInRange<int>(0, 3) == 0) {
    fake.enum_fails_at = input.ConsumeIntegralInRange<int>(0, 3);
  }
  for (int i = input.ConsumeIntegralInRange<int>(0, 2); i > 0; --i) {
    fake.fail_calls.insert(input.ConsumeIntegralInRange<int>(1, 24));
  }
  for (int i = input.ConsumeIntegralInRange<int>(0, 4); i > 0; --i) {
    FakePlatform::WriteStep step;
    step.ok = input.ConsumeIntegralInRange<int>(0, 5) != 0;
    step.short_by = input.ConsumeBool() ? 0 : input.ConsumeIntegralInRange<std::uint32_t>(1, 3);
    fake.writes.push_back(step);
  }
  for (int i = input.ConsumeIntegralInRange<int>(0, 8); i > 0; --i) {
    FakePlatform::ReadStep step;
    step.ok = input.ConsumeIntegralInRange<int>(0, 7) != 0;
    step.count = input.ConsumeIntegralInRange<std::uint32_t>(0, 9000);
    fake.reads.push_back(step);
  }
  for (auto* steps : {&fake.set_timeouts, &fake.get_timeouts}) {
    for (int i = input.ConsumeIntegralInRange<int>(0, 2); i > 0; --i) {
      FakePlatform::ControlStep step;
      step.ok = input.ConsumeBool();
      step.returned = input.ConsumeIntegralInRange<std::uint32_t>(0, 8);
      steps->push_back(step);
    }
  }
  if (input.ConsumeIntegralInRange<int>(0, 3) == 0) {
    fake.readback_override = true;
    fake.readback_value = input.ConsumeIntegral<std::int32_t>();
  }
  for (int i = input.ConsumeIntegralInRange<int>(0, 2); i > 0; --i) {
    fake.escape_held_at.insert(input.ConsumeIntegralInRange<int>(1, 8));
  }
}

// Everything a run left in the directory but the payload file.
void clear_outputs() {
  DIR* dir = opendir(".");
  if (dir == nullptr) std::abort();
  std::vector<std::string> names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != ".." && name != kPayloadName) names.push_back(name);
  }
  closedir(dir);
  for (const std::string& name : names) {
    if (unlink(name.c_str()) != 0) rmdir(name.c_str());
  }
}

bool as_root() { return geteuid() == 0; }

// The private directory, removed when the fuzzer exits.
const tarnlink::testing::TempDir& sandbox() {
  static const tarnlink::testing::TempDir dir;
  return dir;
}

// Runs in the sandbox and comes back, so that the fuzzer's own relative paths
// (corpus, artifacts) keep their meaning between runs.
class InSandbox {
 public:
  InSandbox() : home_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (home_ < 0 || chdir(sandbox().path().c_str()) != 0) std::abort();
  }
  ~InSandbox() {
    if (fchdir(home_) != 0) std::abort();
    close(home_);
  }
  InSandbox(const InSandbox&) = delete;
  InSandbox& operator=(const InSandbox&) = delete;

 private:
  int home_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (as_root() && chown(sandbox().path().c_str(), kNobody, kNoGroup) != 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const InSandbox in_sandbox;
  FuzzedDataProvider input(data, size);
  const std::vector<std::string> args = arguments(input);
  FakePlatform fake;
  script(fake, input);
  tarnlink::testing::write_file(
      kPayloadName,
      tarnlink::testing::pattern_bytes(input.ConsumeIntegralInRange<std::size_t>(0, 140000)));

  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);

  std::ostringstream out;
  std::ostringstream err;
  int status = 0;
  {
    const bool drop = as_root();
    if (drop && (setegid(kNoGroup) != 0 || seteuid(kNobody) != 0)) std::abort();
    tarnlink::DeviceAccess device(fake);
    status = tarnlink::RunTarnlink(static_cast<int>(args.size()), argv.data(), device, out, err);
    if (drop && (seteuid(0) != 0 || setegid(0) != 0)) std::abort();
  }
  clear_outputs();

  const std::string& banner = tarnlink::testing::kBanner;
  if (status != 0 && status != -1) std::abort();
  if (out.str().compare(0, banner.size(), banner) != 0) std::abort();
  return 0;
}
