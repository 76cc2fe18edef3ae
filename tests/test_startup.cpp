// Start-up through the real binary, as an operator at a terminal meets it:
// the banner, the digit prompt with its echo (the binary's controlling
// terminal is a pty that the test types into), the first argument, failed
// opens, over-long names, no console at all, and the help and version texts.
// Serial devices are ptys linked into a temporary CABLETEST_DEVICE_DIR.
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

using cabletest_test::ComDeviceName;
using cabletest_test::LinkDevice;
using cabletest_test::Millis;
using cabletest_test::Process;
using cabletest_test::Pty;
using cabletest_test::RunOptions;
using cabletest_test::Stream;
using cabletest_test::TempDir;

const std::string kBanner = "Magnetic switch cable test program\n\nCtrl C to terminate\n";
const std::string kPrompt = "Please enter serial port number (1-9) ";
const std::string kInvalid = " invalid port\n";
const std::string kNoConsole =
    "No console to read the port number from; give the port as the first argument\n";

// A device pty as the program leaves it after the open: raw, 9600 8N1, no
// flow control.
void ExpectLineSettings(const Pty& device) {
    termios t{};
    ASSERT_TRUE(device.GetAttr(&t));
    EXPECT_EQ(cfgetispeed(&t), B9600);
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(t.c_cflag & CSIZE, (tcflag_t)CS8);
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
}

class StartUp : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(terminal_.ok());
        options_.terminal = &terminal_;
        options_.env_set = {{"CABLETEST_DEVICE_DIR", dir_.path()}, {"CABLETEST_CLOCK", "real"}};
    }

    // Stands a pty in for the device file `name`.
    void Link(const std::string& name, const Pty& device) {
        ASSERT_TRUE(device.ok());
        ASSERT_NE(LinkDevice(dir_.path(), name, device.slave_path()), "");
    }

    // Waits for the prompt and for the key read behind it.
    void ExpectPrompt() {
        ASSERT_TRUE(process_.ReadUntil(Stream::kStdout, kPrompt).found)
            << process_.Output(Stream::kStdout);
        ASSERT_TRUE(terminal_.WaitForRawMode());
    }

    // Ctrl-C at the prompt: exit code 3, nothing echoed, the terminal's
    // line mode back.
    void QuitAtThePrompt() {
        ExpectPrompt();
        const size_t echoed = process_.Output(Stream::kTerminal).size();
        ASSERT_TRUE(process_.Type("\x03"));
        cabletest_test::ExitStatus status = process_.WaitExit();
        EXPECT_TRUE(status.Exited(3)) << status.Describe();
        EXPECT_EQ(process_.Output(Stream::kTerminal).size(), echoed);
        EXPECT_FALSE(terminal_.IsRaw());
    }

    void Start(std::vector<std::string> args) {
        options_.args = std::move(args);
        ASSERT_TRUE(process_.Start(options_)) << process_.error();
    }

    // Ends a program that is monitoring, as the console interrupt would.
    void Interrupt() {
        ASSERT_TRUE(process_.Signal(SIGINT));
        EXPECT_TRUE(process_.WaitExit().KilledBy(SIGINT));
    }

    TempDir dir_;
    Pty terminal_;
    RunOptions options_;
    Process process_;
};

// ---- the prompt -------------------------------------------------------------------

TEST_F(StartUp, BannerPromptAndCtrlC) {
    Start({});
    QuitAtThePrompt();
    EXPECT_EQ(process_.Output(Stream::kStdout), kBanner + kPrompt);
}

