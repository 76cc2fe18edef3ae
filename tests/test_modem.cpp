// The real program on a pty given modem lines by the preload library (preload/modemlines.c), in
// real time: the lines after the open, the DTR pulse, the cable plugged and pulled, the debug
// text, the RTS drop on a line error; and which devices the program opens: none for --list and a
// Tab of the completion, and a port only through the descriptor it checked.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "harness.h"
#include "preload/modemlines.h"

using namespace harness;

namespace {

// One line of the library's log: its time in ms from the first line, and its words.
struct Event {
    double ms;
    std::string what;
};

// A pty as the port com1 under a device folder, its modem lines in a record shared with the
// library, and a made-up sysfs that lists it as ttyS0 beside a console stand-in, ttyS1.
struct Rig {
    TempDir dir;
    Pty pty, console;
    ModemLines* lines = nullptr;
    Rig() {
        const int fd = open((dir / "lines").c_str(), O_RDWR | O_CREAT, 0600);
        if (fd >= 0 && ftruncate(fd, sizeof(ModemLines)) == 0) {
            void* map =
                mmap(nullptr, sizeof(ModemLines), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            lines = map == MAP_FAILED ? nullptr : static_cast<ModemLines*>(map);
        }
        close(fd);
        for (const std::string d : {"dev", "sys", "sys/class", "sys/class/tty", "sys/devices"})
            mkdir((dir / d).c_str(), 0755);
        for (const std::string tty : {"ttyS0", "ttyS1"}) {
            mkdir((dir / "sys/class/tty/" + tty).c_str(), 0755);
            symlink("../../../devices", (dir / "sys/class/tty/" + tty + "/device").c_str());
            WriteFile(dir / "sys/class/tty/" + tty + "/type", "4\n");
        }
        mkdir((dir / "sys/class/tty/console").c_str(), 0755);
        WriteFile(dir / "sys/class/tty/console/active", "ttyS1\n");
        WriteFile(dir / "sys/class/tty/ttyS1/dev", DeviceNumbers(console.slave) + "\n");
        pty.Link(dir / "dev", "ttyS0");
        console.Link(dir / "dev", "ttyS1");
    }
    ~Rig() {
        if (lines)
            munmap(lines, sizeof(ModemLines));
    }
    Env env() const {
        const char* asan = getenv("ASAN_OPTIONS");
        return {{"LD_PRELOAD", MODEMLINES_LIBRARY},
                {"MODEMLINES_DEVICE", pty.slave},
                {"MODEMLINES_STATE", dir / "lines"},
                {"MODEMLINES_LOG", dir / "log"},
                // The library comes before the sanitizer's run-time, which would refuse to run.
                {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"},
                {"CABLETEST_DEVICE_DIR", dir / "dev"},
                {"CABLETEST_SYSFS_DIR", dir / "sys"}};
    }
    Options Run(std::vector<std::string> args) const { return Options(std::move(args), env()); }
    std::vector<Event> Log() const {
        std::vector<Event> events;
        std::istringstream in(ReadFile(dir / "log"));
        double first = -1;
        for (std::string line; std::getline(in, line);) {
            const double ns = atof(line.c_str());
            first = first < 0 ? ns : first;
            events.push_back({(ns - first) / 1e6, line.substr(line.find(' ') + 1)});
        }
        return events;
    }
    // The paths of the read-write opens (not O_PATH) of the device numbered rdev, or the
    // descriptors of the O_PATH opens of the path `of`.
    std::vector<std::string> DeviceOpens(const std::string& rdev,
                                         const std::string& of = "") const {
        std::vector<std::string> opens;
        for (const Event& e : Log()) {
            std::istringstream w(e.what);
            std::string word, path, flags, fd, numbers;
            w >> word >> path >> flags >> fd >> numbers;
            const bool oPath = word == "open" && (std::stoul(flags, nullptr, 16) & O_PATH) != 0;
            if (word == "open" && (of.empty() ? !oPath && numbers == rdev : oPath && path == of))
                opens.push_back(of.empty() ? path : fd);
        }
        return opens;
    }
};

// The times of the changes of one output line to on (1) or off (0).
std::vector<double> Changes(const std::vector<Event>& log, const std::string& line, int on) {
    std::vector<double> at;
    for (const Event& e : log)
        if (e.what == line + " " + std::to_string(on))
            at.push_back(e.ms);
    return at;
}

TEST(ModemLines, DtrLowAndRtsHighAfterTheOpenAndATenMsPulseOnAQuietLine) {
    Rig rig;
    ASSERT_NE(rig.lines, nullptr);
    Child c(rig.Run({"com1"}));
    ASSERT_TRUE(c.ReadUntil(kBanner)) << c.out << c.err;
    for (double end = Now() + 3; Changes(rig.Log(), "DTR", 0).size() < 4 && Now() < end;)
        usleep(10000);
    const auto log = rig.Log();
    const auto up = Changes(log, "DTR", 1), down = Changes(log, "DTR", 0);
    ASSERT_GE(up.size(), 3u) << "the open's DTR and two pulses";
    ASSERT_GE(down.size(), 3u);
    EXPECT_EQ(rig.lines->opens, 1);
    // The open raised both lines, as a UART's does; DTR went down at once, before the line's
    // settings, and RTS stayed up.
    const auto settings =
        std::find_if(log.begin(), log.end(), [](auto& e) { return e.what == "termios"; });
    ASSERT_NE(settings, log.end());
    EXPECT_LE(down[0], settings->ms) << "DTR left high after the open";
    EXPECT_LT(down[0] - up[0], 200) << "DTR left high after the open";
    EXPECT_GT(up[1] - down[0], 100) << "the first pulse comes after the start-up pause";
    EXPECT_TRUE(Changes(log, "RTS", 0).empty());
    EXPECT_EQ(rig.lines->rts, 1);
    for (size_t i = 1; i + 1 < down.size(); ++i) {
        EXPECT_GE(down[i] - up[i], 9) << "pulse " << i;
        EXPECT_LT(down[i] - up[i], 100) << "pulse " << i;
        EXPECT_GT(up[i + 1] - down[i], 150) << "a pulse every 210 ms";
    }
}

TEST(ModemLines, TheCablePluggedAndPulledAndAllFourLinesInDebug) {
    Rig rig;
    ASSERT_NE(rig.lines, nullptr);
    Child c(rig.Run({"com1"}));
    ASSERT_TRUE(c.ReadUntil(kBanner));
    rig.lines->dsrFollowsDtr = 1;
    EXPECT_TRUE(c.ReadUntil(kConnected, 3000)) << c.out;
    rig.lines->dsrFollowsDtr = 0;
    EXPECT_TRUE(c.ReadUntil(kDisconnected, 3000)) << c.out;
    EXPECT_EQ(Count(c.out, "Cable "), 2u) << c.out;

    Rig second;
    second.lines->dsrFollowsDtr = 1;
    second.lines->cts = second.lines->dcd = 1;
    Child debug(second.Run({"com1", "debug"}));
    EXPECT_TRUE(debug.ReadUntil("DSR -> on, CTS -> on, RING -> off, RLSD -> on\n", 3000));
    second.lines->ri = 1;  // the lines are shown as the cable's state changes
    second.lines->cts = second.lines->dcd = second.lines->dsrFollowsDtr = 0;
    EXPECT_TRUE(debug.ReadUntil("DSR -> off, CTS -> off, RING -> on, RLSD -> off\n", 3000))
        << debug.out;
}

TEST(ModemLines, ALineErrorDropsRtsForFiftyMs) {
    Rig rig;
    ASSERT_NE(rig.lines, nullptr);
    Child c(rig.Run({"com1"}));
    ASSERT_TRUE(c.ReadUntil(kBanner));
    usleep(300000);  // past the start-up: the one drop below is the error's
    rig.lines->frame = 1;
    rig.pty.Write("U");  // the byte the framing error came with
    for (double end = Now() + 3; Changes(rig.Log(), "RTS", 1).size() < 2 && Now() < end;)
        usleep(10000);
    const auto log = rig.Log();
    const auto down = Changes(log, "RTS", 0), up = Changes(log, "RTS", 1);
    ASSERT_EQ(down.size(), 1u);
    ASSERT_EQ(up.size(), 2u) << "the open's, then the raise after the drop";
    EXPECT_GE(up[1] - down[0], 45);
    EXPECT_LT(up[1] - down[0], 250);
    EXPECT_EQ(rig.lines->rts, 1);
}

TEST(DeviceOpens, TheListingAndATabOpenNoDevice) {
    Rig rig;
    ASSERT_NE(rig.lines, nullptr);
    Child list(rig.Run({"--list"}));
    EXPECT_TRUE(list.Wait().Exited(0));
    EXPECT_EQ(list.out, "ttyS0 (com1)\nttyS1 (com2)  console\n");
    // The completion as bash runs it at a Tab on the port word, the program beneath the library.
    Options tab({"-c",
                 "source " + std::string(CABLETEST_COMPLETION) +
                     " && COMP_WORDS=(\"$0\" '') COMP_CWORD=1 && _cabletest \"$0\" '' \"$0\" "
                     "&& echo \"${COMPREPLY[*]}\"",
                 ProgramPath()},
                rig.env());
    tab.program = "/bin/bash";
    Child bash(tab);
    EXPECT_TRUE(bash.Wait().Exited(0)) << bash.err;
    EXPECT_NE(bash.out.find("ttyS0"), std::string::npos) << bash.out;
    EXPECT_FALSE(rig.DeviceOpens("", rig.dir / "dev/ttyS0").empty()) << "the library ran";
    EXPECT_EQ(rig.DeviceOpens(DeviceNumbers(rig.pty.slave)), std::vector<std::string>());
    EXPECT_EQ(rig.DeviceOpens(DeviceNumbers(rig.console.slave)), std::vector<std::string>());
    EXPECT_EQ(rig.lines->opens, 0);
}

// A link under the port's name pointed at the console right after the program looked at it:
// the open goes through the descriptor that was checked, so the console is never opened; and a
// link to the console, or to a virtual console that sysfs names, is refused unopened.
TEST(DeviceOpens, TheCheckedDescriptorIsWhatOpensAndAConsoleIsNeverOpened) {
    Rig rig;
    ASSERT_NE(rig.lines, nullptr);
    const std::string link = rig.dir / "dev/ttyS0";
    Env env = rig.env();
    env.insert(env.begin(), {"MODEMLINES_FLIP", link + "|" + rig.console.slave});
    Child flipped(Options({"com1", "debug"}, env));
    EXPECT_TRUE(flipped.ReadUntil("Handle = ")) << flipped.out << flipped.err;
    EXPECT_EQ(rig.DeviceOpens(DeviceNumbers(rig.console.slave)), std::vector<std::string>());
    const auto fd = rig.DeviceOpens("", link);
    EXPECT_EQ(rig.DeviceOpens(DeviceNumbers(rig.pty.slave)),
              std::vector<std::string>{"/proc/self/fd/" + (fd.empty() ? "none" : fd[0])});

    Pty vt;
    mkdir((rig.dir / "sys/class/tty/tty5").c_str(), 0755);
    WriteFile(rig.dir / "sys/class/tty/tty5/dev", DeviceNumbers(vt.slave) + "\n");
    vt.Link(rig.dir / "dev", "tty5");
    for (const std::string name : {"com2", "tty5"}) {
        Child refused(rig.Run({name}));
        EXPECT_TRUE(refused.Wait().Exited(1)) << name;
        EXPECT_EQ(
            refused.err,
            name + ": the system console; the program does not open it, choose another port\n");
    }
    EXPECT_EQ(rig.DeviceOpens(DeviceNumbers(rig.console.slave)), std::vector<std::string>());
    EXPECT_EQ(rig.DeviceOpens(DeviceNumbers(vt.slave)), std::vector<std::string>());
}

}  // namespace
