// --report FILE [--svg PICTURE] through the binary: the summary of a recording, a script and a
// stamped log; its counts against the replay's own output over random scripts; the refusals; the
// picture as XML and as rendered pixels; and the time a shift takes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

#ifdef CABLETEST_HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

using namespace harness;
using Args = std::vector<std::string>;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr unsigned kScripts = 20;
constexpr bool kTimed = false;  // each run is many times slower
#else
constexpr unsigned kScripts = 60;
constexpr bool kTimed = true;
#endif

const std::string kHeader =
    "# cabletest 1.0.0 recording of the port ttyUSB0, opened 2026-12-07 06:00:01.204; times in ms "
    "since then\n";
// A cable that drops out just after a pass, line errors, the port lost and back.
const std::string kShift =
    "300 cable on\n1500 bytes 12 2\n3000 error frame\n3500 bytes 12 2\n3800 cable off\n"
    "4500 cable on\n6000 unplug\n7000 replug\n9000 bytes 12 2\n9300 error frame\n9400 error "
    "break\n";

// The program, or with `program` "/usr/bin/env" a tool of the machine (exit 127: not there).
SimRun Program(const Args& args, const std::string& program = ProgramPath()) {
    Options o(args);
    o.program = program;
    Child child(o);
    Status status = child.Wait(60000);
    return {status, child.out, child.err, ""};
}
const std::string kTool = "/usr/bin/env";

TEST(Report, ARecordingScriptAndLogTellPassesDropOutsErrorsAndTheLoss) {
    TempDir dir;
    WriteFile(dir / "shift", kHeader + kShift);
    SimRun recording = Program({"--report", dir / "shift"});
    EXPECT_TRUE(recording.status.Exited(0)) << recording.err;
    EXPECT_EQ(recording.err, "");
    const std::string body =
        "Carriage passes: 3, one every 3.75 s on average (shortest gap 2.00 s, longest 5.50 s)\n"
        "Cable: connected 8.41 s of the 9.04 s it was sampled (93.0 %); 1 drop-out:\n"
        "  06:00:05.146  0.63 s   0.44 s after a carriage pass\n"
        "  it began within 1 s after a carriage pass\n";
    EXPECT_EQ(recording.out,
              "Port ttyUSB0, recorded by cabletest 1.0.0 from 2026-12-07 06:00:01.204 to "
              "06:00:11.604 (10.4 s)\n" +
                  body +
                  "Line errors: 2 framing (first 06:00:04.204), 1 break (first 06:00:10.604), no "
                  "overrun or parity\nPort lost: once, 06:00:07.204 for 1.00 s\n");
    // Without the first line, times are from the start; without an end line the replay goes a
    // second beyond the last line, so a cable pulled out there is still reported.
    WriteFile(dir / "script", kShift + "9600 cable off\n");
    SimRun script = Program({"--report", dir / "script"});
    EXPECT_TRUE(script.status.Exited(0)) << script.err;
    EXPECT_EQ(script.out.substr(0, script.out.find('\n')),
              "Script " + (dir / "script") +
                  ", replayed from its start to 10.600 s (10.6 s); times "
                  "are from its start");
    EXPECT_NE(script.out.find("; 2 drop-outs:\n  3.942 s  0.63 s   0.44 s after a carriage pass\n"
                              "  9.702 s  0.89 s, to the end   0.70 s after a carriage pass\n"),
              std::string::npos)
        << script.out;
    // The program's own output saved with -t, as Windows writes it (CR LF) and in debug mode.
    SimRun live = RunSim(kShift + "11000 end\n", {"sim", "-t"}, {{"TZ", "UTC"}});
    SimRun debug = RunSim(kShift + "11000 end\n", {"sim", "-t", "debug"}, {{"TZ", "UTC"}});
    std::string windows = std::regex_replace(live.out, std::regex("\n"), "\r\n");
    for (const std::string& log : {windows, debug.out}) {
        WriteFile(dir / "log", log);
        SimRun fromLog = Program({"--report", dir / "log"});
        EXPECT_TRUE(fromLog.status.Exited(0)) << fromLog.err;
        EXPECT_TRUE(std::regex_search(
            fromLog.out, std::regex("\nCarriage passes: 3, one every 3.75 s on average \\(shortest "
                                    "gap 2.00 s, longest 5.50 s\\)\n.* 1 drop-out:\n  00:00:03.942 "
                                    " 0.63 s   0.44 s after a "
                                    "carriage pass\n.*\nLine errors: a console log does not show "
                                    "them \\(a recording does\\)\nPort lost: once, 00:00:06.000 "
                                    "for 1.00 s\n")))
            << fromLog.out;
    }
}