TEST_F(StartUp, InvalidKeysAreEchoedAndRefusedThenFiveOpensCom5) {
    Pty com5;
    Link(ComDeviceName(5), com5);
    Start({});
    ExpectPrompt();
    ASSERT_TRUE(process_.Type("a"));
    ExpectPrompt();
    ASSERT_TRUE(process_.Type("0"));
    ExpectPrompt();
    // F1 (xterm's SS3 form): two codes, 0 and 59, each one invalid key.
    ASSERT_TRUE(process_.Type("\x1bOP"));
    ExpectPrompt();
    ExpectPrompt();
    ASSERT_TRUE(process_.Type("5"));
    ASSERT_TRUE(com5.WaitForRawMode()) << process_.Output(Stream::kStdout);
    ASSERT_TRUE(process_.ReadUntil(Stream::kTerminal, "5").found);
    EXPECT_EQ(process_.Output(Stream::kTerminal), std::string("a0\0;5", 5));
    ExpectLineSettings(com5);
    // The line is monitored now; a pty has no modem lines, so nothing more
    // is reported.
    process_.ReadQuiet(Stream::kStdout, Millis(400));
    EXPECT_EQ(process_.Output(Stream::kStdout), kBanner + kPrompt + kInvalid + kPrompt + kInvalid +
                                                    kPrompt + kInvalid + kPrompt + kInvalid +
                                                    kPrompt + "\n");
    Interrupt();
}

TEST_F(StartUp, AFailedOpenOfAPromptedPortAsksAgain) {
    Start({});
    ExpectPrompt();
    ASSERT_TRUE(process_.Type("7"));
    QuitAtThePrompt();
    EXPECT_EQ(process_.Output(Stream::kStdout),
              kBanner + kPrompt + "\nOpen com7 failed 2\n" + kPrompt);
    EXPECT_EQ(process_.Output(Stream::kTerminal), "7");
}

// ---- the first argument -------------------------------------------------------------

TEST_F(StartUp, AFirstArgumentSkipsThePrompt) {
    Pty com2;
    Link(ComDeviceName(2), com2);
    Start({"com2"});
    ASSERT_TRUE(com2.WaitForRawMode()) << process_.Output(Stream::kStdout);
    ExpectLineSettings(com2);
    process_.ReadQuiet(Stream::kStdout, Millis(400));
    EXPECT_EQ(process_.Output(Stream::kStdout), kBanner);
    EXPECT_FALSE(terminal_.IsRaw());  // no key read
    Interrupt();
}

TEST_F(StartUp, AnEmptyFirstArgumentOpensCom1) {
    Pty com1;
    Link(ComDeviceName(1), com1);
    Start({""});
    ASSERT_TRUE(com1.WaitForRawMode()) << process_.Output(Stream::kStdout);
    process_.ReadQuiet(Stream::kStdout, Millis(300));
    EXPECT_EQ(process_.Output(Stream::kStdout), kBanner);
    Interrupt();
}

TEST_F(StartUp, AMissingPortIsReportedAndThePromptFollows) {
    Start({"com8"});
    QuitAtThePrompt();
    EXPECT_EQ(process_.Output(Stream::kStdout), kBanner + "Open com8 failed 2\n" + kPrompt);
}

TEST_F(StartUp, APortHeldByAnotherProgramIsReportedAndThePromptFollows) {
    Pty com4;
    Link(ComDeviceName(4), com4);
    Process holder;
    RunOptions holderOptions;
    holderOptions.args = {"com4"};
    holderOptions.env_set = options_.env_set;
    ASSERT_TRUE(holder.Start(holderOptions)) << holder.error();
    ASSERT_TRUE(com4.WaitForRawMode());

    Start({"com4"});
    QuitAtThePrompt();
    EXPECT_EQ(process_.Output(Stream::kStdout), kBanner + "Open com4 failed 5\n" + kPrompt);
    EXPECT_TRUE(holder.running());
    holder.Signal(SIGINT);
    EXPECT_TRUE(holder.WaitExit().KilledBy(SIGINT));
}

TEST_F(StartUp, NamesLongerThanSevenCharactersAreRefusedWhole) {
    // ttyUSB10 cut to seven characters would open ttyUSB1.
    Pty usb1;
    Pty usb10;
    Link("ttyUSB1", usb1);
    Link("ttyUSB10", usb10);
    Start({"ttyUSB10"});
    QuitAtThePrompt();
    EXPECT_EQ(process_.Output(Stream::kStdout), kBanner + "Open ttyUSB10 failed 206\n" + kPrompt);
    EXPECT_FALSE(usb1.IsRaw());
    EXPECT_FALSE(usb10.IsRaw());
}

