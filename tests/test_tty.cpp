// A pty as the serial line through the Win32 operations. The port is com1, a
// link in a temporary CABLETEST_DEVICE_DIR to the pty's slave.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "harness.h"
#include "platform/win32.h"

namespace {

namespace ct = cabletest_test;
using Clock = std::chrono::steady_clock;

HANDLE OpenPort(const char* name) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

// The last error of an open; 0 when it opened (the port is closed again).
DWORD OpenError(const char* name) {
    SetLastError(0);
    HANDLE h = OpenPort(name);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError();
    CloseHandle(h);
    return 0;
}

// The line settings the program itself asks for.
DCB ProgramDcb() {
    DCB d{};  // no flow control of any kind
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

// Rate, byte size, parity, stop bits and the line controls, as read back.
std::string Framing(HANDLE port) {
    DCB d{};
    d.DCBlength = sizeof d;
    GetCommState(port, &d);
    return std::to_string(d.BaudRate) + " " + std::to_string(d.ByteSize) +
           std::to_string(d.Parity) + std::to_string(d.StopBits) + " DTR " +
           std::to_string(d.fDtrControl) + " RTS " + std::to_string(d.fRtsControl);
}

// Bytes written to the master reach the slave's queue a moment later.
DWORD WaitForQueued(HANDLE port, DWORD want) {
    COMSTAT status{};
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (ClearCommError(port, nullptr, &status) && status.cbInQue < want &&
           Clock::now() < deadline)
        Sleep(1);
    return status.cbInQue;
}

class TtyPort : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty_->ok());
        ASSERT_EQ(setenv("CABLETEST_DEVICE_DIR", dir_.path().c_str(), 1), 0);
        ASSERT_NE(ct::LinkDevice(dir_.path(), "ttyS0", pty_->slave_path()), "");
    }
    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE)
            CloseHandle(port_);
    }
    void OpenConfigured() {
        port_ = OpenPort("com1");
        ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
        DCB dcb = ProgramDcb();
        ASSERT_TRUE(SetCommState(port_, &dcb)) << GetLastError();
        ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    }
    std::string Device() {
        termios t{};
        pty_->GetAttr(&t);
        return std::to_string(cfgetospeed(&t)) + " " + std::to_string(t.c_cflag) + " " +
               std::to_string(t.c_iflag);
    }
    std::string Read(DWORD size, BOOL* ok) {
        char got[16] = {};
        DWORD n = 0;
        OVERLAPPED request{};
        *ok = ReadFile(port_, got, size, &n, &request);
        return std::string(got, n);
    }

    ct::TempDir dir_;
    std::unique_ptr<ct::Pty> pty_{new ct::Pty};  // reset() hangs the line up
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

