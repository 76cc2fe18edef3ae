// The port-name mapping of CreateFileA, and the console lookup over a made-up
// sysfs tree.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "serial/posix/portname.h"

namespace {

using posixlayer::MapPortName;
using posixlayer::PortKind;

struct Mapped {
    PortKind kind;
    std::string path;
};

Mapped Map(const char* name, const char* dir = "/tmp/devs") {
    Mapped m{PortKind::Invalid, "left over"};
    m.kind = MapPortName(name, dir, &m.path);
    return m;
}

TEST(PortName, ComNumbersInAnyCaseAreSerialPortsCountedFromOne) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"com1", "/tmp/devs/ttyS0"},     {"COM1", "/tmp/devs/ttyS0"},
        {"Com2", "/tmp/devs/ttyS1"},     {"cOm9", "/tmp/devs/ttyS8"},
        {"com10", "/tmp/devs/ttyS9"},    {"com100", "/tmp/devs/ttyS99"},
        {"com101", "/tmp/devs/ttyS100"}, {"com2000", "/tmp/devs/ttyS1999"},
    };
    for (const auto& c : cases) {
        Mapped m = Map(c.first);
        EXPECT_EQ(m.kind, PortKind::Device) << c.first;
        EXPECT_EQ(m.path, c.second) << c.first;
    }
}

TEST(PortName, HugeComNumberDoesNotOverflow) {
    Mapped m = Map("com100000000000000000000000000000000000000");
    EXPECT_EQ(m.kind, PortKind::Device);
    EXPECT_EQ(m.path, "/tmp/devs/ttyS99999999999999999999999999999999999999");
    m = Map("com18446744073709551617");  // 2^64 + 1
    EXPECT_EQ(m.path, "/tmp/devs/ttyS18446744073709551616");
    m = Map("com4294967297");  // 2^32 + 1
    EXPECT_EQ(m.path, "/tmp/devs/ttyS4294967296");
}

TEST(PortName, OnlyWellFormedNumbersAreComPorts) {
    // Not serial port numbers, so plain device names in the folder.
    for (const char* name :
         {"com0", "com01", "com", "com1x", "com+1", "com-1", "com 1", "coms1", "xcom1", "com1/"}) {
        Mapped m = Map(name);
        EXPECT_EQ(m.kind, PortKind::Device) << name;
        EXPECT_EQ(m.path, std::string("/tmp/devs/") + name) << name;
    }
}

TEST(PortName, SimInAnyCaseIsTheSimulatedLine) {
    for (const char* name : {"sim", "SIM", "Sim", "sIm"}) {
        Mapped m = Map(name);
        EXPECT_EQ(m.kind, PortKind::Simulated) << name;
        EXPECT_EQ(m.path, "") << name;
    }
    EXPECT_EQ(Map("sim0").kind, PortKind::Device);
    EXPECT_EQ(Map("simulator").path, "/tmp/devs/simulator");
}

TEST(PortName, OtherNamesAreFilesInTheFolder) {
    EXPECT_EQ(Map("ttyUSB0").path, "/tmp/devs/ttyUSB0");
    EXPECT_EQ(Map("ttyACM0").path, "/tmp/devs/ttyACM0");
    EXPECT_EQ(Map("pts/3").path, "/tmp/devs/pts/3");
    EXPECT_EQ(Map("pts/3").kind, PortKind::Device);
    EXPECT_EQ(Map("a..b").path, "/tmp/devs/a..b");  // dots inside a component are a name
    EXPECT_EQ(Map("...").path, "/tmp/devs/...");
    EXPECT_EQ(Map("\xc3\xa9t\xc3\xa9").path, "/tmp/devs/\xc3\xa9t\xc3\xa9");
}

