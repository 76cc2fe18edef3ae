// A trace sink that keeps what it is given, for tests that link the serial
// library directly and want to see which way the watcher and the receiver
// went.
#ifndef CABLETEST_TESTS_TRACE_RECORD_H
#define CABLETEST_TESTS_TRACE_RECORD_H

#include <string>

// Everything traced since the last TraceRecordClear, in order.
std::string TraceRecordText();
void TraceRecordClear();

#endif  // CABLETEST_TESTS_TRACE_RECORD_H
