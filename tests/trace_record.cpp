// The recording trace sink. The watcher and the receiver trace from two
// threads, so the record is guarded.
#include "trace_record.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "common/trace.h"

namespace {

std::mutex& RecordMutex() {
    static std::mutex mutex;
    return mutex;
}

std::string& Record() {
    static std::string record;
    return record;
}

}  // namespace

int Trace(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0) {
        return 0;
    }
    std::lock_guard<std::mutex> hold(RecordMutex());
    Record() += text;
    return length;
}

std::string TraceRecordText() {
    std::lock_guard<std::mutex> hold(RecordMutex());
    return Record();
}

void TraceRecordClear() {
    std::lock_guard<std::mutex> hold(RecordMutex());
    Record().clear();
}
