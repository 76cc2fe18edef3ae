// What a shift leaves behind: time stamps on the reports (-t) and a recording of the line
// (--record FILE) that replays on the simulated line. Stamps and replays are compared exactly on
// the virtual clock, where a run and its replay must give the same output and DTR/RTS log.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "platform/posix/sim_script.h"

namespace {

using namespace harness;
using Args = std::vector<std::string>;

const std::string kDay = "2000-01-01 00:00:0";
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr unsigned kScripts = 30;  // each run is many times slower
#else
constexpr unsigned kScripts = 100;
#endif

TEST(Stamps, EachLineAfterTheBannerAtItsVirtualTimeOfDayAndOptionsAnywhere) {
    const std::string script = "500 cable on\n1500 bytes 3 2\n2000 cable off\n2500 end\n";
    SimRun plain = RunSim(script, {"sim"}, {{"TZ", "UTC"}});
    SimRun stamped = RunSim(script, {"sim", "-t"}, {{"TZ", "UTC"}});
    EXPECT_EQ(plain.out, kBanner + kConnected + kPass + kDisconnected);
    EXPECT_EQ(stamped.out, kBanner + kDay + "0.570 " + kConnected + kDay + "1.500 " + kPass + kDay +
                               "2.134 " + kDisconnected);
    EXPECT_EQ(stamped.log, plain.log);
    // The local time: TZ moves it.
    SimRun east = RunSim(script, {"--timestamps", "sim", "debug"}, {{"TZ", "XYZ-2"}});
    EXPECT_NE(east.out.find("\n2000-01-01 02:00:00.100 Handle = "), std::string::npos);
    EXPECT_NE(east.out.find("\n2000-01-01 02:00:01.502 1001502 1001500: received char 00\n"),
              std::string::npos)
        << east.out;
    // The prompt starts a line; what follows it on that line is not stamped again.
    Child prompt({{"-t"}, {{"CABLETEST_CLOCK", "virtual"}, {"TZ", "UTC"}}});
    EXPECT_TRUE(prompt.Wait().Exited(1));
    const std::string again = kDay + "0.000 " + kPrompt + kInvalid;
    EXPECT_EQ(prompt.out, kBanner + again + again + again + kDay + "0.000 " + kNoConsole);
}

TEST(Stamps, AnUnknownOptionIsRefusedBeforeAnythingIsOpened) {
    TempDir dir;
    const std::string unknown = "cabletest: unknown option ", noFile = "cabletest: --record needs";
    const std::pair<Args, std::string> cases[] = {
        {{"sim", "-x", "--record", dir / "r"}, unknown + "-x\n"},
        {{"--record", dir / "r", "sim", "--timestamp"}, unknown + "--timestamp\n"},
        {{"sim", "--record"}, noFile + " a file name\n"},
        {{"--record", "-t", "sim"}, noFile + " a file name\n"}};
    for (const auto& [args, refusal] : cases) {
        Child p({args, {{"CABLETEST_CLOCK", "virtual"}, {"CABLETEST_SIM_LOG", dir / "log"}}});
        EXPECT_TRUE(p.Wait().Exited(2)) << refusal;
        EXPECT_EQ(p.out, "");
        EXPECT_EQ(p.err.rfind(refusal + "Usage: cabletest [port [debug]]\n", 0), 0u) << p.err;
        EXPECT_NE(access((dir / "r").c_str(), F_OK), 0) << "recording created";
        EXPECT_NE(access((dir / "log").c_str(), F_OK), 0) << "port opened";
    }
}

TEST(Record, EachObservationInTheScriptFormatAtTheTimeItWasMade) {
    TempDir dir;
    ASSERT_TRUE(WriteFile(dir / "r", "# an earlier recording\n"));
    // Bytes of the start-up pause, read by the drain; lines changed between two samples; errors
    // that wait for the next query; a byte during the RTS pulse that follows them and two during
    // a DTR pulse, each read at the pulse's end.
    SimRun run = RunSim(
        "0 bytes 2 1 7e\n300 cable on\n300 rlsd on\n420 cts on\n420 rlsd off\n1000 error parity\n"
        "1010 error frame\n1220 bytes 1 1 11\n1452 bytes 2 3 0x5a\n2100 end\n",
        {"sim", "--record", dir / "r"});
    EXPECT_EQ(run.out, kBanner + kConnected + kPass);
    EXPECT_TRUE(std::regex_match(
        ReadFile(dir / "r"),
        std::regex("# an earlier recording\n# cabletest " CABLETEST_EXPECTED_VERSION
                   "( \\(git [^)]+\\))? recording of the port sim, opened 2000-01-01 "
                   "00:00:00.000; times in ms since then\n"
                   "100 bytes 1 1 7e\n100 bytes 1 1 7e\n360 cable on\n360 rlsd on\n570 cts on\n"
                   "570 rlsd off\n1200 error frame\n1200 error parity\n1250 bytes 1 1 11\n"
                   "1460 bytes 1 1 5a\n1460 bytes 1 1 5a\n")))
        << ReadFile(dir / "r");
    // A flood into a full receive queue: an error the script format has no word for.
    std::string flood;
    for (int i = 0; i < 50; ++i)
        flood += "0 bytes 100 1 ff\n";
    EXPECT_TRUE(RunSim(flood + "200 end\n", {"sim", "--record", dir / "f"}).status.Exited(0));
    EXPECT_NE(ReadFile(dir / "f").find("\n# 100 error: receive queue overflow (CE_RXOVER), not "
                                       "in the script format\n"),
              std::string::npos);
}

// Only a regular file is recorded into: anything else is refused at once, before the banner and
// the port, and left as it was; a FIFO without a reader holds nothing up, a terminal gets nothing.
TEST(Record, OnlyARegularFileIsTakenAndAnythingElseRefusedAtOnce) {
    TempDir dir;
    Pty tty;
    const termios before = tty.Mode();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", (dir / "socket").c_str());
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_TRUE(listener >= 0 && bind(listener, (sockaddr*)&address, sizeof address) == 0);
    ASSERT_TRUE(mkfifo((dir / "fifo").c_str(), 0600) == 0 &&
                symlink(tty.slave.c_str(), (dir / "terminal").c_str()) == 0);
    const std::string device =
                          "a device (a terminal, a serial port, the null device), not a "
                          "regular file\n",
                      pipe = "a pipe or a socket, not a regular file\n";
    const std::pair<std::string, std::string> cases[] = {
        {dir / "terminal", device},
        {"/dev/null", device},
        {dir / "fifo", pipe},
        {dir / "socket", pipe},
        {dir.path,
         "access denied (a folder, or a file or folder this user may not write) "
         "(error 5)\n"},
        {dir / "missing/r", "no such folder (error 3)\n"}};
    for (const auto& [path, reason] : cases) {
        const double start = Now();
        SimRun refused = RunSim("0 end\n", {"sim", "--record", path});
        EXPECT_TRUE(refused.status.Exited(1)) << path << " " << refused.status.Text();
        EXPECT_LT(Now() - start, 5.0) << path;
        EXPECT_EQ(refused.out + refused.log, "") << path;
        EXPECT_EQ(refused.err, "cabletest: cannot create the recording " + path + ": " + reason);
    }
    close(listener);
    struct stat fifo {};
    EXPECT_TRUE(stat((dir / "fifo").c_str(), &fifo) == 0 && S_ISFIFO(fifo.st_mode));
    EXPECT_EQ(tty.Read(), "") << "written to a terminal";
    EXPECT_TRUE(tty.Kept(before)) << "the terminal was changed";
    // A link to a regular file is that file, added to.
    ASSERT_TRUE(WriteFile(dir / "file", "# kept\n") &&
                symlink((dir / "file").c_str(), (dir / "link").c_str()) == 0);
    EXPECT_TRUE(RunSim("200 end\n", {"sim", "--record", dir / "link"}).status.Exited(0));
    EXPECT_EQ(ReadFile(dir / "file").rfind("# kept\n# cabletest ", 0), 0u);
}

// A closed standard stream is never the recording's place, whichever it is: the program's own
// lines (the banner, the cause of a refused open) do not go into the recording.
TEST(Record, AClosedStandardStreamIsNotTakenByTheRecording) {
    for (const char* closed : {">&-", "2>&-"}) {
        TempDir dir;
        Options o({"-c", std::string("exec \"$0\" --record \"$1\" com5 ") + closed, ProgramPath(),
                   dir / "r"},
                  {{"CABLETEST_DEVICE_DIR", dir.path}});
        o.program = "/bin/sh";
        Child p(o);
        EXPECT_TRUE(p.Wait().Exited(1)) << closed;
        EXPECT_EQ(ReadFile(dir / "r"), "") << closed;
    }
}

// The live run recorded, then the recording with the run's own end line replayed.
std::string RecordAndReplay(const std::string& script, uint64_t endMs, const Args& args) {
    TempDir dir;
    Args recording = args;
    recording.insert(recording.end(), {"--record", dir / "r"});
    SimRun live = RunSim(script, recording, {{"TZ", "UTC"}});
    const std::string text = ReadFile(dir / "r");
    SimRun replay = RunSim(text + std::to_string(endMs) + " end\n", args, {{"TZ", "UTC"}});
    EXPECT_TRUE(live.status.Exited(0) && replay.status.Exited(0)) << replay.err;
    EXPECT_EQ(replay.out, live.out) << script << text;
    EXPECT_EQ(replay.log, live.log) << script << text;
    return text;
}

TEST(Record, ReplaysToTheSameOutputAndLogOverRandomScripts) {
    int lateReads = 0;
    for (unsigned seed = 1; seed <= kScripts && !HasFailure(); ++seed) {
        SCOPED_TRACE(seed);
        uint64_t endMs = 0;
        std::set<uint64_t> arrivals;
        const std::string script = RandomScript(seed, &endMs, &arrivals);
        Args args = {"sim"};
        if (seed % 2 == 0)
            args.push_back("debug");  // every byte's tick and every modem line
        if (seed % 3 == 0)
            args.push_back("-t");
        std::istringstream recording(RecordAndReplay(script, endMs, args));
        uint64_t ms = 0;
        std::string word;
        for (std::string line; std::getline(recording, line);) {
            std::istringstream(line) >> ms >> word;
            lateReads += word == "bytes" && arrivals.count(ms) == 0;
        }
    }
    EXPECT_GT(lateReads, 100) << "bytes read later than they arrived: the case that matters";
}

// The port lost after a byte was seen waiting and the run ended 10 ms later, before the next
// status query: the loss is in the recording all the same, so the replay's RTS stays down.
TEST(Record, ALossRightBeforeTheEndIsRecorded) {
    const std::string script =
        "0 cable on\n1000 error frame\n1000 bytes 1\n1000 bytes 1\n1050 unplug\n1060 end\n";
    for (const Args& args : {Args{"sim"}, Args{"sim", "debug"}}) {
        const std::string text = RecordAndReplay(script, 1060, args);
        EXPECT_NE(text.find("\n1000 bytes 1 1 00 # seen waiting, lost with the port before it "
                            "was read\n1050 unplug\n"),
                  std::string::npos)
            << text;
    }
}

TEST(Record, TheDemonstrationForOneRoundReplaysToItsReports) {
    std::string demo = posixlayer::SimDemoScript();
    ASSERT_NE(demo.find("10000 repeat"), std::string::npos);
    demo.replace(demo.find("10000 repeat"), 12, "10000 end");
    RecordAndReplay(demo, 10000, {"sim"});
}

// In real time on a pty (no modem lines, so no cable report): the recording, replayed on the
// virtual clock, gives the same passes. The echo 300 ms after a burst is no pass of its own.
TEST(Record, APtyRecordingReplaysToTheSamePasses) {
    Pty line;
    TempDir dir;
    ASSERT_TRUE(line.Link(dir.path, "ttyUSB0"));
    Child p({{"--record", dir / "r", "ttyUSB0"}, {{"CABLETEST_DEVICE_DIR", dir.path}}});
    ASSERT_TRUE(line.WaitRaw());
    usleep(300000);
    for (int burst = 0; burst < 3; ++burst) {
        ASSERT_TRUE(line.Write("UUUUU") && p.ReadUntil(kPass, 5000)) << p.out;
        usleep(300000);
        ASSERT_TRUE(line.Write("e"));
        usleep(600000);
    }
    ASSERT_TRUE(p.Signal(SIGINT) && p.Wait().Killed(SIGINT));
    const std::string text = ReadFile(dir / "r");
    EXPECT_EQ(Count(text, " bytes 1 1 55\n") * 10 + Count(text, " bytes 1 1 65\n"), 153u) << text;
    const uint64_t last = std::stoull(text.substr(text.rfind('\n', text.size() - 2)));
    SimRun replay = RunSim(text + std::to_string(last + 1000) + " end\n");
    EXPECT_TRUE(replay.status.Exited(0)) << replay.err;
    EXPECT_EQ(replay.out, p.out);
    EXPECT_EQ(p.out, kBanner + kPass + kPass + kPass);
}

}  // namespace
