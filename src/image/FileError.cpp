#include "image/FileError.h"

#include <cstdio>

namespace stavenwick {

namespace {

class SaveCategory : public std::error_category {
public:
    const char* name() const noexcept override { return "lumivar.save"; }
    std::string message(int value) const override
    {
        switch (static_cast<SaveProblem>(value)) {
        case SaveProblem::changedDuringSave:
            return "the file changed during the save";
        case SaveProblem::inUse:
            return "in use by another program";
        }
        return "unknown problem";
    }
};

// The length of the well-formed UTF-8 character at the start of text (1 for ASCII), 0 where
// the bytes there are not one: no overlong forms, no surrogates, nothing past U+10FFFF.
std::size_t characterLength(const unsigned char* text, std::size_t left)
{
    const unsigned char lead = text[0];
    if (lead < 0x80) {
        return 1;
    }
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (lead < 0xC2 || lead > 0xF4 || left < length) {
        return 0;
    }
    const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (text[1] < low || text[1] > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (text[i] < 0x80 || text[i] > 0xBF) {
            return 0;
        }
    }
    return length;
}

// C0 and DEL, the C1 controls U+0080 to U+009F (CSI among them), and any byte that is not
// UTF-8: some terminals read a lone 0x9B as CSI too.
bool isControl(const unsigned char* character, std::size_t length)
{
    return length == 0 || (length == 1 && (character[0] < 0x20 || character[0] == 0x7F)) ||
           (length == 2 && character[0] == 0xC2 && character[1] < 0xA0);
}

void escape(unsigned char byte, std::string& quoted)
{
    if (byte == '\n') {
        quoted += "\\n";
    } else if (byte == '\t') {
        quoted += "\\t";
    } else {
        char octal[5];
        std::snprintf(octal, sizeof octal, "\\%03o", byte);
        quoted += octal;
    }
}

} // namespace

const std::error_category& saveCategory()
{
    static const SaveCategory category;
    return category;
}

std::string quotedName(const std::string& name)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(name.data());
    std::string quoted = "$'";
    bool plain = true;
    for (std::size_t at = 0; at < name.size();) {
        const std::size_t length = characterLength(bytes + at, name.size() - at);
        const std::size_t count = length == 0 ? 1 : length;
        if (isControl(bytes + at, length)) {
            plain = false;
            for (std::size_t i = 0; i < count; ++i) {
                escape(bytes[at + i], quoted);
            }
        } else {
            if (name[at] == '\'' || name[at] == '\\') {
                quoted += '\\';
            }
            quoted.append(name, at, count);
        }
        at += count;
    }
    return plain ? name : quoted + "'";
}

} // namespace stavenwick
