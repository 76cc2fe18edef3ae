// Start-up through the real binary, as an operator at a terminal meets it (its
// controlling terminal is a pty that the test types into): the prompt and its
// echo, the first argument, an over-long name, no console, help and version.
// Serial devices are ptys linked into a temporary CABLETEST_DEVICE_DIR.
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>

#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using cabletest_test::ComDeviceName;
using cabletest_test::Process;
using cabletest_test::Pty;
using cabletest_test::RunOptions;
using cabletest_test::Stream;
using cabletest_test::TempDir;

const std::string kBanner = "Magnetic switch cable test program\n\nCtrl C to terminate\n";
const std::string kPrompt = "Please enter serial port number (1-9) ";
const std::string kRefused = kPrompt + " invalid port\n";
const std::string kNoConsole =
    kRefused + kRefused + kRefused +
    "No console to read the port number from; give the port as the first argument\n";

class StartUp : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(terminal_.ok());
        options_.terminal = &terminal_;
        options_.env_set = {{"CABLETEST_DEVICE_DIR", dir_.path()}, {"CABLETEST_CLOCK", "real"}};
    }

    void Start(std::vector<std::string> args, const std::string& device = "") {
        if (!device.empty()) {
            ASSERT_NE(cabletest_test::LinkDevice(dir_.path(), device, line_.slave_path()), "");
        }
        options_.args = std::move(args);
        ASSERT_TRUE(process_.Start(options_)) << process_.error();
    }

    // Waits for the prompt and for the key read behind it.
    void ExpectPrompt() {
        ASSERT_TRUE(process_.ReadUntil(Stream::kStdout, kPrompt).found)
            << process_.Output(Stream::kStdout);
        ASSERT_TRUE(terminal_.WaitForRawMode());
    }

    // The port is open and monitored: raw 9600 8N1 without flow control;
    // a pty has no modem lines, so nothing more is reported. Then the
    // console interrupt ends the program.
    void ExpectMonitoring(const std::string& out) {
        ASSERT_TRUE(line_.WaitForRawMode()) << process_.Output(Stream::kStdout);
        termios t{};
        ASSERT_TRUE(line_.GetAttr(&t));
        EXPECT_EQ(cfgetispeed(&t), B9600);
        EXPECT_EQ(cfgetospeed(&t), B9600);
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD), (tcflag_t)(CS8 | CREAD));
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | ISTRIP), 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        process_.ReadQuiet(Stream::kStdout, cabletest_test::Millis(400));
        EXPECT_EQ(process_.Output(Stream::kStdout), out);
        ASSERT_TRUE(process_.Signal(SIGINT));
        EXPECT_TRUE(process_.WaitExit().KilledBy(SIGINT));
    }

    TempDir dir_;
    Pty terminal_;
    Pty line_;  // stands in for a serial device
    RunOptions options_;
    Process process_;
};

TEST_F(StartUp, PromptRefusesOtherKeysAsksAgainAfterAFailedOpenAndEndsOnCtrlC) {
    Start({});
    ExpectPrompt();
    ASSERT_TRUE(process_.Type("a"));
    ExpectPrompt();
    ASSERT_TRUE(process_.Type("0"));
    ExpectPrompt();
    ASSERT_TRUE(process_.Type("\x1bOP"));  // F1: two codes, 0 and 59
    ExpectPrompt();
    ExpectPrompt();
    ASSERT_TRUE(process_.Type("7"));  // no com7
    ExpectPrompt();
    ASSERT_TRUE(process_.Type("\x03"));
    cabletest_test::ExitStatus status = process_.WaitExit();
    EXPECT_TRUE(status.Exited(3)) << status.Describe();
    EXPECT_EQ(process_.Output(Stream::kTerminal), std::string("a0\0;7", 5));  // Ctrl-C unechoed
    EXPECT_FALSE(terminal_.IsRaw());
    EXPECT_EQ(process_.Output(Stream::kStdout), kBanner + kRefused + kRefused + kRefused +
                                                    kRefused + kPrompt + "\nOpen com7 failed 2\n" +
                                                    kPrompt);
}

TEST_F(StartUp, FiveAtThePromptOpensCom5) {
    Start({}, ComDeviceName(5));
    ExpectPrompt();
    ASSERT_TRUE(process_.Type("5"));
    ExpectMonitoring(kBanner + kPrompt + "\n");
    EXPECT_EQ(process_.Output(Stream::kTerminal), "5");
}

