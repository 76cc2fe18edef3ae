// A pty as the serial line through the Win32 operations of the POSIX provider, in real time: what
// a name opens and what it refuses, the settings as the device gets them, the end of a pending
// comm-event wait, a line that hangs up, and the console lookup over a made-up sysfs tree.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>

#include "harness.h"
#include "platform/posix/device_check.h"
#include "platform/posix/portname.h"
#include "platform/posix/tty_settings.h"
#include "platform/win32.h"

namespace {

HANDLE OpenPort(const std::string& name) {
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

DWORD OpenError(const std::string& name) {  // 0: it opened (and is closed again)
    HANDLE h = OpenPort(name);
    return h == INVALID_HANDLE_VALUE ? GetLastError() : (CloseHandle(h), 0);
}

// The line the program sets up: 9600 8N1, binary, DTR off and RTS on, without flow control.
DCB LineDcb() {
    DCB d{};
    d.DCBlength = sizeof d;
    d.BaudRate = 9600;
    d.fBinary = 1;
    d.fDtrControl = DTR_CONTROL_DISABLE;
    d.fRtsControl = RTS_CONTROL_ENABLE;
    d.ByteSize = 8;
    d.Parity = NOPARITY;
    d.StopBits = ONESTOPBIT;
    return d;
}

// Every record but the program's is refused; the speed first among others, so that a provider
// that applied part of a record before refusing it would leave the device changed.
// clang-format off
const struct { const char* what; void (*change)(DCB*); } kRefused[] = {
    {"19200", [](DCB* d) { d->BaudRate = 19200; }},
    {"14400", [](DCB* d) { d->BaudRate = 14400; }},
    {"115200 and CTS flow", [](DCB* d) { d->BaudRate = 115200, d->fOutxCtsFlow = 1; }},
    {"7 bits", [](DCB* d) { d->ByteSize = 7; }},
    {"9 bits", [](DCB* d) { d->ByteSize = 9; }},
    {"odd parity", [](DCB* d) { d->Parity = ODDPARITY; }},
    {"even parity", [](DCB* d) { d->Parity = EVENPARITY; }},
    {"two stop bits", [](DCB* d) { d->StopBits = TWOSTOPBITS; }},
    {"parity check", [](DCB* d) { d->fParity = 1; }},
    {"not binary", [](DCB* d) { d->fBinary = 0; }},
    {"CTS flow", [](DCB* d) { d->fOutxCtsFlow = 1; }},
    {"XOFF", [](DCB* d) { d->fOutX = 1; }},
    {"XON", [](DCB* d) { d->fInX = 1; }},
    {"RTS hand-shake", [](DCB* d) { d->fRtsControl = RTS_CONTROL_HANDSHAKE; }},
    {"RTS toggle", [](DCB* d) { d->fRtsControl = RTS_CONTROL_TOGGLE; }},
    {"DTR hand-shake", [](DCB* d) { d->fDtrControl = DTR_CONTROL_HANDSHAKE; }}};
// clang-format on

struct Tty : ::testing::Test {
    void SetUp() override {
        ASSERT_TRUE(pty->Link(dir.path, "ttyS0") &&
                    !setenv("CABLETEST_DEVICE_DIR", dir.path.c_str(), 1));
    }
    void Open() {
        ASSERT_NE(port = OpenPort("com1"), INVALID_HANDLE_VALUE) << GetLastError();
        ASSERT_TRUE(SetState([](DCB*) {}) && SetCommMask(port, EV_RXCHAR));
    }
    template <typename Change>
    bool SetState(Change change) {  // the program's settings, changed
        DCB d = LineDcb();
        change(&d);
        return SetCommState(port, &d);
    }
    std::string Device() {  // speed and flags, as the device has them
        termios t = pty->Mode();
        return std::to_string(cfgetospeed(&t)) + " " + std::to_string(t.c_cflag) + " " +
               std::to_string(t.c_iflag) + " " + std::to_string(t.c_lflag);
    }
    harness::TempDir dir;
    std::unique_ptr<harness::Pty> pty{new harness::Pty};  // reset(): the line hangs up
    HANDLE port = INVALID_HANDLE_VALUE;
};

TEST_F(Tty, NamesOpenTheirDeviceOrAreRefusedAndAHeldPortByAnyName) {
    ASSERT_TRUE(symlink("none", (dir / "dangling").c_str()) == 0 && pty->Link(dir.path, "pts/3") &&
                symlink("/dev/null", (dir / "null").c_str()) == 0 &&
                harness::WriteFile(dir / "plain", "data") &&
                mkdir((dir / "dir").c_str(), 0700) == 0);
    const std::pair<const char*, DWORD> cases[] = {{"com2", 2}, {"dangling", 2}, {"../ttyS0", 2},
                                                   {"com0", 2}, {"plain", 1},    {"dir", 1},
                                                   {"null", 1}, {"pts/3", 0},    {"COM1", 0}};
    for (const auto& c : cases)
        EXPECT_EQ(OpenError(c.first), c.second) << c.first;
    EXPECT_EQ(harness::ReadFile(dir / "plain"), "data");
    Open();
    EXPECT_EQ(OpenError("pts/3"), ERROR_ACCESS_DENIED);
    // Locked by another program as share mode 0 asks: refused, and left as it was.
    CloseHandle(port);
    const std::string before = Device();
    const int holder = open(pty->slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(OpenError("com1"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Device(), before);
    close(holder);
}

TEST_F(Tty, SettingsReachTheDeviceAsARawLineOrAreRefusedWhole) {
    Open();
    ASSERT_TRUE(SetState([](DCB* d) { d->BaudRate = 9600, d->StopBits = ONESTOPBIT; }));
    DCB got{};
    ASSERT_TRUE(GetCommState(port, &got));
    EXPECT_TRUE(got.BaudRate == 9600 && got.ByteSize == 8 && got.Parity == NOPARITY &&
                got.StopBits == ONESTOPBIT && got.fDtrControl == 0 && got.fRtsControl == 1);
    // Only the line the program sets up is provided: anything else is refused before the device is
    // touched, not approximated.
    const std::string before = Device();
    for (const auto& c : kRefused) {
        EXPECT_FALSE(SetState(c.change)) << c.what;
        EXPECT_TRUE(GetLastError() == ERROR_NOT_SUPPORTED && Device() == before) << c.what;
    }
    DWORD lines = 0;  // a pty has no modem lines
    for (DWORD function : {SETRTS, CLRRTS, SETDTR, CLRDTR})
        EXPECT_FALSE(EscapeCommFunction(port, function)) << function;
    EXPECT_FALSE(GetCommModemStatus(port, &lines));
}

// A pending wait ends through what another thread does once it is under way: a byte, a new
// mask, the line hanging up. Then it is gone for good: every call fails at once.
TEST_F(Tty, APendingWaitEndsAtAByteANewMaskOrAHangUp) {
    Open();
    for (int act = 0; act < 3; ++act) {
        OVERLAPPED request{};
        request.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD mask = 0xDEAD, n = 0;
        ASSERT_FALSE(WaitCommEvent(port, &mask, &request));
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        EXPECT_FALSE(GetOverlappedResult(port, &request, &n, FALSE));
        EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
        auto acting = [](LPVOID p) -> DWORD {
            auto* t = static_cast<std::pair<Tty*, int>*>(p);
            Sleep(50);
            t->second == 0   ? (void)t->first->pty->Write("x")
            : t->second == 1 ? (void)SetCommMask(t->first->port, EV_RXCHAR)
                             : t->first->pty.reset();
            return 0;
        };
        std::pair<Tty*, int> what{this, act};
        HANDLE thread = CreateThread(nullptr, 0, acting, &what, 0, nullptr);
        const BOOL ok = GetOverlappedResult(port, &request, &n, TRUE);
        EXPECT_EQ(ok ? 0 : GetLastError(), act == 2 ? ERROR_GEN_FAILURE : 0u) << act;
        EXPECT_EQ(mask, act == 0 ? EV_RXCHAR : 0u) << act;
        EXPECT_EQ(WaitForSingleObject(request.hEvent, 0), WAIT_OBJECT_0) << act;
        char byte = 0;
        EXPECT_TRUE(act != 0 || (ReadFile(port, &byte, 1, &n, &request) && byte == 'x'));
        EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
        CloseHandle(thread);
        CloseHandle(request.hEvent);
    }
    OVERLAPPED request{};
    DWORD mask = 0, n = 0;
    COMSTAT stat;
    EXPECT_FALSE(WaitCommEvent(port, &mask, &request) || ReadFile(port, &mask, 1, &n, &request) ||
                 ClearCommError(port, nullptr, &stat));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
}

// A made-up /sys/class/tty ("<tty>/<file>=<text>") and the device numbers that carry the console,
// /dev/tty and /dev/console always among them; broken and looping entries add nothing.
TEST(ConsoleLookup, FollowsActiveFilesAndSurvivesBrokenOrLoopingEntries) {
    harness::TempDir root;
    for (const std::string f :
         {"console/active=tty0 ttyS0 ../x ttyA", "tty0/active=tty2", "tty0/dev=4:0", "tty2/dev=4:2",
          "ttyS0/dev=4:64", "ttyS1/dev=4:65", "ttyA/active=ttyB", "ttyA/dev=not a number",
          "ttyB/active=ttyA", "ttyB/dev=188:7"}) {
        mkdir((root / f.substr(0, f.find('/'))).c_str(), 0700);
        harness::WriteFile(root / f.substr(0, f.find('=')), f.substr(f.find('=') + 1) + "\n");
    }
    auto got = posixlayer::ConsoleDeviceNumbers(root.path);
    std::sort(got.begin(), got.end());
    got.erase(std::unique(got.begin(), got.end()), got.end());
    EXPECT_EQ(got, (decltype(got){{4, 0}, {4, 2}, {4, 64}, {5, 0}, {5, 1}, {188, 7}}));
    EXPECT_EQ(posixlayer::ConsoleDeviceNumbers(root / "none"), (decltype(got){{5, 0}, {5, 1}}));
}

}  // namespace

// The line settings as pure functions: the one record the back end accepts becomes a raw
// 9600 8N1 line without flow control, and a device that did not take it is told apart.

namespace {

using namespace posixlayer;

// A terminal as a previous user may leave it: cooked, 7E2 at 38400 with
// hardware and software flow control.
termios CookedLine() {
    termios t{};
    t.c_iflag = ICRNL | IXON | IXOFF | INPCK | ISTRIP;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    t.c_cflag = CS7 | PARENB | CSTOPB | CRTSCTS | HUPCL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 5;
    cfsetispeed(&t, B38400);
    cfsetospeed(&t, B38400);
    return t;
}

TEST(TtySettings, TheProgramsRecordIsARaw9600LineAndReadsBack) {
    const termios cooked = CookedLine();
    termios raw{};
    DWORD error = 0;
    ASSERT_TRUE(TermiosFromDcb(LineDcb(), cooked, &raw, &error));
    EXPECT_EQ(cfgetospeed(&raw), speed_t{B9600});
    EXPECT_EQ(cfgetispeed(&raw), speed_t{B9600});
    EXPECT_EQ(raw.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
              tcflag_t{CS8 | CREAD | CLOCAL});
    EXPECT_EQ(raw.c_cflag & HUPCL, tcflag_t{HUPCL});  // what the line does not set is kept
    EXPECT_EQ(raw.c_iflag & (ICRNL | IXON | IXOFF | INPCK | ISTRIP), 0u);
    EXPECT_EQ(raw.c_oflag & OPOST, 0u);
    EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(raw.c_cc[VMIN], 1);
    EXPECT_EQ(raw.c_cc[VTIME], 0);

    DCB back{};
    DcbFromTermios(raw, &back);
    EXPECT_EQ(back.BaudRate, 9600u);
    DcbFromTermios(cooked, &back);
    EXPECT_EQ(back.BaudRate, 9600u) << "another rate leaves the record's as it was";
    EXPECT_EQ(back.ByteSize, 7);
    EXPECT_EQ(back.Parity, EVENPARITY);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);

    int set = 0, clear = 0;
    ModemLinesFromDcb(LineDcb(), &set, &clear);
    EXPECT_EQ(set, TIOCM_RTS);
    EXPECT_EQ(clear, TIOCM_DTR);
}

TEST(TtySettings, ADeviceThatKeptItsOwnFramingOrRateDidNotTakeTheLine) {
    termios asked{};
    DWORD error = 0;
    ASSERT_TRUE(TermiosFromDcb(LineDcb(), CookedLine(), &asked, &error));
    EXPECT_TRUE(TermiosTaken(asked, asked));
    termios kept = asked;
    kept.c_cflag = (kept.c_cflag & ~CSIZE) | CS7;
    EXPECT_FALSE(TermiosTaken(asked, kept));
    kept = asked;
    cfsetospeed(&kept, B19200);
    EXPECT_FALSE(TermiosTaken(asked, kept));
}

}  // namespace
