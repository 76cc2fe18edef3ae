// Events and the waits on them: manual-reset events, private to the process,
// and WaitForSingleObject / WaitForMultipleObjects on events and threads.
#include <algorithm>

#include "platform/posix/handles.h"

namespace posixlayer {
namespace {

class EventObject : public Object {
  public:
    EventObject() : Object(Kind::Event) {}
    bool Signalled() const override { return signalled; }

    bool signalled = false;
};

EventObject* AsEvent(Object* object) {
    if (object == nullptr || object->kind != Kind::Event) {
        return nullptr;
    }
    return static_cast<EventObject*>(object);
}

BOOL SetEventState(HANDLE event, bool signalled) {
    Lock lock(LayerMutex());
    EventObject* found = Find<EventObject>(event, Kind::Event);
    if (found == nullptr) {
        return FALSE;
    }
    found->signalled = signalled;
    if (signalled) {
        Wake(found);
    }
    return TRUE;
}

// The objects a wait is on, looked up once (lock held); false with the last
// error set when one cannot be waited for.
bool TakeWaitables(DWORD count, const HANDLE* objects, Object** waited) {
    for (DWORD i = 0; i < count; ++i) {
        Object* object = LookUpHandle(objects[i]);
        if (object == nullptr || object->kind == Kind::Port) {
            Fail(object == nullptr ? ERROR_INVALID_HANDLE : ERROR_NOT_SUPPORTED);
            return false;
        }
        waited[i] = object;
    }
    return true;
}

// The first of the objects that is signalled, or -1.
int FirstSignalled(DWORD count, Object* const* waited) {
    for (DWORD i = 0; i < count; ++i) {
        if (waited[i]->Signalled()) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Lock held, none signalled: blocks until one is or the deadline passes, the
// objects held meanwhile. WAIT_TIMEOUT or the index of the signalled one.
DWORD AwaitSignal(Lock& lock, DWORD count, Object* const* waited, uint64_t deadline) {
    std::for_each(waited, waited + count, Hold);
    const void* things[64];
    std::copy(waited, waited + count, things);
    int signalled = -1;
    // In virtual time only the clock decides when a time limit has passed:
    // a thread woken at the very instant of its deadline must still see the
    // signals of the threads woken with it.
    for (bool expired = false; signalled < 0 && !expired;) {
        expired = Block(lock, deadline, things, count);
        signalled = FirstSignalled(count, waited);
    }
    std::for_each(waited, waited + count, LetGo);
    return signalled < 0 ? WAIT_TIMEOUT : WAIT_OBJECT_0 + static_cast<DWORD>(signalled);
}

}  // namespace

void SignalEventHandle(HANDLE event) {
    if (EventObject* found = AsEvent(LookUpHandle(event))) {
        found->signalled = true;
        Wake(found);
    }
}

void ResetEventHandle(HANDLE event) {
    if (EventObject* found = AsEvent(LookUpHandle(event))) {
        found->signalled = false;
    }
}

}  // namespace posixlayer

using namespace posixlayer;

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCSTR name) {
    // The system uses only manual-reset events created non-signalled; an
    // auto-reset or signalled event would need semantics this layer lacks.
    if (attributes != nullptr || !manualReset || initialState) {
        Fail(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    // A name would only make the event shared, which the system's private
    // names never ask for.
    (void)name;
    auto event = std::make_shared<EventObject>();
    Lock lock(LayerMutex());
    HANDLE handle = AddHandle(event);
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL SetEvent(HANDLE event) {
    return SetEventState(event, true);
}

BOOL ResetEvent(HANDLE event) {
    return SetEventState(event, false);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > 64 || objects == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    if (waitAll) {
        Fail(ERROR_NOT_SUPPORTED);
        return WAIT_FAILED;
    }
    uint64_t deadline = DeadlineAfter(milliseconds);
    Lock lock(LayerMutex());
    // On the stack, not initialised: the receiver waits once per byte, and a
    // wait should cost neither an allocation nor a walk over 64 entries.
    Object* waited[64];
    if (!TakeWaitables(count, objects, waited)) {
        return WAIT_FAILED;
    }
    const int signalled = FirstSignalled(count, waited);
    if (signalled >= 0) {
        return WAIT_OBJECT_0 + static_cast<DWORD>(signalled);
    }
    if (milliseconds == 0) {
        return WAIT_TIMEOUT;
    }
    return AwaitSignal(lock, count, waited, deadline);
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &object, FALSE, milliseconds);
}
