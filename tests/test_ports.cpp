// The port surface of the program: --list on a made-up machine (a sysfs tree of folders, files
// and links beside a device folder of links to ptys), port names of any form and length, and the
// line on standard error that says why an open was refused, and when.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include "harness.h"

using namespace harness;

namespace {

const std::string kById = "serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
const std::string kListHint = "; cabletest --list shows the ports\n";

// <root>/sys and <root>/dev: a USB adapter (ttyUSB0, with its stable names), UARTs ttyS0 (held by
// a copy of the program in the tests), ttyS2 and ttyS10 (no device file), a ttyS1 without a
// UART, the system console ttyACM2 and the test's own terminal as ttyACM0. Entries are
// "path=text" (a file) or "path>target" (a link); the folders on the way are made.
struct Machine {
    TempDir root;
    Pty usb, held, console, own;
    Machine() {
        chmod(root.path.c_str(), 0755);  // for the runs as another user
        const std::string usb1 = "sys/devices/usb1/1-1/", tty = "sys/class/tty/";
        Add({usb1 + "idVendor=0403",
             usb1 + "idProduct=6001",
             usb1 + "manufacturer=FTDI",
             usb1 + "product=FT232R USB UART",
             usb1 + "serial=A50285BI",
             usb1 + "1-1:1.0/driver>../../../../bus/usb-serial/drivers/ftdi_sio",
             tty + "ttyUSB0/device>../../../devices/usb1/1-1/1-1:1.0",
             "sys/devices/acm/driver>../../bus/usb/drivers/cdc_acm",
             tty + "ttyACM0/device>../../../devices/acm",
             tty + "ttyACM2/device>../../../devices/acm",
             "sys/devices/uart/driver>../../bus/platform/drivers/serial8250",
             tty + "tty1/dev=4:1",
             tty + "console/active=tty1 ttyACM2",
             tty + "ttyACM2/dev=" + DeviceNumbers(console.slave),
             "dev/" + kById + ">../../ttyUSB0",
             "dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0>../../ttyUSB0",
             "dev/ttyUSB0>" + usb.slave,
             "dev/ttyS0>" + held.slave,
             "dev/ttyACM2>" + console.slave,
             "dev/ttyACM0>" + own.slave,
             "dev/plain=text"});
        for (const std::string n : {"0=4", "1=0", "2=4", "10=4"}) {  // number=port type
            const std::string port = tty + "ttyS" + n.substr(0, n.find('='));
            Add({port + "/device>../../../devices/uart", port + "/type" + n.substr(n.find('='))});
        }
    }
    void Add(const std::vector<std::string>& entries) const {
        for (const std::string& e : entries) {
            const size_t cut = e.find_first_of("=>");
            const std::string path = root / e.substr(0, cut);
            for (size_t s = path.find('/', root.path.size() + 1); s != std::string::npos;
                 s = path.find('/', s + 1))
                mkdir(path.substr(0, s).c_str(), 0755);
            if (e[cut] == '=')
                WriteFile(path, e.substr(cut + 1) + "\n");
            else
                symlink(e.substr(cut + 1).c_str(), path.c_str());
        }
    }
    Env env() const {
        return {{"CABLETEST_SYSFS_DIR", root / "sys"}, {"CABLETEST_DEVICE_DIR", root / "dev"}};
    }
    Options Run(std::vector<std::string> args, Pty* terminal = nullptr) const {
        return Options(std::move(args), env(), terminal);
    }
};

TEST(Ports, ListAMadeUpMachine) {
    Machine m;
    Child holder(m.Run({"ttyS0", "debug"}));  // held until the end of the test
    ASSERT_TRUE(holder.ReadUntil("Handle = ")) << holder.out << holder.err;
    Child list(m.Run({"--list"}, &m.own));
    EXPECT_TRUE(list.Wait().Exited(0));
    const std::string pid = std::to_string(holder.pid());
    std::string want;
    for (const std::string line :
         {"ttyACM0  cdc_acm, console (your own terminal)", "ttyACM2  cdc_acm, console",
          "ttyS0 (com1)  serial8250, in use by cabletest (pid PID)", "ttyS2 (com3)  serial8250",
          "ttyS10 (com11)  serial8250", "ttyUSB0  ftdi_sio, usb 0403:6001",
          "  usb: 0403:6001 FTDI / FT232R USB UART / serial A50285BI", "  by-id: BY-ID",
          "  by-path: serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0"})
        want += line + "\n";
    want.replace(want.find("PID"), 3, pid);
    want.replace(want.find("BY-ID"), 5, kById);
    EXPECT_EQ(list.out, want);
    EXPECT_EQ(list.err, "");
    TempDir empty;
    Child none(Options({"-l"}, {{"CABLETEST_SYSFS_DIR", empty.path}}));
    EXPECT_TRUE(none.Wait().Exited(0));
    EXPECT_EQ(none.out, "no serial ports found\n");
}

TEST(Ports, AnyNameOpensWhole) {
    Machine m;
    const std::string longName(255, 'p');
    m.Add({"dev/ttyUSB10>" + m.usb.slave, "dev/" + longName + ">" + m.usb.slave});
    for (const std::string& name : {std::string("ttyUSB10"), kById, "/dev/" + kById, longName}) {
        Child c(m.Run({name, "debug"}));
        EXPECT_TRUE(c.ReadUntil(kBanner + "Handle = ")) << name << ": " << c.out << c.err;
    }
}

TEST(Ports, ARefusedOpenSaysWhy) {
    Machine m;
    Child holder(m.Run({"ttyS0", "debug"}));
    ASSERT_TRUE(holder.ReadUntil("Handle = "));
    const std::string pid = std::to_string(holder.pid());
    const std::string console = "; the program does not open it, choose another port\n";
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {"ttyUSB9", 2, "ttyUSB9: no such device (" + m.root / "dev/ttyUSB9)" + kListHint},
        {"/etc/ttyS0", 2, "/etc/ttyS0: no such device" + kListHint},
        {"ttyS0", 5, "ttyS0: in use by cabletest (pid " + pid + ")\n"},
        {"ttyACM2", 5, "ttyACM2: the system console" + console},
        {"/dev/ttyACM2", 5, "/dev/ttyACM2: the system console" + console},
        {"plain", 1, "plain: not a terminal but a plain file\n"},
        {"serial", 1, "serial: not a terminal but a folder\n"}};
    for (const auto& [name, code, cause] : cases) {
        Child c(m.Run({name}));
        EXPECT_TRUE(c.Wait().Exited(1)) << name;
        EXPECT_EQ(c.out, Refused(name, code));
        EXPECT_EQ(c.err, cause);
    }
    // The operator's own terminal, at whose prompt Ctrl-C ends the program.
    Child own(m.Run({"ttyACM0"}, &m.own));
    ASSERT_TRUE(own.ReadUntil(kPrompt) && m.own.WaitRaw());
    m.own.Write("\x03");
    EXPECT_TRUE(own.Wait().Exited(3));
    EXPECT_EQ(own.err, "ttyACM0: your own terminal" + console);
}

