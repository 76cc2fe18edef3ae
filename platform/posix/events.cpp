// Events and the waits on them: manual-reset events, private to the process,
// and WaitForSingleObject / WaitForMultipleObjects on events and threads.
#include <array>
#include <string>

#include "platform/posix/handles.h"

namespace posixlayer {
namespace {

class EventObject : public Object {
  public:
    EventObject() : Object(Kind::Event) {}
    bool Signalled() const override { return signalled; }

    bool signalled = false;
    std::string label;  // the name given at creation; not shared
};

EventObject* AsEvent(const std::shared_ptr<Object>& object) {
    if (object == nullptr || object->kind != Kind::Event) {
        return nullptr;
    }
    return static_cast<EventObject*>(object.get());
}

BOOL SetEventState(HANDLE event, bool signalled) {
    Lock lock(LayerMutex());
    auto found = Find<EventObject>(event, Kind::Event);
    if (found == nullptr) {
        return FALSE;
    }
    found->signalled = signalled;
    if (signalled) {
        Wake(found.get());
    }
    return TRUE;
}

// The objects a wait is on, looked up once (lock held); false with the last
// error set when one cannot be waited for.
bool TakeWaitables(DWORD count, const HANDLE* objects,
                   std::array<std::shared_ptr<Object>, 64>* waited) {
    for (DWORD i = 0; i < count; ++i) {
        std::shared_ptr<Object> object = LookUpHandle(objects[i]);
        if (object == nullptr || object->kind == Kind::Port) {
            Fail(object == nullptr ? ERROR_INVALID_HANDLE : ERROR_NOT_SUPPORTED);
            return false;
        }
        (*waited)[i] = std::move(object);
    }
    return true;
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
    auto event = std::make_shared<EventObject>();
    if (name != nullptr) {
        event->label = name;
    }
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
    // On the stack: the receiver waits once per byte, and a wait should not
    // cost an allocation.
    std::array<std::shared_ptr<Object>, 64> waited;
    if (!TakeWaitables(count, objects, &waited)) {
        return WAIT_FAILED;
    }
    // In virtual time only the clock decides when a time limit has passed:
    // a thread woken at the very instant of its deadline must still see the
    // signals of the threads woken with it.
    bool expired = milliseconds == 0;
    const void* things[64];
    for (DWORD i = 0; i < count; ++i) {
        things[i] = waited[i].get();
    }
    for (;;) {
        for (DWORD i = 0; i < count; ++i) {
            if (waited[i]->Signalled()) {
                return WAIT_OBJECT_0 + i;
            }
        }
        if (expired) {
            return WAIT_TIMEOUT;
        }
        expired = Block(lock, deadline, things, count);
    }
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &object, FALSE, milliseconds);
}
