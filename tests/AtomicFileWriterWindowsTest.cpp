// The Windows writer: failures leave the path as it was, and a save replaces the file whole.
#include "image/AtomicFileWriter.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <windows.h>

namespace stavenwick {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

const std::vector<unsigned char> EARLIER = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
// every byte value, the line feed among them: no text-mode translation may touch them
const std::vector<unsigned char> CONTENT = [] {
    std::vector<unsigned char> bytes;
    for (int i = 0; i < 4096; ++i) {
        bytes.push_back(static_cast<unsigned char>(i));
    }
    return bytes;
}();

std::error_code save(const std::string& path)
{
    FileError error;
    const bool saved = writeFileAtomically(path, {{CONTENT.data(), CONTENT.size()}}, error);
    EXPECT_EQ(saved, !error.code);
    return error.code;
}

TEST(AtomicFileWriterWindowsTest, FailuresLeaveThePathAsItWas)
{
    struct Case {
        const char* name;
        std::function<void(const TempDir&)> setup;
        const char* path;
        std::errc error;
    };
    const Case cases[] = {
        {"missing directory", [](const TempDir&) {}, "missing/test.bmp",
         std::errc::no_such_file_or_directory},
        {"directory", [](const TempDir& d) { fs::create_directory(d / "test.bmp"); }, "test.bmp",
         std::errc::is_a_directory},
        {"read-only file",
         [](const TempDir& d) {
             writeFile(d / "test.bmp", EARLIER);
             fs::permissions(d / "test.bmp", fs::perms::owner_write, fs::perm_options::remove);
         },
         "test.bmp", std::errc::permission_denied},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        c.setup(dir);
        const std::vector<std::string> before = dir.entries();
        // refused where a plain open refuses (Wine run by root writes read-only files)
        const bool plainRefuses =
            !fs::is_regular_file(dir / c.path) || !std::ofstream(dir / c.path, std::ios::app);
        const std::error_code saved = save(dir / c.path);
        EXPECT_EQ(dir.entries(), before);
        if (!plainRefuses) {
            EXPECT_EQ(saved, std::error_code());
            continue;
        }
        EXPECT_EQ(saved, std::make_error_code(c.error));
        if (fs::is_regular_file(dir / "test.bmp")) {
            EXPECT_TRUE(readFile(dir / "test.bmp") == EARLIER);
            fs::permissions(dir / "test.bmp", fs::perms::owner_write, fs::perm_options::add);
        }
    }
}

TEST(AtomicFileWriterWindowsTest, SavesCreateAndReplaceWithTheExactBytes)
{
    TempDir dir;
    for (const char* path : {"test.bmp", "test.bmp"}) { // created, then replaced
        EXPECT_EQ(save(dir / path), std::error_code());
        EXPECT_TRUE(readFile(dir / path) == CONTENT);
        EXPECT_THAT(dir.entries(), ElementsAre("test.bmp"));
    }
    // a name relative to the working directory, as the program gives it
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    for (int run = 0; run < 2; ++run) { // created, then replaced
        EXPECT_EQ(save("relative.bmp"), std::error_code());
    }
    fs::current_path(before);
    EXPECT_TRUE(readFile(dir / "relative.bmp") == CONTENT);
    // either separator; names in UTF-8, found under the same name by the wide calls
    fs::create_directory(dir / "sub");
    EXPECT_EQ(save(dir.path().string() + "\\sub/test.bmp"), std::error_code());
    EXPECT_TRUE(readFile(dir / "sub/test.bmp") == CONTENT);
    EXPECT_EQ(save(dir.path().string() + "/\xc3\xbc-utf8.bmp"), std::error_code());
    EXPECT_TRUE(fs::exists(dir.path() / L"\u00fc-utf8.bmp"));
    EXPECT_EQ(save(dir.path().string() + "/\xfc-latin1.bmp"), std::errc::illegal_byte_sequence);
    // an empty name is valid UTF-8, and names nothing
    const std::error_code empty = save("");
    EXPECT_TRUE(empty);
    EXPECT_NE(empty, std::errc::illegal_byte_sequence);
    // one FileError through a failed save and then a good one: the good one clears it
    FileError reused;
    EXPECT_FALSE(writeFileAtomically(dir / "sub", {{CONTENT.data(), CONTENT.size()}}, reused));
    EXPECT_TRUE(writeFileAtomically(dir / "test.bmp", {{CONTENT.data(), CONTENT.size()}}, reused));
    EXPECT_FALSE(reused.code);
}

TEST(AtomicFileWriterWindowsTest, FileHeldByAnotherProgramIsWrittenWhereItSharesWriting)
{
    // a viewer that shares reading and writing but not deleting: a plain write succeeds there
    for (const DWORD sharing :
         {DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE}, DWORD{FILE_SHARE_READ}}) {
        const bool writable = (sharing & FILE_SHARE_WRITE) != 0;
        SCOPED_TRACE(writable ? "shares writing" : "shares reading only");
        TempDir dir;
        // larger than the content: written in place, the file is cut to the content's size
        const std::vector<unsigned char> earlier(3 * CONTENT.size(), 'e');
        writeFile(dir / "test.bmp", earlier);
        const std::wstring path = fs::path(dir / "test.bmp").wstring();
        HANDLE viewer = CreateFileW(path.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(viewer, INVALID_HANDLE_VALUE);
        FileError error;
        const bool saved =
            writeFileAtomically(dir / "test.bmp", {{CONTENT.data(), CONTENT.size()}}, error);
        CloseHandle(viewer);
        EXPECT_EQ(saved, writable);
        EXPECT_TRUE(readFile(dir / "test.bmp") == (writable ? CONTENT : earlier));
        EXPECT_EQ(error.code ? error.message() : "", writable ? "" : "in use by another program");
        EXPECT_THAT(dir.entries(), ElementsAre("test.bmp"));
    }
}

TEST(AtomicFileWriterWindowsTest, SavesFromSeveralThreadsAtOnceAllSucceed)
{
    constexpr int SAVERS = 4;
    for (const bool existing : {false, true}) {
        TempDir dir;
        if (existing) {
            writeFile(dir / "test.bmp", EARLIER);
        }
        std::vector<std::error_code> failures(SAVERS);
        std::vector<std::thread> savers;
        savers.reserve(SAVERS);
        for (int i = 0; i < SAVERS; ++i) {
            savers.emplace_back([&, i] {
                for (int round = 0; round < 5 && !failures[i]; ++round) {
                    failures[i] = save(dir / "test.bmp");
                }
            });
        }
        for (std::thread& saver : savers) {
            saver.join();
        }
        EXPECT_THAT(failures, ::testing::Each(std::error_code()));
        EXPECT_TRUE(readFile(dir / "test.bmp") == CONTENT);
        // nothing of ours left; Wine's own ReplaceFileW, which is not atomic, leaves an empty
        // rf*.tmp of its own where another save moved the file away first
        for (const std::string& name : dir.entries()) {
            const bool winesBackup = name.rfind("rf", 0) == 0 && fs::is_empty(dir / name);
            EXPECT_TRUE(name == "test.bmp" || winesBackup) << name;
        }
    }
}

TEST(AtomicFileWriterWindowsTest, NameWithANulInsideIsRefused)
{
    TempDir dir;
    EXPECT_EQ(save(dir.path().string() + "/" + std::string("test.bmp\0.txt", 13)),
              std::make_error_code(std::errc::invalid_argument));
    EXPECT_THAT(dir.entries(), ElementsAre());
}

} // namespace
} // namespace stavenwick