// A figure of the summary: the number after `label`, with "none", "never", "no", "once" and
// "twice" as numbers; -1 when the label is missing.
long Figure(const std::string& summary, const std::string& label) {
    size_t at = summary.find(label);
    if (at == std::string::npos)
        return -1;
    std::string word;
    std::istringstream(summary.substr(at + label.size())) >> word;
    word = word.substr(0, word.find_first_of(",:;"));
    const std::vector<std::string> words = {"none", "once", "twice"};
    auto named = std::find(words.begin(), words.end(), word);
    return named != words.end()              ? named - words.begin()
           : word == "never" || word == "no" ? 0
                                             : std::atol(word.c_str());
}

long LineErrors(const std::string& summary) {
    long total = 0;
    std::regex figure("(\\d+) (framing|overrun|parity|break)");
    for (std::sregex_iterator it(summary.begin(), summary.end(), figure), end; it != end; ++it)
        total += std::stol((*it)[1]);
    return total;
}

// The counts of a summary against those of the output it was made from.
void ExpectSameCounts(const std::string& summary, const std::string& output) {
    EXPECT_EQ(Figure(summary, "Carriage passes: "), (long)Count(output, kPass)) << summary;
    long dropOuts = 0;
    std::smatch found;
    if (std::regex_search(summary, found, std::regex("%\\); (no|\\d+) drop-out")))
        dropOuts = found[1] == "no" ? 0 : std::stol(found[1]);
    else
        EXPECT_NE(summary.find("Cable: never reported connected"), std::string::npos) << summary;
    EXPECT_EQ(dropOuts, (long)Count(output, kDisconnected)) << summary;
    EXPECT_EQ(Figure(summary, "Port lost: "),
              (long)Count(output, " lost, waiting for it to come back\n"))
        << summary;
}

TEST(Report, CountsAreThoseOfTheReplaysOwnOutputOverRandomScripts) {
    TempDir dir;
    for (unsigned seed = 1; seed <= kScripts && !HasFailure(); ++seed) {
        SCOPED_TRACE(seed);
        uint64_t endMs = 0;
        std::set<uint64_t> arrivals;
        const std::string script = RandomScript(seed, &endMs, &arrivals);
        SimRun replay = RunSim(script, {"sim", "-t"}, {{"TZ", "UTC"}});
        ASSERT_TRUE(replay.status.Exited(0)) << replay.err;
        WriteFile(dir / "script", script);
        WriteFile(dir / "log", replay.out);
        SimRun fromScript = Program({"--report", dir / "script"});
        ASSERT_TRUE(fromScript.status.Exited(0)) << fromScript.err << script;
        ExpectSameCounts(fromScript.out, replay.out);
        EXPECT_EQ(LineErrors(fromScript.out), (long)Count(script, " error "));
        if (Count(replay.out, "-->") + Count(replay.out, " Cable ") + Count(replay.out, " Port "))
            ExpectSameCounts(Program({"--report", dir / "log"}).out, replay.out);
    }
}