TEST(PortName, TheFolderDefaultsToDevAndTakesATrailingSlash) {
    std::string path;
    EXPECT_EQ(MapPortName("com1", nullptr, &path), PortKind::Device);
    EXPECT_EQ(path, "/dev/ttyS0");
    EXPECT_EQ(MapPortName("ttyUSB0", "", &path), PortKind::Device);
    EXPECT_EQ(path, "/dev/ttyUSB0");
    EXPECT_EQ(MapPortName("com3", "/tmp/x/", &path), PortKind::Device);
    EXPECT_EQ(path, "/tmp/x/ttyS2");
}

TEST(PortName, NamesThatCouldLeaveTheFolderOrAreNoNamesAreRefused) {
    const std::vector<std::string> refused = {
        "",
        "/dev/ttyS0",
        "/",
        "..",
        "../ttyS0",
        "pts/..",
        "pts/../../x",
        "a/../b",
        "../../etc/passwd",
        "tty\n",
        "com1\r",
        "tty\tS0",
        "\x1b[2J",
        "tty\x7f",
        std::string("com1\x01"),
    };
    for (const std::string& name : refused) {
        Mapped m = Map(name.c_str());
        EXPECT_EQ(m.kind, PortKind::Invalid) << "name: " << name;
        EXPECT_EQ(m.path, "") << "name: " << name;
    }
    std::string path = "left over";
    EXPECT_EQ(MapPortName(nullptr, "/tmp/devs", &path), PortKind::Invalid);
    EXPECT_EQ(path, "");
}

// A made-up /sys/class/tty, so that the lookup is tried without the machine's
// own consoles.
class ConsoleLookup : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/cabletest-sysfs-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
    }
    void TearDown() override {
        if (!root_.empty()) {
            std::string cmd = "rm -rf '" + root_ + "'";
            EXPECT_EQ(std::system(cmd.c_str()), 0);
        }
    }
    void Put(const std::string& name, const std::string& file, const std::string& text) {
        mkdir((root_ + "/" + name).c_str(), 0755);
        std::ofstream(root_ + "/" + name + "/" + file) << text;
    }
    bool Has(const std::vector<std::pair<unsigned, unsigned>>& v, unsigned maj, unsigned min) {
        return std::find(v.begin(), v.end(), std::make_pair(maj, min)) != v.end();
    }
    std::string root_;
};

TEST_F(ConsoleLookup, ListsTheActiveConsolesAndTheTerminalBehindTty0) {
    Put("console", "active", "tty0 ttyS0\n");
    Put("console", "dev", "5:1\n");
    Put("tty0", "dev", "4:0\n");
    Put("tty0", "active", "tty2\n");
    Put("tty2", "dev", "4:2\n");
    Put("ttyS0", "dev", "4:64\n");
    Put("ttyS1", "dev", "4:65\n");
    auto numbers = posixlayer::ConsoleDeviceNumbers(root_);
    EXPECT_TRUE(Has(numbers, 4, 64));
    EXPECT_TRUE(Has(numbers, 4, 0));
    EXPECT_TRUE(Has(numbers, 4, 2));
    EXPECT_TRUE(Has(numbers, 5, 1));
    EXPECT_TRUE(Has(numbers, 5, 0));
    EXPECT_FALSE(Has(numbers, 4, 65));
}

TEST_F(ConsoleLookup, BrokenOrLoopingEntriesAddNothingAndEnd) {
    Put("console", "active", "ttyA ../x ttyMissing\n");
    Put("ttyA", "active", "ttyB\n");
    Put("ttyA", "dev", "not a number\n");
    Put("ttyB", "active", "ttyA\n");
    Put("ttyB", "dev", "188:7\n");
    auto numbers = posixlayer::ConsoleDeviceNumbers(root_);
    EXPECT_TRUE(Has(numbers, 188, 7));
    EXPECT_EQ(numbers.size(), 3u);  // 5:0, 5:1 and ttyB
    EXPECT_EQ(posixlayer::ConsoleDeviceNumbers(root_ + "/nowhere").size(), 2u);
}

}  // namespace
