// Replays the fuzz targets' inputs through the same property checks in the ordinary suite: the
// committed seeds and every input that once broke a property (tests/fuzz_regressions/<target>/,
// one file per fault found). A broken property aborts the test program, which fails the test.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

using Target = int(const uint8_t* data, size_t size);
extern "C" Target FuzzKeyDecode, FuzzSimScript, FuzzPortName;

namespace {

TEST(FuzzReplay, EveryTargetsSeedsAndRegressionsKeepTheirProperties) {
    const std::pair<std::string, Target*> targets[] = {
        {"keydecode", FuzzKeyDecode}, {"sim_script", FuzzSimScript}, {"portname", FuzzPortName}};
    for (const auto& target : targets) {
        size_t count = 0;
        for (const char* dir : {CABLETEST_FUZZ_CORPUS, CABLETEST_FUZZ_REGRESSIONS}) {
            std::error_code absent;  // a target may have no regressions yet
            for (const auto& e :
                 std::filesystem::directory_iterator(dir + ("/" + target.first), absent)) {
                const std::string name = e.path().filename().string();
                if (name[0] == '.' || name == "README")
                    continue;
                SCOPED_TRACE(e.path().string());
                std::ifstream in(e.path(), std::ios::binary);
                const std::string bytes((std::istreambuf_iterator<char>(in)), {});
                target.second(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
                ++count;
            }
        }
        EXPECT_GT(count, 0u) << target.first << " has no seeds";
        target.second(reinterpret_cast<const uint8_t*>(""), 0);  // where off-by-ones hide
    }
}

}  // namespace
