// The tty back end's line settings between DCB and termios (see
// tty_settings.h for the subset). No I/O here.
#include "platform/posix/tty_settings.h"

#include <sys/ioctl.h>

namespace posixlayer {
namespace {

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
    // 9600 is the one rate the subset sets, and all the system reads back.
    if (cfgetospeed(&t) == B9600) {
        dcb->BaudRate = 9600;
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