TEST(Ports, ARefusedOpenNamesTheGroupToJoin) {
    Machine m;
    struct stat st {};
    ASSERT_EQ(stat(m.usb.slave.c_str(), &st), 0);
    chmod(m.usb.slave.c_str(), geteuid() == 0 ? 0600 : 0);
    const group* g = getgrgid(st.st_gid);
    const std::string name = g ? g->gr_name : std::to_string(st.st_gid);
    Child denied(AsOther(m.Run({"ttyUSB0"})));
    EXPECT_TRUE(denied.Wait().Exited(1)) << denied.err;
    EXPECT_EQ(denied.err, st.st_gid == 0
                              ? "ttyUSB0: permission denied; the device belongs to "
                                "root: ask the administrator for access\n"
                              : "ttyUSB0: permission denied; the device belongs to group " + name +
                                    ": join it with \"sudo usermod -aG " + name +
                                    " $USER\", then log out and in again\n");
}

// Standard output and standard error on one pipe, to see which line comes first.
TEST(Ports, EveryRefusedOpenSaysWhyAfterItsOpenLine) {
    TempDir dir;
    WriteFile(dir / "script", "0 cable sideways\n");
    const std::string longName(300, 'p');
    const std::vector<std::tuple<std::string, Env, std::string>> cases = {
        {"com3",
         {{"CABLETEST_CLOCK", "virtual"}},
         "Open com3 failed 50\ncom3: a device does not open on the virtual clock; name sim, or "
         "drop CABLETEST_CLOCK to open the device\n"},
        {longName,
         {},
         "Open " + longName + " failed 206\n" + longName.substr(0, 20) +
             "...: the name is longer than the 255 characters a port name may have\n"},
        {"sim",
         {{"CABLETEST_CLOCK", "virtual"}, {"CABLETEST_SIM_SCRIPT", dir / "script"}},
         "Open sim failed 13\nsim script " + dir / "script" + ": "}};
    for (const auto& [name, env, want] : cases) {
        Options o({"-c", "exec \"$0\" \"$@\" 2>&1", ProgramPath(), name}, env);
        o.program = "/bin/sh";
        Child c(o);
        EXPECT_TRUE(c.Wait().Exited(1)) << name;
        EXPECT_EQ(c.out.substr(0, kBanner.size() + want.size()), kBanner + want);
    }
}

// A member of the device's group is not told to join it; a process that merely has the device
// open is not named as its holder (this one holds it with TIOCEXCL, and sleep has it open).
TEST(Ports, ACauseNamesNoGroupToJoinNorAHolderItDoesNotKnow) {
    if (geteuid() != 0)
        GTEST_SKIP() << "a member of a group that the device's mode keeps out needs another user";
    Machine m;
    const gid_t dialout = 20;  // Debian's; any group but root's will do
    ASSERT_EQ(chown(m.usb.slave.c_str(), 0, dialout) | chmod(m.usb.slave.c_str(), 0600), 0);
    const group* g = getgrgid(dialout);
    Child denied(AsOther(m.Run({"ttyUSB0"}), "--groups=" + std::to_string(dialout)));
    EXPECT_TRUE(denied.Wait().Exited(1)) << denied.err;
    EXPECT_EQ(denied.err, "ttyUSB0: permission denied, though you are in its group " +
                              std::string(g ? g->gr_name : std::to_string(dialout)) +
                              ": the device's mode 600 does not let the group read and write it; "
                              "ask the administrator for access\n");

    // Held with TIOCEXCL by this process, which /proc hides from the other user; open in sleep,
    // which it shows.
    chmod(m.held.slave.c_str(), 0666);
    Options o({"-c", "exec sleep 30 <\"$0\"", m.held.slave});
    o.program = "/bin/sh";
    Child sleeper(AsOther(o));
    const std::string comm = "/proc/" + std::to_string(sleeper.pid()) + "/comm";
    for (double end = Now() + 5; Now() < end && ReadFile(comm) != "sleep\n";)
        usleep(1000);
    ASSERT_EQ(ReadFile(comm), "sleep\n");
    const int fd = open(m.held.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(ioctl(fd, TIOCEXCL), 0);
    Child busy(AsOther(m.Run({"ttyS0"})));
    EXPECT_TRUE(busy.Wait().Exited(1));
    EXPECT_EQ(busy.err, "ttyS0: in use by another program\n");
    close(fd);
}

}  // namespace