TEST_F(StartUp, AFirstArgumentSkipsThePrompt) {
    Start({"com2"}, ComDeviceName(2));
    ExpectMonitoring(kBanner);
    EXPECT_FALSE(terminal_.IsRaw());  // no key read
}

TEST_F(StartUp, TheOperatorsOwnTerminalIsRefused) {
    ASSERT_NE(cabletest_test::LinkDevice(dir_.path(), "mine", terminal_.slave_path()), "");
    Start({"mine"});
    ASSERT_TRUE(process_.ReadUntil(Stream::kStdout, "Open mine failed 5\n" + kPrompt).found)
        << process_.Output(Stream::kStdout);
    ASSERT_TRUE(terminal_.WaitForRawMode());  // the prompt's key read, nothing else
    ASSERT_TRUE(process_.Type("\x03"));
    EXPECT_TRUE(process_.WaitExit().Exited(3));
}

TEST_F(StartUp, AnEmptyFirstArgumentOpensCom1) {
    Start({""}, ComDeviceName(1));
    ExpectMonitoring(kBanner);
}

// Runs the program without a terminal; checks the exit code, returns stdout.
std::string RunWithoutConsole(const TempDir& dir, std::vector<std::string> args, int code,
                              const std::string& stdinText = "") {
    RunOptions options;
    options.args = std::move(args);
    options.env_set = {{"CABLETEST_DEVICE_DIR", dir.path()}};
    options.stdin_from = cabletest_test::StdinFrom::kPipe;
    Process process;
    EXPECT_TRUE(process.Start(options)) << process.error();
    if (!stdinText.empty())
        process.WriteStdin(stdinText);
    process.CloseStdin();
    cabletest_test::ExitStatus status = process.WaitExit();
    EXPECT_TRUE(status.Exited(code)) << status.Describe();
    return process.Output(Stream::kStdout);
}

TEST(WithoutConsole, ThreeFailedKeyReadsEndTheProgram) {
    // Redirected standard input is no console: the key comes from the
    // terminal, and there is none.
    TempDir dir;
    EXPECT_EQ(RunWithoutConsole(dir, {}, 1, "1111\n"), kBanner + kNoConsole);
}

TEST(WithoutConsole, NamesLongerThanSevenCharactersAreRefusedWhole) {
    // ttyUSB10 cut to seven characters would open ttyUSB1.
    TempDir dir;
    Pty usb1, usb10;
    ASSERT_NE(cabletest_test::LinkDevice(dir.path(), "ttyUSB1", usb1.slave_path()), "");
    ASSERT_NE(cabletest_test::LinkDevice(dir.path(), "ttyUSB10", usb10.slave_path()), "");
    EXPECT_EQ(RunWithoutConsole(dir, {"ttyUSB10", "debug"}, 1),
              kBanner + "Open ttyUSB10 failed 206\n" + kNoConsole);
    EXPECT_FALSE(usb1.IsRaw());
    EXPECT_FALSE(usb10.IsRaw());
}

TEST(WithoutConsole, HelpAndVersion) {
    TempDir dir;
    for (const char* option : {"-h", "--help"}) {
        const std::string text = RunWithoutConsole(dir, {option}, 0);
        EXPECT_EQ(text.rfind("Usage: cabletest [port [debug]]\n", 0), 0u) << text;
        for (const char* word : {"com1", "ttyUSB0", "pts/3", "sim", "debug"}) {
            EXPECT_NE(text.find(word), std::string::npos) << option << ": " << word;
        }
        EXPECT_EQ(text.find("Magnetic switch"), std::string::npos);  // no start-up
    }
    // The commit follows the version in a git checkout only.
    const std::string version = RunWithoutConsole(dir, {"--version"}, 0);
    const std::string plain = std::string("cabletest ") + CABLETEST_EXPECTED_VERSION;
    ASSERT_EQ(version.rfind(plain, 0), 0u) << version;
    EXPECT_TRUE(std::regex_match(version.substr(plain.size()),
                                 std::regex("( \\(git [0-9A-Za-z._+-]+\\))?\n")))
        << version;
}

}  // namespace
