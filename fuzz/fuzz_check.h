// The one way a fuzz target reports a broken property: a line on standard
// error naming the property, then abort(), which libFuzzer and the sanitizers
// turn into a saved crash input and the replay test into a failure.
#ifndef CABLETEST_FUZZ_FUZZ_CHECK_H
#define CABLETEST_FUZZ_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, what)                                                             \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "%s:%d: property broken: %s (%s)\n", __FILE__, __LINE__, what, \
                         #condition);                                                           \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

// The entry point's name. libFuzzer wants LLVMFuzzerTestOneInput; the replay
// test links all targets into one program and gives each its own name.
#ifndef CABLETEST_FUZZ_ENTRY
#define CABLETEST_FUZZ_ENTRY LLVMFuzzerTestOneInput
#endif

#endif  // CABLETEST_FUZZ_FUZZ_CHECK_H
