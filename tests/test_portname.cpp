// The port-name mapping of CreateFileA and the console lookup over a made-up sysfs tree.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"
#include "platform/posix/portname.h"

namespace {

using posixlayer::MapPortName;
using posixlayer::PortKind;

// Each name, then its file in the folder /d, "sim" for the simulated line, or
// "" when refused. comN subtracts on the digits, so a huge N cannot overflow;
// com0 and com01 are no port numbers; names that could leave the folder or
// smuggle in a control byte are refused.
TEST(PortName, MapsNamesToFilesInTheFolder) {
    // clang-format off
    const std::string zeros(40, '0'), nines(40, '9');
    const std::string cases[] = {
        "com1", "/d/ttyS0", "COM1", "/d/ttyS0", "cOm9", "/d/ttyS8", "com10", "/d/ttyS9",
        "com100", "/d/ttyS99", "com2000", "/d/ttyS1999", "com1" + zeros, "/d/ttyS" + nines,
        "com18446744073709551617", "/d/ttyS18446744073709551616",
        "com0", "/d/com0", "com01", "/d/com01", "com1x", "/d/com1x", "com-1", "/d/com-1",
        "sim", "sim", "SiM", "sim", "sim0", "/d/sim0", "ttyUSB0", "/d/ttyUSB0",
        "pts/3", "/d/pts/3", "a..b", "/d/a..b", "\xc3\xa9t", "/d/\xc3\xa9t",
        "", "", "/dev/ttyS0", "", "..", "", "../ttyS0", "", "pts/..", "", "a/../b", "",
        "tty\n", "", "com1\r", "", "\x1b[2J", "", "tty\x7f", "", "com1\x01", ""};
    // clang-format on
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i += 2) {
        const std::string& want = cases[i + 1];
        std::string path = "left over";
        const PortKind kind = MapPortName(cases[i].c_str(), "/d", &path);
        EXPECT_EQ(kind, want == "sim"  ? PortKind::Simulated
                        : want.empty() ? PortKind::Invalid
                                       : PortKind::Device)
            << cases[i];
        EXPECT_EQ(path, want == "sim" ? "" : want) << cases[i];
    }
    // A null name is refused; the folder defaults to /dev and may end in a slash.
    std::string path = "left over";
    EXPECT_EQ(MapPortName(nullptr, "/d", &path), PortKind::Invalid);
    EXPECT_EQ(path, "");
    for (const char* dir : {static_cast<const char*>(nullptr), "", "/dev/"}) {
        EXPECT_EQ(MapPortName("com3", dir, &path), PortKind::Device);
        EXPECT_EQ(path, "/dev/ttyS2");
    }
}

// A made-up /sys/class/tty ("<tty>/<file>=<text>" entries) and the device
// numbers that carry the console, /dev/tty and /dev/console always among them.
TEST(ConsoleLookup, FollowsActiveFilesAndSurvivesBrokenOrLoopingEntries) {
    using Numbers = std::vector<std::pair<unsigned, unsigned>>;
    const std::pair<std::vector<std::string>, Numbers> trees[] = {
        {{"console/active=tty0 ttyS0", "console/dev=5:1", "tty0/dev=4:0", "tty0/active=tty2",
          "tty2/dev=4:2", "ttyS0/dev=4:64", "ttyS1/dev=4:65"},
         {{4, 0}, {4, 2}, {4, 64}, {5, 0}, {5, 1}}},
        {{"console/active=ttyA ../x ttyMissing", "ttyA/active=ttyB", "ttyA/dev=not a number",
          "ttyB/active=ttyA", "ttyB/dev=188:7"},
         {{5, 0}, {5, 1}, {188, 7}}},
        {{}, {{5, 0}, {5, 1}}}};
    for (const auto& t : trees) {
        cabletest_test::TempDir root;
        for (const std::string& f : t.first) {
            mkdir(root.File(f.substr(0, f.find('/'))).c_str(), 0700);
            ASSERT_TRUE(root.WriteFile(f.substr(0, f.find('=')), f.substr(f.find('=') + 1) + "\n"));
        }
        Numbers got = posixlayer::ConsoleDeviceNumbers(root.path());
        std::sort(got.begin(), got.end());
        got.erase(std::unique(got.begin(), got.end()), got.end());
        EXPECT_EQ(got, t.second);
    }
}

}  // namespace
