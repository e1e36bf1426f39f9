#include "cli/dispatch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "support/connected_device.h"
#include "support/case_name.h"
#include "support/expected_text.h"
#include "support/fake_platform.h"
#include "support/temp_dir.h"
#include "transfer/firmware.h"

namespace tarnlink {
namespace {

using ::testing::ElementsAre;
using testing::concat;
using testing::FakePlatform;
using testing::native;
using testing::read_file;
using testing::TempDir;

using testing::kAboveLatin1;
using testing::kBanner;
using testing::kBreakLine;
using testing::kEnumerationError;
using testing::kFirmwareTooLarge;
using testing::kFirmwareTooShort;
using testing::kHandshake;
using testing::kInvalidFour;
using testing::kInvalidMore;
using testing::kNotFound;
using testing::kUnableToCreate;
using testing::kUnableToOpen;
using testing::kUsage;
using testing::progress;

// Runs tarnlink against a fake with one present instrument. "$IN" in an argument
// stands for a 10-byte input file, "$OUT" for an output file.
class DispatchTest : public ::testing::Test {
 protected:
  DispatchTest() {
    fake_.interfaces = {native("usb-dev")};
    input_ = dir_.file("input.bin", "0123456789");
    output_ = dir_.path() / "output.bin";
  }
  int run(std::vector<std::string> args) {
    std::vector<NativeString> native_args{native("tarnlink")};
    for (std::string& arg : args) {
      if (arg == "$IN") arg = narrow_path(input_);
      if (arg == "$OUT") arg = narrow_path(output_);
      native_args.push_back(native(arg));
    }
    std::vector<const NativeChar*> argv;
    for (const NativeString& arg : native_args) argv.push_back(arg.c_str());
    return RunTarnlink(static_cast<int>(argv.size()), argv.data(), device_, out_, err_);
  }
  static std::string narrow_path(const std::filesystem::path& path) {
    return testing::narrow(path.native());
  }
  // What was printed after the banner.
  std::string printed() const {
    const std::string all = out_.str();
    EXPECT_EQ(all.substr(0, kBanner.size()), kBanner);
    return all.substr(std::min(all.size(), kBanner.size()));
  }
  std::vector<std::string> writes() const {
    std::vector<std::string> result;
    for (const std::string& call : fake_.calls) {
      if (call.rfind("write", 0) == 0) result.push_back(call);
    }
    return result;
  }

