// Messages about files: one line each, whatever the names hold.
#include "image/FileError.h"

#include <gtest/gtest.h>

#include <string>

namespace stavenwick {
namespace {

TEST(FileErrorTest, NamesWithControlCharactersAreQuotedOnOneLine)
{
    const struct {
        std::string name;
        std::string shown;
    } cases[] = {
        {"test.bmp", "test.bmp"},
        {"/srv/pictures/it's here", "/srv/pictures/it's here"}, // nothing to hide: as it is
        {"a\nb", "$'a\\nb'"},
        {"tab\there", "$'tab\\there'"},
        {"\x1b[31mred", "$'\\033[31mred'"},
        {"it's\x7f", "$'it\\'s\\177'"},
        {"back\\slash\r", "$'back\\\\slash\\015'"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(quotedName(c.name), c.shown);
    }
}

TEST(FileErrorTest, MessagesNameTheStepAndTheReason)
{
    FileError error{std::make_error_code(std::errc::no_space_on_device),
                    "cannot create a temporary file in ."};
    EXPECT_EQ(error.message(), "cannot create a temporary file in .: " +
                                   std::make_error_code(std::errc::no_space_on_device).message());
    error = FileError{SaveProblem::changedDuringSave, ""};
    EXPECT_EQ(error.message(), "the file changed during the save");
    error = FileError{SaveProblem::inUse, ""};
    EXPECT_EQ(error.message(), "in use by another program");
}

} // namespace
} // namespace stavenwick
