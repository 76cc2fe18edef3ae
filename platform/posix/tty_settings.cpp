// The tty back end's line settings between DCB and termios (see
// tty_settings.h for the subset). No I/O here.
#include "platform/posix/tty_settings.h"

#include <sys/ioctl.h>

namespace posixlayer {
namespace {

struct BaudEntry {
    DWORD rate;
    speed_t speed;
};

// The rates termios can name, for reporting what a device runs at; the
// subset sets 9600 only.
const BaudEntry kBauds[] = {
    {50, B50},           {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},         {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},     {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool RateForSpeed(speed_t speed, DWORD* rate) {
    for (const BaudEntry& e : kBauds) {
        if (e.speed == speed) {
            *rate = e.rate;
            return true;
        }
    }
    return false;
}

// The framing bits of c_cflag: byte size, parity and stop bits.
tcflag_t FramingBits() {
    tcflag_t framing = CSIZE | PARENB | PARODD | CSTOPB;
#ifdef CMSPAR
    framing |= CMSPAR;
#endif
    return framing;
}

BYTE ByteSizeOf(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5:
            return 5;
        case CS6:
            return 6;
        case CS7:
            return 7;
        default:
            return 8;
    }
}

BYTE ParityOf(tcflag_t cflag) {
    if (!(cflag & PARENB)) {
        return NOPARITY;
    }
#ifdef CMSPAR
    if (cflag & CMSPAR) {
        return (cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    }
#endif
    return (cflag & PARODD) ? ODDPARITY : EVENPARITY;
}

bool LineControlInSubset(DWORD control) {
    // DTR_CONTROL_ and RTS_CONTROL_ share these two values.
    return control == DTR_CONTROL_DISABLE || control == DTR_CONTROL_ENABLE;
}

}  // namespace

bool DcbInTtySubset(const DCB& dcb) {
    const bool line = dcb.BaudRate == 9600 && dcb.ByteSize == 8 && dcb.Parity == NOPARITY &&
                      dcb.StopBits == ONESTOPBIT && dcb.fBinary && !dcb.fParity;
    const bool noFlowControl =
        !dcb.fOutxCtsFlow && !dcb.fOutxDsrFlow && !dcb.fDsrSensitivity && !dcb.fOutX && !dcb.fInX;
    const bool noReplacement = !dcb.fErrorChar && !dcb.fNull && !dcb.fAbortOnError;
    return line && noFlowControl && noReplacement && LineControlInSubset(dcb.fDtrControl) &&
           LineControlInSubset(dcb.fRtsControl);
}

bool TermiosFromDcb(const DCB& dcb, const termios& current, termios* out, DWORD* error) {
    if (!DcbInTtySubset(dcb)) {
        *error = ERROR_NOT_SUPPORTED;
        return false;
    }
    termios t = current;
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                   IXANY | INPCK | IGNPAR);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(FramingBits() | CRTSCTS);
    // CLOCAL: reception does not depend on the modem status lines.
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    // One byte wakes a read; with the descriptor non-blocking an empty queue
    // then gives EAGAIN, so that a read of 0 bytes can only mean a hang-up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    *out = t;
    return true;
}

bool TermiosTaken(const termios& asked, const termios& taken) {
    const tcflag_t framing = FramingBits();
    return (taken.c_cflag & framing) == (asked.c_cflag & framing) &&
           cfgetospeed(&taken) == cfgetospeed(&asked) && cfgetispeed(&taken) == cfgetispeed(&asked);
}

void DcbFromTermios(const termios& t, DCB* dcb) {
    DWORD rate = 0;
    if (RateForSpeed(cfgetospeed(&t), &rate)) {
        dcb->BaudRate = rate;
    }
    dcb->ByteSize = ByteSizeOf(t.c_cflag);
    dcb->Parity = ParityOf(t.c_cflag);
    dcb->StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
}

void ModemLinesFromDcb(const DCB& dcb, int* set, int* clear) {
    *set = 0;
    *clear = 0;
    (dcb.fDtrControl == DTR_CONTROL_ENABLE ? *set : *clear) |= TIOCM_DTR;
    (dcb.fRtsControl == RTS_CONTROL_ENABLE ? *set : *clear) |= TIOCM_RTS;
}

}  // namespace posixlayer