// OpenError("com1") in a child process; the alarm ends a child that hangs.
int OpenInChild() {
    pid_t pid = fork();
    if (pid == 0) {
        alarm(10);
        _exit(static_cast<int>(OpenError("com1") & 0x7f));
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(TtyPort, OpenErrorsByNameAndExclusiveUse) {
    ASSERT_NE(ct::LinkDevice(dir_.path(), "dangling", dir_.File("nothing")), "");
    ASSERT_NE(ct::LinkDevice(dir_.path(), "pts/3", pty_->slave_path()), "");
    ASSERT_NE(ct::LinkDevice(dir_.path(), "null", "/dev/null"), "");
    ASSERT_TRUE(dir_.WriteFile("plain", "data"));
    ASSERT_EQ(mkdir(dir_.File("folder").c_str(), 0700), 0);
    const DWORD kMissing = ERROR_FILE_NOT_FOUND, kNoTty = ERROR_INVALID_FUNCTION;
    // clang-format off
    const std::pair<const char*, DWORD> cases[] = {  // 0: opens
        {"com2", kMissing}, {"ttyUSB0", kMissing}, {"dangling", kMissing}, {"../ttyS0", kMissing},
        {"com0", kMissing}, {"plain", kNoTty}, {"folder", kNoTty}, {"null", kNoTty},
        {"pts/3", 0}, {"COM1", 0}};
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(OpenError(c.first), c.second) << c.first;
    EXPECT_EQ(dir_.ReadFile("plain"), "data");
    // Held: a second opener is denied, here or in another process, by any name.
    port_ = OpenPort("com1");
    ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(OpenError("com1"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenError("pts/3"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenInChild(), static_cast<int>(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(OpenInChild(), 0);
}

TEST_F(TtyPort, SettingsReachTheDeviceAsARawLineOrAreRefused) {
    OpenConfigured();  // the program's own settings
    termios t{};
    ASSERT_TRUE(pty_->GetAttr(&t));
    EXPECT_EQ(cfgetospeed(&t), speed_t{B9600});
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
              tcflag_t{CS8 | CREAD | CLOCAL});
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK), 0u);
    EXPECT_EQ((t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) | (t.c_oflag & OPOST), 0u);
    EXPECT_EQ(Framing(port_), "9600 800 DTR 0 RTS 1");
    // Bytes pass unchanged: no CR/LF translation, no signal characters.
    ASSERT_TRUE(pty_->Write(std::string("\r\n\x03\x11", 4)));
    ASSERT_EQ(WaitForQueued(port_, 4), 4u);
    BOOL ok = FALSE;
    EXPECT_EQ(Read(8, &ok), std::string("\r\n\x03\x11", 4));

    // Beyond the subset: refused, nothing changed.
    // clang-format off
    const struct { const char* what; void (*change)(DCB*); } cases[] = {
        {"CTS flow", [](DCB* d) { d->fOutxCtsFlow = 1; }},
        {"XON", [](DCB* d) { d->fInX = 1; }},
        {"RTS toggle", [](DCB* d) { d->fRtsControl = RTS_CONTROL_TOGGLE; }},
        {"DTR hand-shake", [](DCB* d) { d->fDtrControl = DTR_CONTROL_HANDSHAKE; }},
        {"7 bits", [](DCB* d) { d->ByteSize = 7; }},
        {"9 bits", [](DCB* d) { d->ByteSize = 9; }},
        {"even", [](DCB* d) { d->Parity = EVENPARITY; }},
        {"two stop bits", [](DCB* d) { d->StopBits = TWOSTOPBITS; }},
        {"19200", [](DCB* d) { d->BaudRate = 19200; }}};
    // clang-format on
    const std::string before = Device();
    for (const auto& c : cases) {
        DCB dcb = ProgramDcb();
        c.change(&dcb);
        SetLastError(0);
        EXPECT_FALSE(SetCommState(port_, &dcb)) << c.what;
        EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED) << c.what;
        EXPECT_EQ(Device(), before) << c.what;
    }
    // A pty has no modem lines: those calls fail, and the line still works.
    for (DWORD function : {SETRTS, CLRRTS, SETDTR, CLRDTR})
        EXPECT_FALSE(EscapeCommFunction(port_, function)) << function;
    DWORD lines = 0;
    EXPECT_FALSE(GetCommModemStatus(port_, &lines));
    EXPECT_EQ(Framing(port_), "9600 800 DTR 0 RTS 1");
}

TEST_F(TtyPort, ReadsAndTheQueueCountTakeWhatArrivedAndNeverWait) {
    OpenConfigured();
    const auto start = Clock::now();
    BOOL ok = FALSE;
    EXPECT_EQ(Read(1, &ok), "");
    EXPECT_TRUE(ok) << GetLastError();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    COMSTAT status{};
    DWORD errors = 99;
    ASSERT_TRUE(pty_->Write("abc"));
    EXPECT_EQ(WaitForQueued(port_, 3), 3u);
    ASSERT_TRUE(ClearCommError(port_, &errors, &status));
    EXPECT_EQ(errors, 0u);  // a pty keeps no error counters

    OVERLAPPED request{};
    request.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD mask = 0;
    EXPECT_TRUE(WaitCommEvent(port_, &mask, &request)) << GetLastError();
    EXPECT_EQ(mask, EV_RXCHAR);
    EXPECT_EQ(WaitForSingleObject(request.hEvent, 0), WAIT_OBJECT_0);
    CloseHandle(request.hEvent);
    EXPECT_EQ(Read(1, &ok), "a");
    ASSERT_TRUE(ClearCommError(port_, nullptr, &status));
    EXPECT_EQ(status.cbInQue, 2u);
    EXPECT_EQ(Read(8, &ok), "bc");
    // A hung-up terminal reads as 0 bytes too: no empty queue, a failure.
    pty_.reset();
    EXPECT_EQ(Read(1, &ok), "");
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
}

// How a pending comm-event wait ends, acted out by another thread once the
// wait is under way; the action, not the delay, must end it.
enum Act { kWriteByte, kSetMask, kHangUp };

class TtyWait : public TtyPort, public ::testing::WithParamInterface<Act> {
  protected:
    static DWORD WINAPI Acting(LPVOID p) {
        TtyWait* t = static_cast<TtyWait*>(p);
        Sleep(50);
        // clang-format off
        switch (t->GetParam()) {
            case kWriteByte: t->pty_->Write("x"); break;
            case kSetMask: SetCommMask(t->port_, EV_RXCHAR); break;
            case kHangUp: t->pty_.reset(); break;
        }
        // clang-format on
        return 0;
    }
    void StartPendingWait() {
        mask_ = 0xdead;
        ASSERT_FALSE(WaitCommEvent(port_, &mask_, &request_));
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        EXPECT_FALSE(GetOverlappedResult(port_, &request_, &n_, FALSE));
        EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
        EXPECT_EQ(WaitForSingleObject(request_.hEvent, 0), WAIT_TIMEOUT);
    }
    OVERLAPPED request_{};
    DWORD mask_ = 0, n_ = 0;
};

TEST_P(TtyWait, APendingWaitEnds) {
    OpenConfigured();
    request_.hEvent = CreateEventA(nullptr, TRUE, FALSE, "CommWatch");
    StartPendingWait();
    HANDLE thread = CreateThread(nullptr, 0, Acting, this, 0, nullptr);
    BOOL ok = GetOverlappedResult(port_, &request_, &n_, TRUE);
    const DWORD error = GetLastError();
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(WaitForSingleObject(request_.hEvent, 0), WAIT_OBJECT_0);
    ResetEvent(request_.hEvent);
    // clang-format off
    const struct { BOOL ok; DWORD mask, error; } want[] = {
        {TRUE, EV_RXCHAR, 0}, {TRUE, 0, 0}, {FALSE, 0, ERROR_GEN_FAILURE}};
    // clang-format on
    EXPECT_EQ(ok, want[GetParam()].ok);
    EXPECT_EQ(ok ? 0 : error, want[GetParam()].error);
    EXPECT_EQ(mask_, want[GetParam()].mask);
    COMSTAT status{};
    if (GetParam() == kWriteByte) {
        EXPECT_EQ(Read(1, &ok), "x");
    } else if (GetParam() == kSetMask) {  // the port carries on: the next wait sees the next byte
        StartPendingWait();
        ASSERT_TRUE(pty_->Write("z"));
        EXPECT_TRUE(GetOverlappedResult(port_, &request_, &n_, TRUE)) << GetLastError();
        EXPECT_EQ(mask_, EV_RXCHAR);
    } else {  // gone for good: each call fails at once, none waits
        EXPECT_FALSE(WaitCommEvent(port_, &mask_, &request_));
        EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
        EXPECT_EQ(Read(1, &ok), "");
        EXPECT_FALSE(ok || ClearCommError(port_, nullptr, &status));
    }
    CloseHandle(request_.hEvent);
}

INSTANTIATE_TEST_SUITE_P(Tty, TtyWait, ::testing::Values(kWriteByte, kSetMask, kHangUp));

}  // namespace
