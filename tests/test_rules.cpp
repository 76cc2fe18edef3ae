// The program's pure rules, on every platform: the key decoder of the port prompt, the pass and
// cable rules, the start-up words and the names the program hands to the platform. On POSIX also
// the script parser's messages, and the fuzz targets' seeds and regressions through their checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/keydecode.h"
#include "app/monitor.h"
#include "app/natural_order.h"
#include "serial/platform_names.h"

namespace {

using Codes = std::vector<int>;

// Feeds the bytes, flushing at the end as the wait for more would, and returns every code.
Codes Decode(KeyDecoder* d, const std::string& bytes) {
    Codes out;
    KeyCodes k;
    for (unsigned char b : bytes)
        if (KeyDecodeFeed(d, b, &k) == KEY_DECODE_KEY)
            out.insert(out.end(), k.code, k.code + k.count);
    if (KeyDecodePending(d) && KeyDecodeFlush(d, &k) == KEY_DECODE_KEY)
        out.insert(out.end(), k.code, k.code + k.count);
    EXPECT_FALSE(KeyDecodePending(d));
    return out;
}

const auto F = [](int n) { return Codes{n <= 10 ? 0 : 0xE0, n <= 10 ? 58 + n : 122 + n}; };
const auto E = [](int code) { return Codes{0xE0, code}; };

// Each key with the forms (after ESC) terminals send for it: SS3 and CSI with and without
// modifiers, VT220 and rxvt's ~ and ^, the Linux console's [[A..E, the keypad in application
// mode; ESC before a plain byte is Alt with that key.
// clang-format off
const std::pair<Codes, std::vector<std::string>> kKeys[] = {
    {F(1), {"OP", "O5P", "[1;5P", "[11~", "[[A"}}, {F(2), {"O1;2Q", "[12~"}}, {F(3), {"OR"}},
    {F(4), {"[[D"}}, {F(5), {"[15;5~"}}, {F(6), {"[17~"}}, {F(7), {"[18~"}}, {F(8), {"[19~"}},
    {F(9), {"[20~"}}, {F(10), {"[21~", "[21^"}}, {F(11), {"[23~"}}, {F(12), {"[24;2~"}},
    {E(72), {"[A", "[1;5A"}}, {E(80), {"OB"}}, {E(77), {"[C"}}, {E(75), {"OD"}},
    {E(71), {"[H", "[1~", "[7~"}}, {E(79), {"OF", "[4~", "[8~"}}, {E(82), {"[2~"}},
    {E(83), {"[3;3~"}}, {E(73), {"[5~"}}, {E(81), {"[6~"}}, {{'5'}, {"Ou", "5"}}, {{13}, {"OM"}},
    {{'-'}, {"Om"}}, {{3}, {"\x03"}}};
// Plain bytes are keys of their own; a sequence broken by a control byte gives that byte, one
// broken by a new ESC starts again; an unknown one, or one cut off by the time-out, gives
// nothing, however long.
const std::pair<std::string, Codes> kBytes[] = {
    {"a", {'a'}}, {std::string(1, '\0'), {0}}, {"\xff", {0xFF}}, {"\x1b", {27}},
    {"\x1b\x1b[B", {27, 0xE0, 80}}, {"1\x1b[A2", {'1', 0xE0, 72, '2'}}, {"\x1b[1\x03", {3}},
    {"\x1bO\r", {13}}, {"\x1b[1;\x1b[B", E(80)}, {"\x1b[2\x1b", {27}}, {"\x1b[Z", {}},
    {"\x1b[99~", {}}, {"\x1b[?1;2c", {}}, {"\x1b[1 q", {}}, {"\x1bO2~", {}}, {"\x1b[[1A", {}},
    {"\x1b[99999999999999999999~", {}}, {"\x1b[" + std::string(200, '1') + "A", {}},
    {"\x1bO", {}}, {"\x1b[1;5", {}}};
// clang-format on

TEST(KeyDecode, EveryFormGivesItsCodesWithItsLastByteAndLeavesNothingBehind) {
    for (const auto& key : kKeys)
        for (const std::string& form : key.second) {
            KeyDecoder d = {};
            KeyCodes k;
            const std::string bytes = "\x1b" + form;
            for (size_t i = 0; i + 1 < bytes.size(); ++i)
                ASSERT_EQ(KeyDecodeFeed(&d, bytes[i], &k), KEY_DECODE_MORE) << form << i;
            ASSERT_EQ(KeyDecodeFeed(&d, bytes.back(), &k), KEY_DECODE_KEY) << form;
            EXPECT_EQ(Codes(k.code, k.code + k.count), key.first) << form;
            EXPECT_EQ(Decode(&d, "z"), Codes{'z'}) << form;
        }
    for (const auto& c : kBytes) {
        KeyDecoder d = {};
        EXPECT_EQ(Decode(&d, c.first), c.second) << c.first;
        Codes then = c.second;  // F2 hard on its heels: its ESC ends what was under way
        then.insert(then.end(), {0, 60});
        EXPECT_EQ(Decode(&d, c.first + "\x1bOQ"), then) << c.first;
    }
    KeyDecoder d = {};
    KeyCodes k;
    EXPECT_TRUE(KeyDecodeFeed(&d, 0x1B, &k) == KEY_DECODE_MORE && KeyDecodeLoneEscape(&d));
    EXPECT_TRUE(KeyDecodeFeed(&d, '[', &k) == KEY_DECODE_MORE && !KeyDecodeLoneEscape(&d));
}

TEST(MonitorRules, PassBandsAcrossTheWrapAndEachChangeOfDsr) {
    // clang-format off
    const DWORD cases[][4] = {  // last, now, a pass?, last after
        {500000, 500099, 0, 500099}, {500000, 500100, 0, 500000}, {500000, 500750, 0, 500000},
        {500000, 500751, 1, 500751}, {500000, 499999, 1, 499999}, {0xFFFFFFF0u, 0x10, 0, 0x10},
        {0xFFFFFF00u, 0x100, 0, 0xFFFFFF00u}, {0xFFFFFF00u, 0x22C, 1, 0x22C}, {0, 751, 1, 751}};
    // clang-format on
    for (const auto& c : cases) {
        DWORD last = c[0];
        EXPECT_TRUE(PassStep(c[1], &last) == (BOOL)c[2] && last == c[3]) << c[0] << " " << c[1];
    }
    DWORD cable = 0, others = MS_CTS_ON | MS_RING_ON | MS_RLSD_ON;
    EXPECT_FALSE(CableStep(others, &cable));
    EXPECT_TRUE(CableStep(MS_DSR_ON, &cable) && cable == MS_DSR_ON);
    EXPECT_FALSE(CableStep(MS_DSR_ON | others, &cable));
    EXPECT_TRUE(CableStep(others, &cable) && cable == 0);
}

TEST(StartUpRules, TheDebugWordAndThePortKeys) {
    for (const char* word : {"debug", "DEBUG", "dEBUg"})
        EXPECT_TRUE(IsDebugWord(word)) << word;
    for (const char* word : {"", "debu", "debugs", " debug", "d\311bug", "debug\n"})
        EXPECT_FALSE(IsDebugWord(word)) << word;
    std::string keys;
    for (int code = -128; code <= 127; ++code)
        keys += IsPortKey(static_cast<signed char>(code)) ? std::string(1, (char)code) : "";
    EXPECT_EQ(keys, "123456789");
}

// On Windows the device namespace comes before the port name (com10 and above), and events are
// named for this process alone; the POSIX layer maps the names itself, and its events are private.
TEST(PlatformNames, PortPathsAndEventNames) {
    char own[64], out[16] = "untouched";
#ifdef _WIN32
    const std::string ns = "\\\\.\\";
    snprintf(own, sizeof own, "cabletest-%lu-RxRdyEvent", (unsigned long)GetCurrentProcessId());
    EXPECT_EQ(PrivateEventName(std::string(80, 'a').c_str()), nullptr) << "cut to another's name";
#else
    const std::string ns;
    snprintf(own, sizeof own, "RxRdyEvent");
#endif
    EXPECT_STREQ(PrivateEventName("RxRdyEvent"), own);
    EXPECT_TRUE(DevicePathForPort("com10", out, ns.size() + 6) && out == ns + "com10");
    EXPECT_TRUE(!DevicePathForPort("com10", out, ns.size() + 5) && out[0] == 0) << "cut";
    // Names that Windows opens as a device whatever is on the disk; elsewhere the layer looks.
    for (const char* device : {"NUL", "com3", "C:\\x\\Lpt1.txt", "d:aux", "con:", "CONOUT$",
                               "\\\\.\\COM12", "//./pipe/x", "\\\\?\\GLOBALROOT\\Device\\Serial0"})
        EXPECT_EQ(NamesADevice(device), ns.empty() ? FALSE : TRUE) << device;
    for (const char* file :
         {"shift.rec", "com10", "com", "nul-log", "C:\\con\\x.rec", "\\\\?\\C:\\x.rec",
          "\\\\?\\UNC\\host\\share\\x", "\\\\host\\share\\x"})
        EXPECT_FALSE(NamesADevice(file)) << file;
}

// The listing's order on both platforms: numbers by value, letter case aside, and a total order.
TEST(PlatformNames, PortsListInNaturalOrder) {
    std::vector<std::string> names = {"ttyUSB0", "COM10", "ttyS10",  "com2",   "ttyS2", "ttyS02",
                                      "ttyS",    "COM2",  "ttyACM0", "ttyS1x", "ttys3", "COM1"};
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return NaturalCompare(a.c_str(), b.c_str()) < 0;
    });
    EXPECT_EQ(names, (std::vector<std::string>{"COM1", "COM2", "com2", "COM10", "ttyACM0", "ttyS",
                                               "ttyS1x", "ttyS02", "ttyS2", "ttys3", "ttyS10",
                                               "ttyUSB0"}));
}

}  // namespace

