// Replays every input kept from fuzzing (fuzz/regressions: inputs that once failed; fuzz/corpus:
// the seeds) through the fuzz target, in the ordinary test run.
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace stavenwick {
namespace {

TEST(FuzzRegressionTest, EveryKeptInputStillPasses)
{
    std::size_t replayed = 0;
    for (const char* folder : {"regressions", "corpus"}) {
        const std::filesystem::path dir = std::filesystem::path(LUMIVAR_FUZZ_DIR) / folder;
        for (const std::string& name : testing::listDirectory(dir.string())) {
            if (name[0] == '.') {
                continue; // .keep holds the folder in git
            }
            SCOPED_TRACE(std::string(folder) + "/" + name);
            const std::vector<unsigned char> input = testing::readFile((dir / name).string());
            EXPECT_EQ(LLVMFuzzerTestOneInput(input.data(), input.size()), 0);
            ++replayed;
        }
    }
    EXPECT_GT(replayed, 0u);
}

} // namespace
} // namespace stavenwick