TEST(Report, BadInputIsRefusedWithOneLineAndNothingElseWritten) {
    TempDir dir;
    WriteFile(dir / "good", kHeader + kShift);
    WriteFile(dir / "sideways", "100 cable on\n\n300 cable sideways\n");
    WriteFile(dir / "repeat", "100 cable on\n2000 repeat\n");
    WriteFile(dir / "unstamped", kBanner + kConnected + kPass);
    WriteFile(dir / "empty", "\n\n");
    WriteFile(dir / "large", std::string(110000, '#') + "\n" + std::string(1000000, '\n'));
    mkdir((dir / "folder").c_str(), 0700);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    Pty tty;
    const std::string device =
        "a device (a terminal, a serial port, the null device), not a regular file";
    const std::string picture = dir / "picture.svg", cannot = "cabletest: cannot ";
    auto file = [&](const std::string& name) { return "cabletest: " + (dir / name); };
    const std::vector<std::pair<Args, std::string>> cases = {
        {{dir / "missing"}, cannot + "read " + (dir / "missing") + ": no such file (error 2)"},
        {{dir / "folder"},
         cannot + "read " + (dir / "folder") +
             ": access denied (a folder, or a file this user may not read) (error 5)"},
        // Neither opened nor waited on: a device's open alone raises its DTR and RTS.
        {{tty.slave}, cannot + "read " + tty.slave + ": " + device},
        {{dir / "fifo"},
         cannot + "read " + (dir / "fifo") + ": a pipe or a socket, not a regular file"},
        {{dir / "good", tty.slave}, cannot + "write the picture " + tty.slave + ": " + device},
        {{dir / "sideways"},
         file("sideways") + ": line 3: cable needs on or off, not \"sideways\""},
        {{dir / "repeat"},
         file("repeat") + ": line 2: repeat: a script that plays for ever has no "
                          "summary; end it with end"},
        {{dir / "unstamped"},
         file("unstamped") + " holds no stamped report: give the program's "
                             "output saved with -t, or a recording"},
        {{dir / "empty"}, file("empty") + " is empty: give a recording, a script or a log"},
        // The simulated line's own refusal, naming the FILE.
        {{dir / "large"},
         "sim script " + (dir / "large") + ": not a regular file of at most 1048576 bytes\n" +
             "cabletest: the replay of " + (dir / "large") +
             " on the simulated line did not run to its end"},
        {{dir / "good", dir / "missing/p.svg"},
         cannot + "write the picture " + (dir / "missing/p.svg") + ": no such folder (error 3)"},
        {{dir / "good", dir / "good"},
         "cabletest: the picture " + (dir / "good") + " would overwrite the FILE it reports on"},
        {{dir / "good", dir / "folder"},
         cannot + "write the picture " + (dir / "folder") +
             ": access denied (a folder, or a file or folder this user may not write) (error "
             "5)"}};
    for (const auto& [files, refusal] : cases) {
        Args args = {"--report", files[0], "--svg", files.size() > 1 ? files[1] : picture};
        SimRun run = Program(args);
        EXPECT_TRUE(run.status.Exited(1)) << refusal;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, refusal + "\n");
        EXPECT_NE(access(picture.c_str(), F_OK), 0) << "picture left behind: " << refusal;
    }
    EXPECT_EQ(tty.Read(), "") << "written down the line";
    // A picture that was there is left as it was.
    WriteFile(picture, "before");
    EXPECT_TRUE(Program({"--report", dir / "repeat", "--svg", picture}).status.Exited(1));
    EXPECT_EQ(ReadFile(picture), "before");
}

TEST(Report, GoesWithSvgAloneAndSvgWithIt) {
    for (const Args& args : {Args{"--svg", "p.svg"}, Args{"--report", "shift.rec", "sim"},
                             Args{"--report", "shift.rec", "-t"}, Args{"--report"}}) {
        SimRun run = Program(args);
        EXPECT_TRUE(run.status.Exited(2)) << args.back();
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find("\nUsage: cabletest [port [debug]]\n"), std::string::npos);
    }
}

// A PNG of 8-bit RGB or RGBA, not interlaced, as rsvg-convert writes it.
struct Image {
    unsigned width = 0, height = 0, channels = 0;
    std::vector<uint8_t> pixels;
    char Colour(unsigned x, unsigned y) const {  // red, green, white or another
        const uint8_t *p = &pixels[(size_t(y) * width + x) * channels], r = p[0], g = p[1],
                      b = p[2];
        return r > 180 && g < 90 && b < 90     ? 'r'
               : r < 90 && g > 100 && b < 90   ? 'g'
               : r > 245 && g > 245 && b > 245 ? 'w'
                                               : '?';
    }
};

#ifdef CABLETEST_HAVE_ZLIB
uint32_t BigEndian(const std::string& s, size_t at) {
    return uint32_t(uint8_t(s[at])) << 24 | uint32_t(uint8_t(s[at + 1])) << 16 |
           uint32_t(uint8_t(s[at + 2])) << 8 | uint8_t(s[at + 3]);
}

