// The Windows writer: failures leave the path as it was, and a save replaces the file whole.
#include "image/AtomicFileWriter.h"
#include "image/windows/Handle.h"
#include "image/windows/PendingTemporary.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <windows.h>

namespace stavenwick {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using testing::listDirectory;
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
    struct Case {
        const char* name;
        DWORD sharing;
        bool letGoSoon; // the holder closes its handle a moment after the save starts
        bool saved;
    };
    const Case cases[] = {
        // a viewer that shares reading and writing but not deleting: a plain write succeeds
        {"shares writing", FILE_SHARE_READ | FILE_SHARE_WRITE, false, true},
        {"shares reading only", FILE_SHARE_READ, false, false},
        // another save holding it for a moment: tried again until it lets go
        {"shares nothing, for a moment", 0, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        // larger than the content: written in place, the file is cut to the content's size
        const std::vector<unsigned char> earlier(3 * CONTENT.size(), 'e');
        writeFile(dir / "test.bmp", earlier);
        const std::wstring path = fs::path(dir / "test.bmp").wstring();
        HANDLE viewer = CreateFileW(path.c_str(), GENERIC_READ, c.sharing, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(viewer, INVALID_HANDLE_VALUE);
        std::thread holder;
        if (c.letGoSoon) {
            holder = std::thread([viewer] {
                Sleep(3);
                CloseHandle(viewer);
            });
        }
        FileError error;
        const bool saved =
            writeFileAtomically(dir / "test.bmp", {{CONTENT.data(), CONTENT.size()}}, error);
        if (c.letGoSoon) {
            holder.join();
        } else {
            CloseHandle(viewer);
        }
        EXPECT_EQ(saved, c.saved);
        EXPECT_TRUE(readFile(dir / "test.bmp") == (c.saved ? CONTENT : earlier));
        EXPECT_EQ(error.code ? error.message() : "", c.saved ? "" : "in use by another program");
        EXPECT_THAT(dir.entries(), ElementsAre("test.bmp"));
    }
}

// Saves in place, where no temporary may take the file's place, on disks that Windows programs
// cannot make for themselves: .ci/cross prepares them under LUMIVAR_TEST_DISKS (locked/, a
// directory no file may be created in, holding test.bmp; small/, a small file system).
TEST(AtomicFileWriterWindowsTest, SavesInPlaceKeepTheFileWholeWhereTheRoomCannotBeHad)
{
    const char* disks = std::getenv("LUMIVAR_TEST_DISKS");
    if (disks == nullptr) {
        GTEST_SKIP() << "no prepared disks (LUMIVAR_TEST_DISKS)";
    }
    // larger than a page, so that an unreserved write past the file's first page would fail
    const std::vector<unsigned char> content(16 * CONTENT.size(), 'c');
    struct Case {
        const char* name;
        const char* disk;
        bool full; // the disk filled, and the file held by a viewer that shares writing
        std::error_code error;
    };
    const Case cases[] = {
        {"a directory no file may be created in", "locked", false, {}},
        {"a full disk", "small", true, std::make_error_code(std::errc::no_space_on_device)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path disk = fs::path(disks) / c.disk;
        std::optional<TempDir> dir;
        fs::path path = disk / "test.bmp";
        if (c.full) {
            dir.emplace(disk);
            path = dir->path() / "test.bmp";
            writeFile(path.string(), EARLIER);
        }
        const std::vector<unsigned char> before = readFile(path.string());
        Handle viewer;
        if (c.full) {
            viewer.reset(CreateFileW(path.wstring().c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(viewer.valid());
            std::ofstream filler(dir->path() / "filler", std::ios::binary);
            const std::vector<char> block(65536, 'f');
            while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {
            }
        }
        const std::vector<std::string> entries = listDirectory(path.parent_path().string());
        FileError error;
        const bool saved =
            writeFileAtomically(path.string(), {{content.data(), content.size()}}, error);
        EXPECT_EQ(saved, !c.error);
        EXPECT_EQ(error.code, c.error) << error.message();
        EXPECT_TRUE(readFile(path.string()) == (c.error ? before : content));
        EXPECT_EQ(listDirectory(path.parent_path().string()), entries);
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

// A console event (Ctrl+C, a closed console) removes the temporaries of the saves in progress,
// and then lets the default handler end the program, as it would have without them.
TEST(AtomicFileWriterWindowsTest, ConsoleEventRemovesTheTemporariesAndLetsTheProgramEnd)
{
    TempDir dir;
    writeFile(dir / "first.tmp", EARLIER);
    writeFile(dir / "second.tmp", EARLIER);
    std::optional<PendingTemporary> first(std::in_place, fs::path(dir / "first.tmp").wstring());
    const PendingTemporary second(fs::path(dir / "second.tmp").wstring());
    first.reset(); // taken its file's place, say: no longer the handler's
    EXPECT_EQ(PendingTemporary::onConsoleEvent(CTRL_C_EVENT), FALSE);
    EXPECT_THAT(dir.entries(), ElementsAre("first.tmp"));
}

} // namespace
} // namespace stavenwick
