// The recording trace sink. The watcher and the receiver trace from two
// threads, so the record is guarded.
#include "trace_record.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "common/trace.h"

namespace {
std::mutex g_recordMutex;
std::string g_record;
}  // namespace

int Trace(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> hold(g_recordMutex);
    g_record += length < 0 ? "" : text;
    return length < 0 ? 0 : length;
}

std::string TraceRecordText() {
    std::lock_guard<std::mutex> hold(g_recordMutex);
    return g_record;
}

void TraceRecordClear() {
    std::lock_guard<std::mutex> hold(g_recordMutex);
    g_record.clear();
}