  TempDir dir_;
  std::filesystem::path input_;
  std::filesystem::path output_;
  FakePlatform fake_;
  DeviceAccess device_{fake_};
  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(DispatchTest, NoArgumentsPrintsBannerAndUsage) {
  EXPECT_EQ(RunTarnlink(1, std::vector<const NativeChar*>{TARNLINK_NATIVE("tarnlink")}.data(),
                        device_, out_, err_),
            0);
  EXPECT_EQ(out_.str(), kBanner + kUsage);
  EXPECT_EQ(RunTarnlink(0, nullptr, device_, out_, err_), 0);
  EXPECT_TRUE(fake_.calls.empty());
}

struct InvalidCase {
  const char* name;
  std::vector<std::string> args;
  std::string message;
};

class InvalidFormTest : public DispatchTest, public ::testing::WithParamInterface<InvalidCase> {};

TEST_P(InvalidFormTest, PrintsTheMessageAndTouchesNothing) {
  EXPECT_EQ(run(GetParam().args), -1);
  EXPECT_EQ(printed(), GetParam().message);
  EXPECT_TRUE(fake_.calls.empty());
  EXPECT_EQ(fake_.escape_tests, 0) << "no payload is built";
}

INSTANTIATE_TEST_SUITE_P(
    Forms, InvalidFormTest,
    ::testing::Values(
        InvalidCase{"FourNeitherSNorU", {"$IN", "x", "y"}, kInvalidFour},
        InvalidCase{"JoinedTimeout", {"$IN", "$OUT", "/T5"}, kInvalidFour},
        InvalidCase{"FiveWithoutT", {"$IN", "$OUT", "/X", "5"}, kInvalidMore},
        InvalidCase{"StringWithTimeoutMissing", {"text", "$OUT", "/S", "/T"}, kInvalidMore},
        InvalidCase{"SixWithoutT", {"text", "$OUT", "/S", "/X", "5"}, kInvalidMore},
        InvalidCase{"SixWithoutS", {"text", "$OUT", "/X", "/T", "5"}, kInvalidMore},
        InvalidCase{"Seven", {"a", "b", "c", "d", "e", "f"}, kInvalidMore},
        InvalidCase{"Ten", {"a", "b", "c", "d", "e", "f", "g", "h", "i"}, kInvalidMore},
        InvalidCase{"TimeoutTooLarge", {"$IN", "$OUT", "/T", "214749"}, kInvalidMore},
        InvalidCase{"TimeoutWraps", {"$IN", "$OUT", "/T", "429497"}, kInvalidMore},
        InvalidCase{"TimeoutNegative", {"$IN", "$OUT", "/T", "-1"}, kInvalidMore},
        InvalidCase{"TimeoutNoDigits", {"$IN", "$OUT", "/T", "abc"}, kInvalidMore},
        InvalidCase{"TimeoutEmpty", {"$IN", "$OUT", "/T", ""}, kInvalidMore},
        InvalidCase{"TimeoutTrailing", {"$IN", "$OUT", "/T", "5ms"}, kInvalidMore},
        InvalidCase{"TimeoutSpace", {"$IN", "$OUT", "/T", " 5"}, kInvalidMore},
        InvalidCase{"TimeoutPlus", {"$IN", "$OUT", "/T", "+5"}, kInvalidMore},
        InvalidCase{"StringTimeoutBad", {"t", "$OUT", "/S", "/T", "1e3"}, kInvalidMore},
        InvalidCase{"SwitchWithSuffix", {"$IN", "$OUT", "/TT", "5"}, kInvalidMore},
        InvalidCase{"DashSwitch", {"$IN", "$OUT", "-T", "5"}, kInvalidMore},
        // A switch as the output name; "text /U /S" is a string job, "/S" tested first.
        InvalidCase{"OutputIsUsbSwitch", {"$IN", "/U"}, kInvalidMore},
        InvalidCase{"OutputIsHelp", {"$IN", "--HELP"}, kInvalidMore},
        InvalidCase{"StringOutputIsTimeoutSwitch", {"text", "/T", "/S"}, kInvalidMore},
        InvalidCase{"StringOutputIsUsbSwitch", {"text", "/U", "/S"}, kInvalidMore},
        InvalidCase{"TimedOutputIsStringSwitch", {"$IN", "/s", "/T", "5"}, kInvalidMore},
        InvalidCase{"TimedStringOutputIsFirmware", {"t", "/M", "/S", "/T", "5"}, kInvalidMore}),
    testing::CaseName());

TEST_F(DispatchTest, SendFile) {
  EXPECT_EQ(run({"$IN"}), 0);
  EXPECT_EQ(printed(), progress("Send: 10 bytes\n"));
  EXPECT_EQ(fake_.device_calls(), concat(concat({"open usb-dev"}, kHandshake), {"write 10"}));
}

TEST_F(DispatchTest, FirmwareInEitherCaseSendsPreambleThenImage) {
  input_ = dir_.file("image.bin", std::string(40, 'F'));
  for (const char* flag : {"/M", "/m"}) {
    FakePlatform fake;
    fake.interfaces = {native("usb-dev")};
    DeviceAccess device(fake);
    std::ostringstream out;
    const NativeString file = input_.native();
    const NativeString mflag = native(flag);
    const NativeChar* argv[] = {TARNLINK_NATIVE("tarnlink"), file.c_str(), mflag.c_str()};
    EXPECT_EQ(RunTarnlink(3, argv, device, out, out), 0);
    ASSERT_EQ(fake.messages.size(), 2u);
    EXPECT_THAT(fake.messages[0], ElementsAre('F', 'F', 'F', 13, 0, 0, 0, 0, 0));
    EXPECT_EQ(fake.messages[1].size(), 40u);
    EXPECT_EQ(fake.escape_tests, 5) << "two opening tests, before preamble, before image, block";
  }
}

TEST_F(DispatchTest, ShortFirmwareImageConnectsButWritesNothing) {
  EXPECT_EQ(run({"$IN", "/M"}), -1);
  EXPECT_EQ(printed(), kFirmwareTooShort);
  EXPECT_TRUE(writes().empty());
}

TEST_F(DispatchTest, AnyOtherSecondArgumentIsTheOutputName) {
  fake_.reads = {{true, 3}};
  EXPECT_EQ(run({"$IN", "$OUT"}), 0);
  EXPECT_EQ(printed(),
            progress("Send: 10 bytes\n") + progress("Read: 3 bytes") + progress("Read: 3 bytes"));
  EXPECT_EQ(read_file(output_).size(), 3u);
}

TEST_F(DispatchTest, TimeoutReachesTheDeviceAfterTheHandshake) {
  for (const auto& [text, units] : std::vector<std::pair<std::string, std::string>>{
           {"0", "0"}, {"250", "2500000"}, {"0008000", "80000000"}, {"214748", "2147480000"}}) {
    FakePlatform fake;
    fake.interfaces = {native("usb-dev")};
    DeviceAccess device(fake);
    std::ostringstream out;
    const NativeString in = input_.native(), outp = output_.native(), t = native("/t"),
                       n = native(text);
    const NativeChar* argv[] = {TARNLINK_NATIVE("tarnlink"), in.c_str(), outp.c_str(), t.c_str(),
                                n.c_str()};
    EXPECT_EQ(RunTarnlink(5, argv, device, out, out), 0) << text;
    EXPECT_EQ(fake.device_calls(), concat(concat({"open usb-dev"}, kHandshake),
                                          {"set-timeout " + units, "write 10", "read -> 0"}))
        << text;
  }
}

TEST_F(DispatchTest, StringJobSendsTheTextAndPrintsTheAnswer) {
  fake_.reads = {{true, 2}};
  EXPECT_EQ(run({"AB", "con", "/s"}), 0);
  ASSERT_EQ(fake_.messages.size(), 1u);
  EXPECT_THAT(fake_.messages[0], ElementsAre('A', 'B'));
  EXPECT_EQ(printed(), progress("Send: 2 bytes\n") + "AB\nRead 2 bytes \n");
}

TEST_F(DispatchTest, StringTimeoutForm) {
  EXPECT_EQ(run({"xyz", "CON", "/S", "/T", "1"}), 0);
  EXPECT_THAT(fake_.device_calls(), ::testing::Contains("set-timeout 10000"));
}

TEST_F(DispatchTest, NamedSendPicksThePathHoldingTheName) {
  fake_.interfaces = {native("usb-1-1"), native("usb-2-7"), native("usb-3-1")};
  EXPECT_EQ(run({"$IN", "/u", "2-7"}), 0);
  EXPECT_THAT(fake_.device_calls(), ::testing::Contains("open usb-2-7"));
  EXPECT_THAT(writes(), ElementsAre("write 10"));
}

// An open that failed for a reason the platform can tell is explained on
// standard error, the path shown as /L shows it; standard output and the exit
// status are those of any failed connection.
TEST_F(DispatchTest, ARefusedOpenSaysWhyOnStandardError) {
  const NativeString path = native("usb:1-1:SN\x1b");
  fake_.interfaces = {native("usb-a"), path};
  fake_.open_refused = {path};
  const std::vector<std::pair<OpenFailure, std::string>> reasons{
      {OpenFailure::kPermission,
       "permission denied; see the udev rule /usr/share/doc/tarnlink/examples/70-tarnlink.rules"},
      {OpenFailure::kHeld, "another program holds it"},
      {OpenFailure::kKernelDriver, "a kernel driver holds its interface"},
      {OpenFailure::kGone, "it is gone"},
      {OpenFailure::kFailed, "the system refused to open it"},
      {OpenFailure::kUnknown, ""}};
  for (const auto& [failure, why] : reasons) {
    fake_.open_failures[path] = failure;
    out_.str("");
    err_.str("");
    EXPECT_EQ(run({"$IN"}), -1);
    EXPECT_EQ(printed(), "");
    EXPECT_EQ(err_.str(), why.empty() ? "" : "Unable to open usb:1-1:SN?: " + why + "\n");
  }
}

TEST_F(DispatchTest, FailedStepsEndTheJob) {
  fake_.interfaces.clear();
  EXPECT_EQ(run({"$IN"}), -1);
  EXPECT_EQ(printed(), kNotFound);

  out_.str("");
  EXPECT_EQ(run({(dir_.path() / "missing").string()}), -1);
  EXPECT_EQ(printed(), kUnableToOpen);

  out_.str("");
  EXPECT_EQ(run({"caf\xC4\x80", "con", "/S"}), -1);
#ifndef _WIN32
  EXPECT_EQ(printed(), kAboveLatin1);
#endif
  EXPECT_TRUE(writes().empty());
}

TEST_F(DispatchTest, EscBeforeTheDeviceIsTouched) {
  fake_.escape_held_at = {1};
  EXPECT_EQ(run({"$IN"}), -1);
  EXPECT_EQ(printed(), kBreakLine);
  EXPECT_TRUE(fake_.calls.empty());
}

TEST_F(DispatchTest, FailedLoadWithEscHeldReportsBoth) {
  fake_.escape_held_at = {1};
  EXPECT_EQ(run({(dir_.path() / "missing").string()}), -1);
  EXPECT_EQ(printed(), kUnableToOpen + kBreakLine);
}

TEST_F(DispatchTest, EscAtEachStepStopsTheChain) {
  // Tests of the receive job: 1 and 2 open it, 3 follows the connection, 4 the
  // send's only block, 5 comes before the receive.
  for (int test = 2; test <= 5; ++test) {
    FakePlatform fake;
    fake.interfaces = {native("usb-dev")};
    fake.escape_held_at = {test};
    DeviceAccess device(fake);
    std::ostringstream out;
    const NativeString in = input_.native(), outp = output_.native();
    const NativeChar* argv[] = {TARNLINK_NATIVE("tarnlink"), in.c_str(), outp.c_str()};
    EXPECT_EQ(RunTarnlink(3, argv, device, out, out), -1) << test;
    EXPECT_EQ(fake.escape_tests, test);
    const std::string text = out.str();
    EXPECT_EQ(text.substr(text.size() - kBreakLine.size()), kBreakLine) << test;
    EXPECT_EQ(fake.messages.size(), test >= 4 ? 1u : 0u) << test;
    EXPECT_EQ(fake.device_calls().empty(), test == 2) << test;
    EXPECT_FALSE(std::filesystem::exists(output_)) << test;
  }
}

TEST_F(DispatchTest, RefusedOutputAndOversizedFirmwareTouchNoInstrument) {
  output_ = dir_.path() / "missing" / "output.bin";
  EXPECT_EQ(run({"text", "$OUT", "/S"}), -1);
  EXPECT_EQ(printed(), kUnableToCreate);

  // One byte more than 24 bits of 3-byte units can tell; sparse, so it costs no disk.
  input_ = dir_.file("image.bin", "");
  std::filesystem::resize_file(input_, kMaximumImageSize + 1);
  out_.str("");
  EXPECT_EQ(run({"$IN", "/M"}), -1);
  EXPECT_EQ(printed(), kFirmwareTooLarge);
  EXPECT_TRUE(fake_.calls.empty()) << "no instrument may even be listed";
}

TEST(ParseTimeout, AcceptsPlainDecimalsThatFitTheUnit) {
  std::int32_t ms = -7;
  EXPECT_TRUE(ParseTimeoutMilliseconds(native("214748"), ms));
  EXPECT_EQ(ms, 214748);
  EXPECT_TRUE(ParseTimeoutMilliseconds(native("0"), ms));
  EXPECT_EQ(ms, 0);
  EXPECT_FALSE(ParseTimeoutMilliseconds(native("99999999999999999999"), ms));
  EXPECT_EQ(ms, 0) << "left as it was";
}

}  // namespace
}  // namespace tarnlink

namespace tarnlink {
namespace {

TEST_F(DispatchTest, HelpVersionAndListForms) {
  EXPECT_EQ(run({"--version"}), 0);
  EXPECT_EQ(printed(), "");
  out_.str("");
  EXPECT_EQ(run({"/?"}), 0);
  const std::string help = printed();
  EXPECT_EQ(help.substr(0, kUsage.size()), kUsage);
  EXPECT_EQ(std::count(help.begin(), help.end(), '\n'), 13);
  out_.str("");
  EXPECT_EQ(run({"--HELP"}), 0);
  EXPECT_EQ(printed(), help);
  EXPECT_TRUE(fake_.calls.empty());

  fake_.interfaces = {native("usb-a"), native("usb-b")};
  out_.str("");
  EXPECT_EQ(run({"/l"}), 0);
  EXPECT_EQ(printed(), "1 usb-a\n2 usb-b\n");
  EXPECT_TRUE(fake_.device_calls().empty()) << "listing opens nothing";
}

TEST_F(DispatchTest, ListShowsControlBytesOfPathsAsQuestionMarks) {
#ifdef _WIN32
  // Windows paths are UTF-16: a C1 control is a code unit of its own.
  const NativeString c1 = L"dir/\x9b" L"2J-\x9b" L"2J-\x11a";
#else
  // A stray C1 byte, a C1 control in UTF-8, and "Ě" in UTF-8.
  const NativeString c1 = "dir/\x9b" "2J-\xc2\x9b" "2J-\xc4\x9a";
#endif
  fake_.interfaces = {native("dir/evil\n2 FAKE-SN0042"), native("dir/\x1b]0;title\x07-del\x7f"), c1};
  EXPECT_EQ(run({"/L"}), 0);
  EXPECT_EQ(printed(), "1 dir/evil?2 FAKE-SN0042\n2 dir/?]0;title?-del?\n3 dir/?2J-?2J-\xc4\x9a\n");
  // /U searches the paths as they are.
  out_.str("");
  EXPECT_EQ(run({"$IN", "/U", "\n2 FAKE"}), 0);
  EXPECT_THAT(fake_.device_calls(), ::testing::Contains("open dir/evil\n2 FAKE-SN0042"));
#ifndef _WIN32
  fake_.calls.clear();
  EXPECT_EQ(run({"$IN", "/U", "\xc2\x9b"}), 0);
  EXPECT_THAT(fake_.device_calls(),
              ::testing::Contains("open dir/\x9b" "2J-\xc2\x9b" "2J-\xc4\x9a"));
#endif
}

TEST_F(DispatchTest, ListCutShortByAFailureIsAFailure) {
  fake_.interfaces = {native("usb-a"), native("usb-b"), native("usb-c")};
  fake_.enum_fails_at = 2;
  EXPECT_EQ(run({"/L"}), -1);
  EXPECT_EQ(printed(), kEnumerationError + "1 usb-a\n2 usb-b\n");
  fake_.interfaces.clear();
  out_.str("");
  EXPECT_EQ(run({"/L"}), -1);
  EXPECT_EQ(printed(), kNotFound);
}

}  // namespace
}  // namespace tarnlink
