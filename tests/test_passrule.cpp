// The rules of the monitoring loop and of start-up on their own: the pass
// rule's bands and its unsigned arithmetic, the cable rule, the debug word and
// the prompt's keys. Standard C++ only, so that it runs on every platform.
#include <gtest/gtest.h>

#include "app/app.h"
#include "app/monitor.h"

namespace {

TEST(PassRule, BandsAroundTheLastBurstByteAcrossTheWrap) {
    struct Case {
        DWORD last, now, pass, lastAfter;
    };
    const Case cases[] = {
        {500000, 500000, FALSE, 500000},
        {500000, 500099, FALSE, 500099},  // the burst goes on
        {500000, 500100, FALSE, 500000},
        {500000, 500750, FALSE, 500000},  // echoes
        {500000, 500751, TRUE, 500751},
        {500000, 499999, TRUE, 499999},            // a new pass
        {0xFFFFFFF0u, 0x10, FALSE, 0x10},          // 32 ms, wrapped
        {0xFFFFFF00u, 0x100, FALSE, 0xFFFFFF00u},  // 512 ms, wrapped
        {0xFFFFFF00u, 0x22C, TRUE, 0x22C},         // 812 ms, wrapped
        {0, 750, FALSE, 0},
        {0, 751, TRUE, 751},  // the first byte after start-up
    };
    for (const Case& c : cases) {
        DWORD last = c.last;
        EXPECT_EQ(PassStep(c.now, &last), (BOOL)c.pass) << c.last << " -> " << c.now;
        EXPECT_EQ(last, c.lastAfter) << c.last << " -> " << c.now;
    }
}

TEST(CableRule, ReportsEachChangeOfDsrOnly) {
    DWORD cableState = 0;
    EXPECT_FALSE(CableStep(0, &cableState));  // missing from the start: nothing
    EXPECT_FALSE(CableStep(MS_CTS_ON | MS_RING_ON | MS_RLSD_ON, &cableState));
    EXPECT_TRUE(CableStep(MS_DSR_ON, &cableState));
    EXPECT_FALSE(CableStep(MS_DSR_ON | MS_CTS_ON, &cableState));
    EXPECT_TRUE(CableStep(MS_CTS_ON, &cableState));
    EXPECT_EQ(cableState, 0u);
}

TEST(StartUpRules, TheDebugWordAndThePortKeys) {
    for (const char* word : {"debug", "DEBUG", "dEBUg"})
        EXPECT_TRUE(IsDebugWord(word)) << word;
    for (const char* word :
         {"", "debu", "debugs", " debug", "d\311bug"})  // \311: an accented E in Latin-1
        EXPECT_FALSE(IsDebugWord(word)) << word;
    int accepted = 0;
    for (int code = -128; code <= 127; ++code)
        accepted += IsPortKey((signed char)code) ? 1 : 0;
    EXPECT_EQ(accepted, 9);
    EXPECT_TRUE(IsPortKey('1') && IsPortKey('9') && !IsPortKey('0'));
}

}  // namespace
