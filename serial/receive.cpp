// Taking one received byte from the line within a time limit: at once when
// the driver already holds one, otherwise through the watcher thread's
// comm-event wait. Line errors and empty reads are answered by dropping RTS
// for 50 ms, which tells the far end that something went wrong. A failed
// line-status query means the device has gone: the call ends there and the
// monitoring loop finds g_portLost set.
#include <cstring>

#include "common/output.h"
#include "common/trace.h"
#include "serial/line.h"
#include "serial/record.h"

void EscapePulse(void) {
    EscapeCommFunction(g_port, CLRRTS);
    Sleep(50);
    EscapeCommFunction(g_port, SETRTS);
}

// The one-byte read shared by the three ways into it; each way traces its
// own texts so that a trace tells them apart.
static DWORD DirectRead(BYTE* buffer, const char* readFailText, const char* readText,
                        const char* resetFailText, const char* escapeText) {
    DWORD count = 0;

    if (!ReadFile(g_port, buffer, 1, &count, &g_readRequest)) {
        DWORD error = GetLastError();
        // A read that failed outright, after the status query found the
        // port answering: the device has gone. The loop learns it at the
        // next query; the recording has it now, as a run may end before.
        if (error != ERROR_IO_PENDING) {
            RecordUnplug();
        }
        Trace(readFailText, (unsigned)error);
        return 0;
    }
    Trace(readText, (int)count);
    if (count == 1) {
        RecordByte(*buffer);
    }
    if (!ResetEvent(g_readRequest.hEvent)) {
        Trace(resetFailText, (unsigned)GetLastError());
    }
    if (count == 0) {
        Trace("%s", escapeText);
        EscapePulse();
    }
    return count;
}

// The line-error check made before each look at the queue; the texts tell
// its two places apart. FALSE when the query failed: the port is then lost,
// and the zeroed record reads as an empty queue, so a line that is gone is
// never read blindly.
static BOOL CheckLineErrors(COMSTAT* status, const char* reportText, const char* escapeText,
                            const char* failText) {
    DWORD errors = 0;
    memset(status, 0, sizeof *status);
    if (ClearCommError(g_port, &errors, status)) {
        DWORD error = GetLastError();
        // Recorded at the query, before any pulse: a replay then has the
        // error pending, and the bytes waiting, at this very query.
        RecordStatus(errors, status->cbInQue);
        if (errors != 0) {
            Trace(reportText, (unsigned)errors, (unsigned)error);
            Trace("%s", escapeText);
            EscapePulse();
        }
        return TRUE;
    }
    // Whatever the code (drivers of a removed adapter give many), the
    // device is not answering; the loop lets the port go.
    DWORD error = GetLastError();
    RecordUnplug();
    Print(failText, (int)error);
    g_portLost = TRUE;
    return FALSE;
}

// Asks the watcher for a comm-event wait and waits up to timeoutMs for its
// report. TRUE when the report came.
static BOOL AwaitWatcherReport(DWORD timeoutMs) {
    // The report is cleared before the request goes out, so a report that
    // came after an earlier time limit is not taken for this one.
    Trace("Reset RxRy\n");
    ResetEvent(g_rxReadyEvent);
    Trace("Set Wait\n");
    SetEvent(g_waitEvent);

    HANDLE wakers[2] = {g_rxReadyEvent, g_queuedEvent};
    DWORD woken = WaitForMultipleObjects(2, wakers, FALSE, timeoutMs);
    if (woken == WAIT_OBJECT_0 + 1) {
        ResetEvent(g_queuedEvent);
        return FALSE;
    }
    // Time limit or failure: the request stays with the watcher.
    return woken == WAIT_OBJECT_0;
}

DWORD ReadCommByte(BYTE* buffer, DWORD timeoutMs) {
    COMSTAT status;
    Trace("(1)ClearCommError\n");
    if (!CheckLineErrors(&status, "(1)Error reported %X, GetLastError() %X\n", "(1.1)Escape\n",
                         "(1)Clear failed, erc = %d\n")) {
        return 0;
    }

    if (status.cbInQue != 0) {
        return DirectRead(buffer, "(1)no read erc %08X\n", "(1)read %d bytes direct\n",
                          "(1)reset event failed Erc %08X\n", "(1.2)Escape\n");
    }

    if (!AwaitWatcherReport(timeoutMs)) {
        return 0;
    }

    Trace("(2)Reset RxRy\n");
    ResetEvent(g_rxReadyEvent);

    if (g_lastEventMask & EV_RXCHAR) {
        RecordByteWaiting();
        return DirectRead(buffer, "(2)no read erc %08X\n", "(2)read %d bytes direct\n",
                          "reset event failed Erc %08X\n", "(2.1)Escape\n");
    }

    // The wait ended without a byte: find out from the line what happened.
    Print("(2)ClearCommError\n");
    if (!CheckLineErrors(&status, "(2)Error reported %X, GetLastError() %X\n", "(2.2)Escape\n",
                         "(2)Clear failed, erc = %d\n") ||
        status.cbInQue == 0) {
        return 0;
    }
    return DirectRead(buffer, "(2)no read erc %08X\n", "(2)read %d bytes direct\n",
                      "(2)reset event failed Erc %08X\n", "(2.3)Escape\n");
}
