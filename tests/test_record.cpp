// What a shift leaves behind: time stamps on the reports (-t) and a recording of the line
// (--record FILE) that replays on the simulated line. Stamps and replays are compared exactly on
// the virtual clock, where a run and its replay must give the same output and DTR/RTS log.
#include <gtest/gtest.h>
#include <signal.h>
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

const Env kUtc = {{"TZ", "UTC"}};
const std::string kDay = "2000-01-01 00:00:0";

TEST(Stamps, EachLineAfterTheBannerAtItsVirtualTimeOfDay) {
    const std::string script = "500 cable on\n1500 bytes 3 2\n2000 cable off\n2500 end\n";
    SimRun plain = RunSim(script, {"sim"}, kUtc);
    EXPECT_EQ(plain.out, kBanner + kConnected + kPass + kDisconnected);
    // Options stand anywhere; the stamp is the local time, so TZ moves it.
    SimRun stamped = RunSim(script, {"sim", "-t"}, kUtc);
    EXPECT_EQ(stamped.out, kBanner + kDay + "0.570 " + kConnected + kDay + "1.500 " + kPass +
                               kDay + "2.134 " + kDisconnected);
    EXPECT_EQ(stamped.log, plain.log);
    SimRun east = RunSim(script, {"--timestamps", "sim", "debug"}, {{"TZ", "XYZ-2"}});
    EXPECT_NE(east.out.find("\n2000-01-01 02:00:00.100 Handle = "), std::string::npos) << east.out;
    EXPECT_NE(east.out.find("\n2000-01-01 02:00:01.502 1001502 1001500: received char 00\n"),
              std::string::npos)
        << east.out;
    // The prompt starts a line; what follows it on that line is not stamped again.
    Child prompt({{"-t"}, {{"CABLETEST_CLOCK", "virtual"}, {"TZ", "UTC"}}});
    EXPECT_TRUE(prompt.Wait().Exited(1));
    const std::string again = kDay + "0.000 " + kPrompt + kInvalid;
    EXPECT_EQ(prompt.out, kBanner + again + again + again + kDay + "0.000 " + kNoConsole);
}

TEST(CommandLine, AnUnknownOptionIsRefusedBeforeAnythingIsOpened) {
    TempDir dir;
    const std::string unknown = "cabletest: unknown option ", noFile = "--record needs a file name";
    const struct {
        std::vector<std::string> args;
        std::string refusal;
    } cases[] = {{{"sim", "-x", "--record", dir / "r"}, unknown + "-x"},
                 {{"--record", dir / "r", "sim", "--timestamp"}, unknown + "--timestamp"},
                 {{"sim", "--record"}, "cabletest: " + noFile},
                 {{"--record", "-t", "sim"}, "cabletest: " + noFile}};
    for (const auto& c : cases) {
        Child p({c.args, {{"CABLETEST_CLOCK", "virtual"},
                          {"CABLETEST_SIM_SCRIPT", dir / "script"},
                          {"CABLETEST_SIM_LOG", dir / "log"}}});
        EXPECT_TRUE(p.Wait().Exited(2)) << c.refusal;
        EXPECT_EQ(p.out, "");
        EXPECT_EQ(p.err.rfind(c.refusal + "\nUsage: cabletest [port [debug]]\n", 0), 0u) << p.err;
        EXPECT_NE(access((dir / "r").c_str(), F_OK), 0) << "recording created";
        EXPECT_NE(access((dir / "log").c_str(), F_OK), 0) << "port opened";
    }
    Child help({{"sim", "debug", "--help"}});
    EXPECT_TRUE(help.Wait().Exited(0));
    EXPECT_EQ(help.out.rfind("Usage: cabletest [port [debug]]\n", 0), 0u);
    EXPECT_NE(help.out.find("--record FILE"), std::string::npos);
}