#ifndef _WIN32
#include <cstdint>
#include <filesystem>
#include <fstream>

#include "platform/posix/sim_script.h"

using Target = int(const uint8_t* data, size_t size);
extern "C" Target FuzzKeyDecode, FuzzSimScript, FuzzPortName;

namespace {

TEST(SimScript, EachFaultNamedWithItsLine) {
    // clang-format off
    const std::pair<std::string, std::string> bad[] = {
        {"\n\n12ms end", "line 3: expected a time of 0 to 4294967295 ms, not \"12ms\""},
        {"10 cts yes", "line 1: cts needs on or off, not \"yes\""},
        {"10 bytes 100000001", "line 1: byte count must be 1 to 100000000, not \"100000001\""},
        {"10 bytes 5 1 0x", "line 1: byte value must be hex 00 to ff, not \"0x\""},
        {"10 error noise", "line 1: error needs frame, overrun, parity or break, not \"noise\""},
        {"0 repeat", "line 1: repeat at 0 ms would replay the script without time passing"},
        {"20 cable on\n10 cable off", "line 2: time 10 is before the time 20 of the action above"},
        {"5 end\n\n5 cts on", "line 3: nothing can follow end (line 1)"},
        {"10 \x01\x7f\"\\ on", "line 1: unknown action \"\\x01\\x7f\\x22\\x5c\""}};
    // clang-format on
    std::vector<posixlayer::SimAction> actions;
    std::string error;
    for (const auto& c : bad)
        EXPECT_TRUE(!posixlayer::ParseSimScript(c.first, &actions, &error) && error == c.second)
            << c.first << ": " << error;
}

// A broken property aborts the program, which fails the test.
TEST(FuzzReplay, SeedsAndRegressionsKeepTheirProperties) {
    const std::pair<std::string, Target*> targets[] = {
        {"keydecode", FuzzKeyDecode}, {"sim_script", FuzzSimScript}, {"portname", FuzzPortName}};
    for (const auto& target : targets) {
        size_t count = 0;
        for (const char* dir : {CABLETEST_FUZZ_CORPUS, CABLETEST_FUZZ_REGRESSIONS}) {
            std::error_code absent;
            for (const auto& e : std::filesystem::directory_iterator(dir + target.first, absent)) {
                std::ifstream in(e.path(), std::ios::binary);
                const std::string bytes((std::istreambuf_iterator<char>(in)), {});
                target.second(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
                ++count;
            }
        }
        EXPECT_GT(count, 0u) << target.first;
        target.second(reinterpret_cast<const uint8_t*>(""), 0);
    }
}

}  // namespace
#endif
