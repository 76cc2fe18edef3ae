// Threads of the POSIX provider: CreateThread on detached pthreads, with a
// waitable handle that is signalled when the routine returns.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/posix/handles.h"

namespace posixlayer {
namespace {

class ThreadObject : public Object {
  public:
    ThreadObject() : Object(Kind::Thread) {}
    bool Signalled() const override { return ended; }

    bool ended = false;
    DWORD id = 0;
};

struct ThreadStart {
    std::shared_ptr<ThreadObject> thread;
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

DWORD g_nextThreadId = 1000;

void* ThreadMain(void* arg) {
    ThreadStart* start = static_cast<ThreadStart*>(arg);
    std::shared_ptr<ThreadObject> thread = start->thread;
    LPTHREAD_START_ROUTINE routine = start->routine;
    LPVOID parameter = start->parameter;
    delete start;
    {
        Lock lock(LayerMutex());
        ThreadStarts(lock);
    }
    routine(parameter);
    Lock lock(LayerMutex());
    thread->ended = true;
    Wake(thread.get());
    ThreadEnded(lock);
    return nullptr;
}

size_t StackFloor() {
    size_t floor = 64 * 1024;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    floor = 1024 * 1024;  // the sanitizers' own frames need room
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    floor = 1024 * 1024;
#endif
#endif
    return std::max<size_t>(floor, static_cast<size_t>(PTHREAD_STACK_MIN));
}

// Detached, with the stack asked for (0: the default); false when the
// attributes cannot be had.
bool ThreadAttributes(SIZE_T stackSize, pthread_attr_t* attr) {
    if (pthread_attr_init(attr) != 0) {
        return false;
    }
    pthread_attr_setdetachstate(attr, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
        size_t size = std::max<size_t>(stackSize, StackFloor());
        // Page multiples only, on some systems.
        long page = sysconf(_SC_PAGESIZE);
        if (page > 0) {
            size = (size + static_cast<size_t>(page) - 1) / static_cast<size_t>(page) *
                   static_cast<size_t>(page);
        }
        pthread_attr_setstacksize(attr, size);
    }
    return true;
}

// Lock held: starts the thread; pthread_create's error, 0 when it runs.
int StartThread(pthread_attr_t* attr, ThreadStart* start) {
    // Counted as running before it starts, so that virtual time cannot move
    // on between the creation and the thread's first step.
    ThreadWillRun();
    pthread_t id;
    const int rc = pthread_create(&id, attr, ThreadMain, start);
    if (rc != 0) {
        ThreadDidNotStart();
    }
    return rc;
}

}  // namespace
}  // namespace posixlayer

using namespace posixlayer;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD flags,
                    LPDWORD threadId) {
    if (attributes != nullptr || flags != 0) {
        Fail(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    if (routine == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    pthread_attr_t attr;
    if (!ThreadAttributes(stackSize, &attr)) {
        Fail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto thread = std::make_shared<ThreadObject>();
    auto* start = new ThreadStart{thread, routine, parameter};
    Lock lock(LayerMutex());
    thread->id = g_nextThreadId++;
    const int rc = StartThread(&attr, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete start;
        Fail(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : Win32ErrorFromErrno(rc));
        return nullptr;
    }
    if (threadId != nullptr) {
        *threadId = thread->id;
    }
    return AddHandle(thread);
}
