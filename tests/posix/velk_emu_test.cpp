// velk-emu as a program: its command line, its directory, and its exit.
#include <dirent.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "harness.h"

namespace tarnlink::e2e {
namespace {

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* stream = opendir(dir.c_str())) {
    while (const dirent* entry = readdir(stream)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(stream);
  }
  return names;
}

class VelkEmuTest : public E2eTest {};

class BadOptionTest : public VelkEmuTest, public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(BadOptionTest, ExitsWithStatusTwoAndPublishesNothing) {
  std::vector<std::string> args{"--dir", device_dir()};
  args.insert(args.end(), GetParam().begin(), GetParam().end());
  const RunResult result = run_program(velk_emu_binary(), args);
  EXPECT_TRUE(result.failure.empty()) << result.failure;
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_EQ(result.output, "");
  EXPECT_TRUE(entries(device_dir()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Options, BadOptionTest,
    ::testing::Values(std::vector<std::string>{"--bogus"}, std::vector<std::string>{"--device"},
                      std::vector<std::string>{"--device", "a/b"},
                      std::vector<std::string>{"--device", "x.lock"},
                      std::vector<std::string>{"--device", "a", "--device", "a"},
                      std::vector<std::string>{"--answer", "loud"},
                      std::vector<std::string>{"--answer", "pattern:-1"},
                      std::vector<std::string>{"--answer", "file:/nonexistent/answer"},
                      std::vector<std::string>{"--answer-delay", "1s"},
                      std::vector<std::string>{"--fault", "short-write:0"},
                      std::vector<std::string>{"--fault", "readback:2147483648"},
                      std::vector<std::string>{"--fault", "sometimes"},
                      std::vector<std::string>{"--rate", "0"}));

TEST_F(VelkEmuTest, PrintsItsPathsThenStopsCleanlyLeavingNothingBehind) {
  Emulator* emulator = start_emulator({"--device", "one", "--device", "two"});
  ASSERT_NE(emulator, nullptr);
  EXPECT_EQ(emulator->device_paths(),
            (std::vector<std::string>{device_dir() + "/one", device_dir() + "/two"}));
  struct stat st {};
  ASSERT_EQ(stat(device_dir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(lstat((device_dir() + "/one").c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0077, 0u);
  EXPECT_EQ(emulator->stop(), 0);
  EXPECT_TRUE(entries(device_dir()).empty());
}

TEST_F(VelkEmuTest, DefaultInstrumentName) {
  Emulator* emulator = start_emulator({});
  ASSERT_NE(emulator, nullptr);
  EXPECT_EQ(emulator->device_paths(), (std::vector<std::string>{device_dir() + "/velk-usb-1-1-SN0001"}));
}

TEST_F(VelkEmuTest, ANameServedByAnotherProcessIsNotTakenOver) {
  ASSERT_NE(start_emulator({"--device", "dev"}), nullptr);
  const RunResult second = run_program(velk_emu_binary(), {"--dir", device_dir(), "--device", "dev"});
  EXPECT_EQ(second.exit_status, 1);
  EXPECT_EQ(second.output, "");
}

TEST_F(VelkEmuTest, ALeftoverSocketIsReplaced) {
  Emulator* first = start_emulator({"--device", "dev"});
  ASSERT_NE(first, nullptr);
  first->kill_hard();
  EXPECT_NE(start_emulator({"--device", "dev"}), nullptr);
}

}  // namespace
}  // namespace tarnlink::e2e
