// Esc typed into a real terminal (tmux) while tarnlink sends: the send stops with
// the break message, and the terminal gets its settings back.
#include <unistd.h>

#include <string>
#include <vector>

#include "support/e2e_harness.h"

namespace tarnlink::e2e {
namespace {

// tmux's full path, or "" when it is not installed.
std::string find_tmux() {
  const RunResult found = run_program("/bin/sh", {"-c", "command -v tmux"});
  if (found.exit_status != 0 || found.output.empty()) return "";
  return found.output.substr(0, found.output.find('\n'));
}

class BreakKeyTest : public E2eTest {
 protected:
  void SetUp() override {
    tmux_ = find_tmux();
    if (tmux_.empty()) GTEST_SKIP() << "tmux is not installed";
    socket_ = "tarnlink-e2e-" + std::to_string(getpid());
  }
  void TearDown() override {
    if (!tmux_.empty()) run_program(tmux_, {"-L", socket_, "kill-server"});
    E2eTest::TearDown();
  }
  RunResult tmux(const std::vector<std::string>& args) {
    std::vector<std::string> all{"-L", socket_};
    all.insert(all.end(), args.begin(), args.end());
    return run_program(tmux_, all);
  }
  std::string tmux_;
  std::string socket_;
};

TEST_F(BreakKeyTest, EscStopsTheSendAndRestoresTheTerminal) {
  // A slow link, so that the send is still going when the key arrives.
  ASSERT_NE(start_emulator({"--device", "velk", "--rate", "20000"}), nullptr);
  const std::string data(400000, 'x');
  const std::string file = input_file("data.bin", data);
  const std::string out = root() + "/out.txt", status = root() + "/status", tty = root() + "/stty";
  const std::string command = "VELK_DEVICE_DIR='" + device_dir() + "' '" + tarnlink_binary() +
                              "' '" + file + "' >'" + out + "'; echo $? >'" + status +
                              ".tmp'; stty -a >'" + tty + "'; mv '" + status + ".tmp' '" +
                              status + "'; sleep 60";
  ASSERT_EQ(tmux({"new-session", "-d", "-s", "t", "-x", "120", "-y", "20", command}).exit_status, 0);

  const std::string log = capture_dir() + "/velk.log";
  ASSERT_TRUE(wait_until(
      [&] { return read_file(log).find("write 4096") != std::string::npos; }, kStepLimit))
      << "the send did not start";
  ASSERT_EQ(tmux({"send-keys", "-t", "t", "Escape"}).exit_status, 0);
  ASSERT_TRUE(wait_until([&] { return access(status.c_str(), F_OK) == 0; }, kStepLimit))
      << "tarnlink did not stop";

  EXPECT_EQ(read_file(status), "255\n");
  const std::string shown = read_file(out);
  ASSERT_GE(shown.size(), kBreakLine.size());
  EXPECT_EQ(shown.substr(shown.size() - kBreakLine.size()), kBreakLine);
  EXPECT_EQ(shown.find("Send:"), std::string::npos);
  stop_emulators();
  EXPECT_LT(bin_of("velk").size(), data.size());

  const std::string settings = read_file(tty);
  EXPECT_NE(settings.find(" icanon"), std::string::npos) << settings;
  EXPECT_NE(settings.find(" echo "), std::string::npos) << settings;
}

}  // namespace
}  // namespace tarnlink::e2e
