// The comm-event watcher thread. A comm-event wait has no time limit of its
// own, so the receiver hands it to this thread and waits for the report with
// the limit it needs.
#include <cstring>

#include "common/trace.h"
#include "serial/line.h"
#include "serial/platform_names.h"

// One request on "WaitEvent" answered with one comm-event wait on `request`.
static void AnswerWaitRequest(OVERLAPPED* request) {
    DWORD mask = 0;
    DWORD count = 0;

    WaitForSingleObject(g_waitEvent, INFINITE);
    // One handle for the whole round: a lost port is closed and replaced
    // only once the round is over (CloseLostPort), and a wait on a closed
    // handle ends like any other failure.
    HANDLE port = g_port;

    DWORD armed = 0;
    if (GetCommMask(port, &armed) && (armed & EV_RXCHAR) == 0) {
        // A port that answers but was never armed (its arming failed at
        // set-up and it has not been reopened since) would end every wait
        // at once. Left unanswered, the request times out in the receiver,
        // as if there were no watcher; a lost port, whose calls all fail,
        // is answered below so that the receiver finds the loss at once.
        ResetEvent(g_waitEvent);
        return;
    }
    Trace("->wait for %04x\n", (unsigned)armed);

    if (!WaitCommEvent(port, &mask, request)) {
        if (GetLastError() == ERROR_IO_PENDING) {
            GetOverlappedResult(port, request, &count, TRUE);
        }
        // Any other failure is reported like an ordinary end, with
        // mask 0; the receiver then looks at the line itself.
    }

    // Requests made while the wait ran are dropped here; the receiver
    // asks again the next time it finds the queue empty.
    ResetEvent(g_waitEvent);

    // The mask is in place before "RxRdyEvent" wakes the receiver.
    g_lastEventMask = mask;
    Trace("->Got event %04X\n", (unsigned)mask);
    // Each comm-event wait clears "CommWatch" itself.
    Trace("->Reset CommWatch\n");
    Trace("->Set RdRdy\n");
    SetEvent(g_rxReadyEvent);
}

DWORD WINAPI CommWatchThread(LPVOID parameter) {
    (void)parameter;
    OVERLAPPED request;

    memset(&request, 0, sizeof request);
    request.hEvent = CreateEventA(NULL, TRUE, FALSE, PrivateEventName("CommWatch"));
    if (request.hEvent == NULL) {
        MessageBoxA(NULL, "Failed to create event for thread!", "Watch Error", MB_ICONEXCLAMATION);
        return 0;
    }
    if (!SetCommMask(g_port, EV_RXCHAR)) {
        // Kept for a debugger only. The thread goes on all the same: a port
        // lost as it opened fails here, and the port that replaces it comes
        // armed (ReopenLostPort) and needs its watcher.
        DWORD error = GetLastError();
        (void)error;
    }

    while (g_running != 0) {
        AnswerWaitRequest(&request);
    }

    CloseHandle(request.hEvent);
    return 1;
}
