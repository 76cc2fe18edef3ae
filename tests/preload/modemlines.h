/* The modem lines that tests/preload/modemlines.c gives a pty, as the test and
   the library share them: a file of this one record, mapped by both. The
   program under test drives DTR and RTS; the test sets the inputs. */
#ifndef CABLETEST_TESTS_PRELOAD_MODEMLINES_H
#define CABLETEST_TESTS_PRELOAD_MODEMLINES_H

#include <stdint.h>

struct ModemLines {
    int32_t dtr, rts;                    /* outputs, as the program last set them */
    int32_t dsr, cts, ri, dcd;           /* inputs, as the test sets them */
    int32_t dsrFollowsDtr;               /* the cable plugged in: DSR is DTR looped back */
    int32_t frame, overrun, parity, brk; /* the driver's error counters */
    int32_t opens;                       /* read-write opens of the device so far */
};

#endif