TEST(StartUpWithoutConsole, ArgumentsOfAnyLengthAreRefusedWholeAndNothingOverflows) {
    // 255 characters still fit the start-up buffer, 256 and more do not;
    // all are too long for the port.
    for (size_t length : {8u, 255u, 256u, 300u, 5000u, 100000u}) {
        TempDir dir;
        std::string name(length, 'n');
        name[0] = 'c';
        RunOptions options;
        options.args = {name, "debug"};
        options.env_set = {{"CABLETEST_DEVICE_DIR", dir.path()}};
        Process process;
        ASSERT_TRUE(process.Start(options)) << process.error();
        cabletest_test::ExitStatus status = process.WaitExit();
        EXPECT_TRUE(status.Exited(1)) << length << ": " << status.Describe();
        EXPECT_EQ(process.Output(Stream::kStdout), kBanner + "Open " + name + " failed 206\n" +
                                                       kPrompt + kInvalid + kPrompt + kInvalid +
                                                       kPrompt + kInvalid + kNoConsole)
            << length;
    }
}

// ---- no console, help, version ------------------------------------------------------

TEST(StartUpWithoutConsole, ThreeFailedKeyReadsEndTheProgramWithCode1) {
    // Standard input redirected does not count as a console: the key is
    // read from the terminal itself, and there is none.
    for (auto stdinFrom : {cabletest_test::StdinFrom::kNull, cabletest_test::StdinFrom::kPipe}) {
        TempDir dir;
        RunOptions options;
        options.stdin_from = stdinFrom;
        options.env_set = {{"CABLETEST_DEVICE_DIR", dir.path()}};
        Process process;
        ASSERT_TRUE(process.Start(options)) << process.error();
        if (stdinFrom == cabletest_test::StdinFrom::kPipe)
            process.WriteStdin("1111\n");
        cabletest_test::ExitStatus status = process.WaitExit();
        EXPECT_TRUE(status.Exited(1)) << status.Describe();
        EXPECT_EQ(process.Output(Stream::kStdout), kBanner + kPrompt + kInvalid + kPrompt +
                                                       kInvalid + kPrompt + kInvalid + kNoConsole);
    }
}

TEST(HelpAndVersion, HelpNamesThePortsTheDebugWordAndTheSimulatedLine) {
    for (const char* option : {"-h", "--help"}) {
        TempDir dir;
        RunOptions options;
        options.args = {option};
        options.env_set = {{"CABLETEST_DEVICE_DIR", dir.path()}};
        Process process;
        ASSERT_TRUE(process.Start(options)) << process.error();
        cabletest_test::ExitStatus status = process.WaitExit();
        EXPECT_TRUE(status.Exited(0)) << status.Describe();
        const std::string text = process.Output(Stream::kStdout);
        EXPECT_EQ(text.rfind("Usage: cabletest [port [debug]]\n", 0), 0u) << text;
        for (const char* word : {"com1", "ttyUSB0", "pts/3", "sim", "debug"}) {
            EXPECT_NE(text.find(word), std::string::npos) << word;
        }
        EXPECT_EQ(text.find("Magnetic switch"), std::string::npos);  // no start-up
    }
}

TEST(HelpAndVersion, VersionPrintsTheVersion) {
    TempDir dir;
    RunOptions options;
    options.args = {"--version"};
    options.env_set = {{"CABLETEST_DEVICE_DIR", dir.path()}};
    Process process;
    ASSERT_TRUE(process.Start(options)) << process.error();
    EXPECT_TRUE(process.WaitExit().Exited(0));
    EXPECT_EQ(process.Output(Stream::kStdout),
              std::string("cabletest ") + CABLETEST_EXPECTED_VERSION + "\n");
}

}  // namespace
