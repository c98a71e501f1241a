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
        {"\x9b"
         "31mred",
         "$'\\23331mred'"}, // C1 CSI, a byte that is not UTF-8
        {"\xc2\x9b"
         "31mred",
         "$'\\302\\23331mred'"},                                  // C1 CSI as UTF-8
        {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"}, // UTF-8 letters: as they are
        {"caf\xe9", "$'caf\\351'"},                               // Latin-1: not UTF-8
        {"\xed\xa0\x80\xc0\xaf", "$'\\355\\240\\200\\300\\257'"}, // surrogate, overlong
        {"\xe0\x9f\xbf", "$'\\340\\237\\277'"},                   // overlong three bytes
        {"\xf4\x90\x80\x80", "$'\\364\\220\\200\\200'"},          // past U+10FFFF
        {"\xc2\x9f", "$'\\302\\237'"},                            // U+009F, the last C1
        {"\xc2\xa0\xf0\x9f\x96\xbc", "\xc2\xa0\xf0\x9f\x96\xbc"}, // U+00A0, four bytes
        {"\xe2\x82\x41", "$'\\342\\202A'"},                       // bad third byte
        {"\xf0\x9f\x96\x41", "$'\\360\\237\\226A'"},              // bad fourth byte
        {"\xf5\x80\x80\x80", "$'\\365\\200\\200\\200'"},          // leads past F4
        {"\xf7\xbf\xbf\xbf", "$'\\367\\277\\277\\277'"},
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