TEST(Record, EachObservationInTheScriptFormatAtTheTimeItWasMade) {
    TempDir dir;
    ASSERT_TRUE(WriteFile(dir / "r", "# an earlier recording\n"));
    // Bytes of the start-up pause, read by the drain; lines changed between two samples; errors
    // that wait for the next query; a byte during the RTS pulse that follows them and two during
    // a DTR pulse, each read at the pulse's end.
    const std::string script =
        "0 bytes 2 1 7e\n300 cable on\n300 rlsd on\n420 cts on\n420 rlsd off\n"
        "1000 error parity\n1010 error frame\n1220 bytes 1 1 11\n1452 bytes 2 3 0x5a\n2100 end\n";
    SimRun run = RunSim(script, {"sim", "--record", dir / "r"});
    EXPECT_EQ(run.out, kBanner + kConnected + kPass);
    const std::string text = ReadFile(dir / "r");
    const std::string earlier = "# an earlier recording\n";
    ASSERT_EQ(text.rfind(earlier, 0), 0u) << "appended to";
    const size_t body = text.find('\n', earlier.size()) + 1;
    EXPECT_TRUE(std::regex_match(text.substr(earlier.size(), body - earlier.size()),
                                 std::regex("# cabletest " CABLETEST_EXPECTED_VERSION
                                            "( \\(git [^)]+\\))? recording of the port sim, "
                                            "opened 2000-01-01 00:00:00.000; times in ms since "
                                            "then\n")))
        << text;
    EXPECT_EQ(text.substr(body),
              "100 bytes 1 1 7e\n100 bytes 1 1 7e\n360 cable on\n360 rlsd on\n570 cts on\n"
              "570 rlsd off\n1200 error frame\n1200 error parity\n1250 bytes 1 1 11\n"
              "1460 bytes 1 1 5a\n1460 bytes 1 1 5a\n");

    // A flood into a full receive queue: an error the script format has no word for.
    std::string flood;
    for (int i = 0; i < 50; ++i) {
        flood += "0 bytes 100 1 ff\n";
    }
    ASSERT_EQ(RunSim(flood + "200 end\n", {"sim", "--record", dir / "flood"}).status.code, 0);
    EXPECT_NE(ReadFile(dir / "flood").find(
                  "\n# 100 error: receive queue overflow (CE_RXOVER), not in the script format\n"),
              std::string::npos);

    // A file that cannot be created is refused before the port is opened.
    SimRun refused = RunSim(script, {"sim", "--record", dir / "missing/r"});
    EXPECT_TRUE(refused.status.Exited(1));
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "cabletest: cannot create the recording " + (dir / "missing/r") +
                               ": No such file or directory\n");
    EXPECT_EQ(refused.log, "");
}

// The live run recorded, then the recording with the run's own end line replayed: the same
// output and the same DTR/RTS log, line for line.
struct RoundTrip {
    SimRun live, replay;
    std::string recording;
};

RoundTrip RecordAndReplay(const std::string& script, uint64_t endMs,
                          std::vector<std::string> args) {
    TempDir dir;
    RoundTrip trip;
    std::vector<std::string> recordArgs = args;
    recordArgs.insert(recordArgs.end(), {"--record", dir / "r"});
    trip.live = RunSim(script, recordArgs, kUtc);
    trip.recording = ReadFile(dir / "r");
    trip.replay = RunSim(trip.recording + std::to_string(endMs) + " end\n", args, kUtc);
    return trip;
}

