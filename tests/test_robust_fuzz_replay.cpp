// Replays the fuzz targets' inputs through the same property checks in the
// ordinary test suite: the committed seeds and every input that once broke a
// property (tests/fuzz_regressions/<target>/, one file per fault found). A
// broken property aborts the test program, which fails the test.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int FuzzKeyDecode(const uint8_t* data, size_t size);
extern "C" int FuzzSimScript(const uint8_t* data, size_t size);
extern "C" int FuzzPortName(const uint8_t* data, size_t size);

namespace {

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> files;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name[0] != '.' && name != "README")
                files.push_back(dir + "/" + name);
        }
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Runs every input of the target's seed corpus and regression folder;
// returns how many there were.
size_t Replay(const std::string& target, int (*entry)(const uint8_t*, size_t)) {
    size_t count = 0;
    for (const std::string& dir : {std::string(CABLETEST_FUZZ_CORPUS) + "/" + target,
                                   std::string(CABLETEST_FUZZ_REGRESSIONS) + "/" + target}) {
        for (const std::string& file : FilesIn(dir)) {
            std::ifstream in(file, std::ios::binary);
            std::string bytes((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
            SCOPED_TRACE(file);
            entry(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            ++count;
        }
    }
    // The empty input is where most off-by-one faults hide.
    static const uint8_t kNothing[1] = {0};
    entry(kNothing, 0);
    return count;
}

TEST(FuzzReplay, KeyDecoderInputsKeepTheirProperties) {
    EXPECT_GT(Replay("keydecode", FuzzKeyDecode), 0u);
}

TEST(FuzzReplay, SimScriptInputsKeepTheirProperties) {
    EXPECT_GT(Replay("sim_script", FuzzSimScript), 0u);
}

TEST(FuzzReplay, PortNameInputsKeepTheirProperties) {
    EXPECT_GT(Replay("portname", FuzzPortName), 0u);
}

}  // namespace
