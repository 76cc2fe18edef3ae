// The monitoring loop: a carriage passing the magnetic switch shows up as a
// burst of bytes on the line, and a quiet line is the moment to sample the
// cable, whose switch loops DTR back to DSR.
#include "app/monitor.h"

#include "common/output.h"
#include "serial/line.h"
#include "serial/record.h"

// Whatever was on the line before the program looked is nobody's pass.
static void DrainLine(void) {
    while (ReadCommByte(&g_rxByte, 50) != 0) {
    }
}

// The pass step for the byte just received into g_rxByte.
static void PassByte(BOOL debugMode, DWORD* lastPassTick) {
    DWORD now = GetTickCount();
    if (debugMode) {
        Print("%d %d: received char %02X\n", (int)now, (int)*lastPassTick, (unsigned)g_rxByte);
    }
    if (PassStep(now, lastPassTick)) {
        Print("-->Carriage Pass\n");
    }
}

// The cable step after 200 ms without a byte; `modemStatus` is the loop's
// one sample record.
static void SampleCable(BOOL debugMode, DWORD* modemStatus, DWORD* cableState) {
    // DSR is only meaningful while DTR is up.
    if (!EscapeCommFunction(g_port, SETDTR)) {
        // A port lost during an RTS pulse is met here first (after a failed
        // read); the status query notices only after the 10 ms below, and a
        // replay must have the port gone from here on.
        RecordCallFailed();
    }
    Sleep(10);
    BOOL sampled = GetCommModemStatus(g_port, modemStatus);
    EscapeCommFunction(g_port, CLRDTR);
    // A line without modem status (a pty, a device that is gone) tells
    // nothing about the cable, so nothing is reported.
    if (!sampled) {
        return;
    }
    RecordModemStatus(*modemStatus);
    if (!CableStep(*modemStatus, cableState)) {
        return;
    }
    if (debugMode) {
        Print("DSR -> %s, CTS -> %s, RING -> %s, RLSD -> %s\n",
              LineStateText(*modemStatus, MS_DSR_ON), LineStateText(*modemStatus, MS_CTS_ON),
              LineStateText(*modemStatus, MS_RING_ON), LineStateText(*modemStatus, MS_RLSD_ON));
    } else {
        Print("Cable %s\n", *cableState != 0 ? "connected" : "disconnected");
    }
}

// The device has gone: one report, then silence and no DTR pulses until the
// same name opens again, tried every PORT_RETRY_MS.
static void AwaitPortReturn(const char* name) {
    Print("Port %s lost, waiting for it to come back\n", name);
    CloseLostPort();
    do {
        Sleep(PORT_RETRY_MS);
    } while (!ReopenLostPort(name));
    RecordReplug();
    Print("Port %s back\n", name);
    DrainLine();
}

void MonitorLoop(const char* portName, BOOL debugMode, DWORD* lastPassTick, DWORD* cableState) {
    // Not read before the first successful sample.
    DWORD modemStatus = 0;
    const char* name = CommPortName(portName);

    DrainLine();
    for (;;) {
        if (g_portLost) {
            AwaitPortReturn(name);
        } else if (ReadCommByte(&g_rxByte, 200) != 0) {
            PassByte(debugMode, lastPassTick);
        } else if (!g_portLost) {
            SampleCable(debugMode, &modemStatus, cableState);
        }
    }
}
