// The monitoring loop: a carriage passing the magnetic switch shows up as a
// burst of bytes on the line, and a quiet line is the moment to sample the
// cable, whose switch loops DTR back to DSR.
#include "app/monitor.h"

#include "common/output.h"
#include "serial/line.h"

void MonitorLoop(BOOL debugMode, DWORD* lastPassTick, DWORD* cableState) {
    // Not read before the first successful sample.
    DWORD modemStatus = 0;

    // Whatever was on the line before the program looked is nobody's pass.
    while (ReadCommByte(&g_rxByte, 50) != 0) {
    }

    for (;;) {
        if (ReadCommByte(&g_rxByte, 200) != 0) {
            DWORD now = GetTickCount();
            if (debugMode) {
                Print("%d %d: received char %02X\n", (int)now, (int)*lastPassTick,
                      (unsigned)g_rxByte);
            }
            if (PassStep(now, lastPassTick)) {
                Print("-->Carriage Pass\n");
            }
            continue;
        }

        // 200 ms without a byte: DSR is only meaningful while DTR is up.
        EscapeCommFunction(g_port, SETDTR);
        Sleep(10);
        BOOL sampled = GetCommModemStatus(g_port, &modemStatus);
        EscapeCommFunction(g_port, CLRDTR);
        // A line without modem status (a pty, a device that is gone) tells
        // nothing about the cable, so nothing is reported.
        if (!sampled) {
            continue;
        }
        if (!CableStep(modemStatus, cableState)) {
            continue;
        }
        if (debugMode) {
            Print("DSR -> %s, CTS -> %s, RING -> %s, RLSD -> %s\n",
                  LineStateText(modemStatus, MS_DSR_ON), LineStateText(modemStatus, MS_CTS_ON),
                  LineStateText(modemStatus, MS_RING_ON), LineStateText(modemStatus, MS_RLSD_ON));
        } else {
            Print("Cable %s\n", *cableState != 0 ? "connected" : "disconnected");
        }
    }
}