// A random script: lines changing, bursts (often under way during a DTR or RTS pulse), errors.
std::string RandomScript(std::mt19937& random, uint64_t* endMs, std::set<uint64_t>* arrivals) {
    auto pick = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    static const char* const kWords[] = {"cable", "cts", "ring", "rlsd"};
    static const char* const kErrors[] = {"frame", "overrun", "parity", "break"};
    std::ostringstream script;
    uint64_t t = 0;
    for (int n = pick(5, 25); n > 0; --n) {
        t += pick(0, 2) == 0 ? pick(0, 40) : pick(0, 2) == 0 ? pick(0, 300) : pick(200, 1500);
        const int kind = pick(0, 19);
        if (kind < 8) {
            const int count = pick(1, 30), gap = pick(1, 5);
            char value[8];
            snprintf(value, sizeof value, "%02x", pick(0, 255));
            script << t << " bytes " << count << " " << gap << " " << value << "\n";
            for (int i = 0; i < count; ++i) {
                arrivals->insert(t + uint64_t(i) * gap);
            }
        } else if (kind < 15) {
            script << t << " " << kWords[kind < 11 ? 0 : pick(1, 3)] << (pick(0, 1) ? " on\n"
                                                                                   : " off\n");
        } else {
            script << t << " error " << kErrors[pick(0, 3)] << "\n";
        }
    }
    *endMs = t + pick(100, 1500);
    script << *endMs << " end\n";
    return script.str();
}

TEST(Record, ReplaysToTheSameOutputAndLogOverRandomScripts) {
    int lateReads = 0;
    for (unsigned seed = 1; seed <= 100; ++seed) {
        std::mt19937 random(seed);
        uint64_t endMs = 0;
        std::set<uint64_t> arrivals;
        const std::string script = RandomScript(random, &endMs, &arrivals);
        std::vector<std::string> args = {"sim"};
        if (seed % 2 == 0) {
            args.push_back("debug");  // every byte's tick and every modem line
        }
        if (seed % 3 == 0) {
            args.push_back("-t");
        }
        RoundTrip trip = RecordAndReplay(script, endMs, args);
        ASSERT_TRUE(trip.live.status.Exited(0) && trip.replay.status.Exited(0))
            << seed << "\n" << script << trip.replay.err;
        ASSERT_EQ(trip.replay.out, trip.live.out) << seed << "\n" << script << trip.recording;
        ASSERT_EQ(trip.replay.log, trip.live.log) << seed << "\n" << script << trip.recording;
        // Bytes read later than they arrived (during a pulse): the case that makes this hard.
        std::istringstream lines(trip.recording);
        uint64_t ms = 0;
        std::string word;
        for (std::string line; std::getline(lines, line);) {
            std::istringstream(line) >> ms >> word;
            lateReads += word == "bytes" && arrivals.count(ms) == 0;
        }
    }
    EXPECT_GT(lateReads, 100);
}

TEST(Record, TheDemonstrationForOneRoundReplaysToItsReports) {
    std::string demo = posixlayer::SimDemoScript();
    const size_t repeat = demo.find("10000 repeat");
    ASSERT_NE(repeat, std::string::npos);
    demo.replace(repeat, 12, "10000 end");
    RoundTrip trip = RecordAndReplay(demo, 10000, {"sim"});
    EXPECT_EQ(trip.live.out,
              kBanner + kConnected + kPass + kPass + kDisconnected + kConnected + kPass +
                  kDisconnected);
    EXPECT_EQ(trip.replay.out, trip.live.out);
    EXPECT_EQ(trip.replay.log, trip.live.log);
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
        ASSERT_TRUE(line.Write("UUUUU"));
        ASSERT_TRUE(p.ReadUntil(kPass, 5000)) << p.out;
        usleep(300000);
        ASSERT_TRUE(line.Write("e"));
        usleep(600000);
    }
    ASSERT_TRUE(p.Signal(SIGINT));
    EXPECT_TRUE(p.Wait().Killed(SIGINT));
    const std::string recording = ReadFile(dir / "r");
    EXPECT_EQ(Count(recording, " bytes 1 1 55\n"), 15u) << recording;
    EXPECT_EQ(Count(recording, " bytes 1 1 65\n"), 3u) << recording;
    const uint64_t last = std::stoull(recording.substr(recording.rfind('\n', recording.size() - 2)));
    SimRun replay = RunSim(recording + std::to_string(last + 1000) + " end\n");
    EXPECT_TRUE(replay.status.Exited(0)) << replay.err;
    EXPECT_EQ(replay.out, p.out);
    EXPECT_EQ(p.out, kBanner + kPass + kPass + kPass);
}

}  // namespace
