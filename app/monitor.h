// The monitoring loop, the program's working life after start-up, and the
// rules it applies, kept as pure functions so that they can be checked on
// their own.
#ifndef CABLETEST_APP_MONITOR_H
#define CABLETEST_APP_MONITOR_H

#include "platform/win32.h"

// Bytes closer than this to the burst's last byte carry the burst on.
#define PASS_BURST_GAP_MS 100u
// A byte more than this after the burst's last byte begins a new pass.
// Bytes in between are echoes of the same pass and change nothing.
#define PASS_NEW_AFTER_MS 750u

// The pass rule for a byte received at tick `now`. Returns TRUE when the
// byte begins a new carriage pass. Moves *lastPassTick to `now` when the
// byte begins or extends a burst. The difference is taken in unsigned 32-bit
// arithmetic, so the rule holds across the tick counter's wrap.
inline BOOL PassStep(DWORD now, DWORD* lastPassTick) {
    DWORD delta = (DWORD)(now - *lastPassTick);
    if (delta < PASS_BURST_GAP_MS) {
        *lastPassTick = now;
        return FALSE;
    }
    if (delta > PASS_NEW_AFTER_MS) {
        *lastPassTick = now;
        return TRUE;
    }
    return FALSE;
}

// The cable rule for one DSR sample: the DSR bit of `modemStatus` compared
// with the last reported state. Returns TRUE, with *cableState moved to the
// new state, when the change is to be reported.
inline BOOL CableStep(DWORD modemStatus, DWORD* cableState) {
    DWORD dsr = modemStatus & MS_DSR_ON;
    if (dsr == *cableState) {
        return FALSE;
    }
    *cableState = dsr;
    return TRUE;
}

// "on" or "off" for one modem-line bit of a status word.
inline const char* LineStateText(DWORD modemStatus, DWORD bit) {
    return (modemStatus & bit) != 0 ? "on" : "off";
}

// A lost port is tried again this often.
#define PORT_RETRY_MS 500u

// Drains the line, then reports carriage passes and changes of cable
// presence for ever. A port that is lost is waited for under `portName`, the
// name the operator gave, and monitoring goes on when it is back.
// `lastPassTick` and `cableState` are start-up's and start at 0; they carry
// over a loss.
[[noreturn]] void MonitorLoop(const char* portName, BOOL debugMode, DWORD* lastPassTick,
                              DWORD* cableState);

#endif  // CABLETEST_APP_MONITOR_H
