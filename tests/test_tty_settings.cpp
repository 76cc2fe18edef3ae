// The tty back end's line settings as pure functions: the one record it
// accepts becomes a raw 9600 8N1 line without flow control, every other
// record is refused before the device is touched, and what the device runs
// at reads back into the record.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include "platform/posix/tty_settings.h"

namespace {

using namespace posixlayer;

// The record the program's OpenCommPort sets.
DCB ProgramDcb() {
    DCB d{};
    d.DCBlength = sizeof d;
    d.BaudRate = 9600;
    d.fBinary = 1;
    d.fDtrControl = DTR_CONTROL_DISABLE;
    d.fRtsControl = RTS_CONTROL_ENABLE;
    d.XonLim = 2048;
    d.XoffLim = 512;
    d.ByteSize = 8;
    d.Parity = NOPARITY;
    d.StopBits = ONESTOPBIT;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    d.ErrorChar = '\xFF';
    d.EofChar = '\xFE';
    d.EvtChar = '\xFD';
    return d;
}

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
    ASSERT_TRUE(TermiosFromDcb(ProgramDcb(), cooked, &raw, &error));
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
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.Parity, NOPARITY);
    EXPECT_EQ(back.StopBits, ONESTOPBIT);
    DcbFromTermios(cooked, &back);
    EXPECT_EQ(back.BaudRate, 38400u);
    EXPECT_EQ(back.ByteSize, 7);
    EXPECT_EQ(back.Parity, EVENPARITY);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);

    int set = 0, clear = 0;
    ModemLinesFromDcb(ProgramDcb(), &set, &clear);
    EXPECT_EQ(set, TIOCM_RTS);
    EXPECT_EQ(clear, TIOCM_DTR);
}

TEST(TtySettings, EveryOtherRecordIsRefusedAsNotSupported) {
    // clang-format off
    const struct { const char* what; void (*change)(DCB*); } cases[] = {
        {"19200", [](DCB* d) { d->BaudRate = 19200; }},
        {"7 bits", [](DCB* d) { d->ByteSize = 7; }},
        {"odd parity", [](DCB* d) { d->Parity = ODDPARITY; }},
        {"two stop bits", [](DCB* d) { d->StopBits = TWOSTOPBITS; }},
        {"parity check", [](DCB* d) { d->fParity = 1; }},
        {"not binary", [](DCB* d) { d->fBinary = 0; }},
        {"CTS flow", [](DCB* d) { d->fOutxCtsFlow = 1; }},
        {"XOFF", [](DCB* d) { d->fOutX = 1; }},
        {"RTS hand-shake", [](DCB* d) { d->fRtsControl = RTS_CONTROL_HANDSHAKE; }},
        {"DTR hand-shake", [](DCB* d) { d->fDtrControl = DTR_CONTROL_HANDSHAKE; }}};
    // clang-format on
    const termios cooked = CookedLine();
    for (const auto& c : cases) {
        DCB dcb = ProgramDcb();
        c.change(&dcb);
        termios out = cooked;
        DWORD error = 0;
        EXPECT_FALSE(TermiosFromDcb(dcb, CookedLine(), &out, &error)) << c.what;
        EXPECT_EQ(error, ERROR_NOT_SUPPORTED) << c.what;
        EXPECT_EQ(out.c_cflag, cooked.c_cflag) << c.what;
    }
}

TEST(TtySettings, ADeviceThatKeptItsOwnFramingOrRateDidNotTakeTheLine) {
    termios asked{};
    DWORD error = 0;
    ASSERT_TRUE(TermiosFromDcb(ProgramDcb(), CookedLine(), &asked, &error));
    EXPECT_TRUE(TermiosTaken(asked, asked));
    termios kept = asked;
    kept.c_cflag = (kept.c_cflag & ~CSIZE) | CS7;
    EXPECT_FALSE(TermiosTaken(asked, kept));
    kept = asked;
    cfsetospeed(&kept, B19200);
    EXPECT_FALSE(TermiosTaken(asked, kept));
}

}  // namespace