bool DecodePng(const std::string& png, Image* image) {
    std::string data;
    for (size_t at = 8; at + 12 <= png.size();) {
        const uint32_t length = BigEndian(png, at);
        const std::string type = png.substr(at + 4, 4);
        if (type == "IHDR") {
            image->width = BigEndian(png, at + 8), image->height = BigEndian(png, at + 12);
            image->channels = png[at + 17] == 6 ? 4 : png[at + 17] == 2 ? 3 : 0;
            if (png[at + 16] != 8 || png[at + 20] != 0 || image->channels == 0)
                return false;
        } else if (type == "IDAT") {
            data += png.substr(at + 8, length);
        }
        at += 12 + length;
    }
    const size_t stride = size_t(image->width) * image->channels, c = image->channels;
    std::vector<uint8_t> raw((stride + 1) * image->height);
    uLongf size = raw.size();
    if (uncompress(raw.data(), &size, (const Bytef*)data.data(), data.size()) != Z_OK ||
        size != raw.size())
        return false;
    image->pixels.assign(stride * image->height, 0);
    for (size_t y = 0; y < image->height; ++y) {
        uint8_t* row = &image->pixels[y * stride];
        const uint8_t* up = y ? row - stride : nullptr;
        for (size_t x = 0; x < stride; ++x) {
            const int a = x >= c ? row[x - c] : 0, b = up ? up[x] : 0,
                      d = x >= c && up ? up[x - c] : 0, p = a + b - d;
            const int pa = abs(p - a), pb = abs(p - b), pd = abs(p - d);
            const int filter = raw[y * (stride + 1)], predictions[] = {0, a, b, (a + b) / 2,
                                                                       pa <= pb && pa <= pd ? a
                                                                       : pb <= pd           ? b
                                                                                            : d};
            if (filter > 4)
                return false;
            row[x] = uint8_t(raw[y * (stride + 1) + 1 + x] + predictions[filter]);
        }
    }
    return true;
}
#endif

// The picture of a minute with a pass every 3 s and, when `drop`, the cable out from 30 s to
// 30.7 s (else a line error near the end); its path, or "" when it was not made.
std::string Picture(const TempDir& dir, bool drop) {
    std::string script = kHeader + "300 cable on\n";
    for (int t = 1000; t < 60000; t += 3000)
        script += std::to_string(t) + " bytes 5 2\n" +
                  (drop && t == 28000 ? "30000 cable off\n30700 cable on\n" : "");
    const std::string name = dir / (drop ? "drop" : "steady");
    WriteFile(name, script + (drop ? "" : "59500 error parity\n") + "60000 end\n");
    SimRun run = Program({"--report", name, "--svg", name + ".svg"});
    EXPECT_TRUE(run.status.Exited(0)) << run.err;
    return run.status.Exited(0) ? name + ".svg" : "";
}

TEST(Picture, IsValidXmlOfItsSize) {
    TempDir dir;
    SimRun read = Program({"python3", "-c",
                           "import sys, xml.etree.ElementTree as E\n"
                           "r = E.parse(sys.argv[1]).getroot()\n"
                           "print(r.tag, r.get('width'), r.get('height'))",
                           Picture(dir, true)},
                          kTool);
    if (read.status.code == 127)
        GTEST_SKIP() << "no python3 to read the XML with";
    EXPECT_EQ(read.out, "{http://www.w3.org/2000/svg}svg 1200 250\n");
}

#ifdef CABLETEST_HAVE_ZLIB
// The cable band: the rows that are green late in the shift, where the cable is connected; its
// ends, where its middle row turns white on either side.
void CableBand(const Image& image, std::vector<unsigned>* rows, unsigned* left, unsigned* right) {
    const unsigned late = image.width * 9 / 10;
    for (unsigned y = 0; y < image.height; ++y)
        if (image.Colour(late, y) == 'g')
            rows->push_back(y);
    const unsigned middle = rows->empty() ? 0 : (*rows)[rows->size() / 2];
    for (*left = late; *left > 0 && image.Colour(*left - 1, middle) != 'w';)
        --*left;
    for (*right = late; *right + 1 < image.width && image.Colour(*right + 1, middle) != 'w';)
        ++*right;
}

