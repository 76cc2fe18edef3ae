// The rules of the monitoring loop and of start-up on their own: the pass
// rule's bands and its unsigned arithmetic, the cable rule, the debug word and
// the prompt's keys. Standard C++ only, so that it runs on every platform.
#include <gtest/gtest.h>

#include <cstdint>

#include "app/app.h"
#include "app/monitor.h"

namespace {

// The pass rule applied to a byte `delta` ms after the tick in *last.
BOOL ByteAfter(DWORD* last, DWORD delta) {
    return PassStep((DWORD)(*last + delta), last);
}

TEST(PassRule, BandsAroundTheBurstsLastByte) {
    struct Case {
        DWORD delta;
        BOOL pass;
        BOOL moves;  // whether lastPassTick follows the byte
    };
    const Case cases[] = {
        {0, FALSE, TRUE},          {1, FALSE, TRUE},          {99, FALSE, TRUE},
        {100, FALSE, FALSE},       {400, FALSE, FALSE},       {750, FALSE, FALSE},
        {751, TRUE, TRUE},         {800, TRUE, TRUE},         {0x7FFFFFFFu, TRUE, TRUE},
        {0x80000000u, TRUE, TRUE}, {0xFFFFFFFFu, TRUE, TRUE},
    };
    for (const Case& c : cases) {
        DWORD last = 500000;
        EXPECT_EQ(ByteAfter(&last, c.delta), c.pass) << "delta " << c.delta;
        EXPECT_EQ(last, c.moves ? (DWORD)(500000 + c.delta) : 500000u) << "delta " << c.delta;
    }
}

TEST(PassRule, ABurstIsOnePassAndEchoesDoNotCount) {
    DWORD last = 0;
    int passes = 0;
    DWORD now = 1000000;
    for (int i = 0; i < 20; ++i, now += 1)
        passes += PassStep(now, &last);
    EXPECT_EQ(passes, 1);
    const DWORD burstEnd = now - 1;
    EXPECT_EQ(last, burstEnd);
    // A stray byte in the ignored band leaves the burst's end where it was,
    // so a byte 800 ms after the burst still begins a new pass.
    EXPECT_FALSE(PassStep(burstEnd + 400, &last));
    EXPECT_EQ(last, burstEnd);
    EXPECT_TRUE(PassStep(burstEnd + 800, &last));
}

TEST(PassRule, TheTickCountersWrapMakesNoFalsePass) {
    DWORD last = 0xFFFFFFF0u;
    EXPECT_FALSE(PassStep(0x00000010u, &last));  // 32 ms later, across the wrap
    EXPECT_EQ(last, 0x00000010u);
    last = 0xFFFFFF00u;
    EXPECT_FALSE(PassStep(0x00000100u, &last));  // 512 ms later: the ignored band
    EXPECT_EQ(last, 0xFFFFFF00u);
    EXPECT_TRUE(PassStep(0x00000100u + 300u, &last));  // 812 ms later: a new pass
    EXPECT_EQ(last, 0x0000022Cu);
}

TEST(PassRule, TheFirstByteIsAPassOnlyAboveTick750) {
    DWORD last = 0;
    EXPECT_FALSE(PassStep(500, &last));
    EXPECT_EQ(last, 0u);
    EXPECT_FALSE(PassStep(750, &last));
    EXPECT_TRUE(PassStep(751, &last));
    last = 0;
    EXPECT_FALSE(PassStep(99, &last));
    EXPECT_EQ(last, 99u);
}

TEST(CableRule, ReportsEachChangeOfDsrOnly) {
    DWORD cableState = 0;
    EXPECT_FALSE(CableStep(0, &cableState));  // missing from the start: nothing
    EXPECT_FALSE(CableStep(MS_CTS_ON | MS_RING_ON | MS_RLSD_ON, &cableState));
    EXPECT_TRUE(CableStep(MS_DSR_ON, &cableState));
    EXPECT_EQ(cableState, (DWORD)MS_DSR_ON);
    EXPECT_FALSE(CableStep(MS_DSR_ON | MS_CTS_ON, &cableState));
    EXPECT_TRUE(CableStep(MS_CTS_ON, &cableState));
    EXPECT_EQ(cableState, 0u);
}

TEST(CableRule, LineStateTexts) {
    const DWORD status = MS_DSR_ON | MS_RLSD_ON;
    EXPECT_STREQ(LineStateText(status, MS_DSR_ON), "on");
    EXPECT_STREQ(LineStateText(status, MS_CTS_ON), "off");
    EXPECT_STREQ(LineStateText(status, MS_RING_ON), "off");
    EXPECT_STREQ(LineStateText(status, MS_RLSD_ON), "on");
}

TEST(StartUpRules, DebugWordInAnyLetterCase) {
    for (const char* word : {"debug", "DEBUG", "DeBuG", "dEBUg"}) {
        EXPECT_TRUE(IsDebugWord(word)) << word;
    }
    for (const char* word : {"", "verbose", "debu", "debugs", "debug ", " debug",
                             "d\xC9"
                             "bug"}) {
        EXPECT_FALSE(IsDebugWord(word)) << word;
    }
}

TEST(StartUpRules, PortKeysAreTheDigitsOneToNine) {
    int accepted = 0;
    for (int code = -128; code <= 127; ++code) {
        const signed char key = (signed char)code;
        if (IsPortKey(key)) {
            ++accepted;
            EXPECT_TRUE(key >= '1' && key <= '9') << code;
        }
    }
    EXPECT_EQ(accepted, 9);
    EXPECT_FALSE(IsPortKey((signed char)0xE0));  // the extended-key prefix
    EXPECT_FALSE(IsPortKey('0'));
}

}  // namespace