TEST(Picture, RenderedADropOutShowsInTheCableBandWhereItHappenedAndNowhereElse) {
    TempDir dir;
    if (!Program({"rsvg-convert", "--version"}, kTool).status.Exited(0))
        GTEST_SKIP() << "no rsvg-convert (Debian librsvg2-bin) to render the picture with";
    Image images[2];
    for (int drop = 0; drop < 2; ++drop) {
        const std::string svg = Picture(dir, drop), png = svg + ".png";
        ASSERT_TRUE(Program({"rsvg-convert", svg, "-o", png}, kTool).status.Exited(0));
        ASSERT_TRUE(DecodePng(ReadFile(png), &images[drop]));
        ASSERT_EQ(images[drop].width, 1200u);
    }
    std::vector<unsigned> rows;
    unsigned left = 0, right = 0;
    CableBand(images[1], &rows, &left, &right);
    ASSERT_GE(rows.size(), 10u);
    // The drop-out is reported at the first sample after 30 s and ends at the one after 30.7 s.
    const double from = left + (right - left) * 30.0 / 60, to = left + (right - left) * 30.9 / 60;
    std::set<unsigned> red;
    for (unsigned y : rows)
        for (unsigned x = 0; x < images[1].width; ++x) {
            if (images[1].Colour(x, y) == 'r')
                red.insert(x);
            EXPECT_NE(images[0].Colour(x, y), 'r') << x << "," << y;
        }
    ASSERT_FALSE(red.empty());
    EXPECT_GE(*red.begin(), from - 2);
    EXPECT_LE(*red.rbegin(), to + 2);
    EXPECT_GE(red.size(), 8u) << "0.7 s of 60 s in about 1050 px";
}
#endif

// The recording ("shift"), the same with its end ("replay") and the log ("log") of a shift.
void WriteShift(const TempDir& dir, uint64_t hours) {
    std::string recording = kHeader + "570 cable on\n", log = kBanner;
    for (uint64_t t = 1000; t < hours * 3600 * 1000; t += 10000)
        for (int i = 0; i < 12; ++i)
            recording += std::to_string(t + 2 * i) + " bytes 1 1 55\n";
    for (int i = 0; i < 100000; ++i) {
        const int ms = i * 250, s = ms / 1000;
        char line[64];
        snprintf(line, sizeof line, "2026-12-07 %02d:%02d:%02d.%03d %s", 6 + s / 3600, s / 60 % 60,
                 s % 60, ms % 1000,
                 i % 4   ? "(2)ClearCommError\n"
                 : i % 8 ? kPass.c_str()
                         : kConnected.c_str());
        log += line;
    }
    WriteFile(dir / "shift", recording);
    WriteFile(dir / "replay", recording + std::to_string(hours * 3600000 + 1000) + " end\n");
    WriteFile(dir / "log", log);
}

// An 8-hour recording as --record writes it (12 bytes 2 ms apart every 10 s, one line a byte),
// and a log of 100 000 lines, each reported with its picture. The recording's replay is the clock's
// part; what the report adds to it is timed on the replay's output.
TEST(Report, AShiftIsReportedWithItsPictureInAboutTheTimeOfItsReplay) {
    TempDir dir;
    const uint64_t hours = kTimed ? 8 : 1;
    WriteShift(dir, hours);
    auto timed = [&](const Args& args, Env env, std::string* out) {
        const double start = Now();
        Child child({args, std::move(env)});
        EXPECT_TRUE(child.Wait(200000).Exited(0)) << child.err;
        *out = child.out;
        return Now() - start;
    };
    std::string report, replay, fromLog;
    const double whole = timed({"--report", dir / "shift", "--svg", dir / "s.svg"}, {}, &report);
    const double alone = timed(
        {"-t", "sim"},
        {{"CABLETEST_CLOCK", "virtual"}, {"CABLETEST_SIM_SCRIPT", dir / "replay"}, {"TZ", "UTC"}},
        &replay);
    const std::string passes = "Carriage passes: " + std::to_string(hours * 360) + ", one every";
    EXPECT_NE(report.find("\n" + passes + " 10.0 s"), std::string::npos);
    // Beyond the replay, the report reads its output, summarises and draws it.
    WriteFile(dir / "replayed", replay);
    std::vector<double> beyond, logs;
    for (int round = 0; round < 3; ++round) {
        beyond.push_back(
            timed({"--report", dir / "replayed", "--svg", dir / "r.svg"}, {}, &report));
        EXPECT_NE(report.find("\n" + passes), std::string::npos);
        logs.push_back(timed({"--report", dir / "log", "--svg", dir / "l.svg"}, {}, &fromLog));
        EXPECT_NE(fromLog.find("\nCarriage passes: 12500,"), std::string::npos);
    }
    std::sort(beyond.begin(), beyond.end());
    std::sort(logs.begin(), logs.end());
    std::cout << hours << "-hour recording: report " << whole << " s, its replay alone " << alone
              << " s, the report on the replay's output " << beyond[1] << " s; a 100 000-line log "
              << logs[1] << " s (medians), each with the picture\n";
    if (kTimed) {
        EXPECT_LT(beyond[1], 1.0);
        EXPECT_LT(logs[1], 1.0);
    }
}

}  // namespace
