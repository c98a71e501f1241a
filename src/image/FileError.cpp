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

bool isControl(unsigned char c)
{
    return c < 0x20 || c == 0x7F;
}

} // namespace

const std::error_category& saveCategory()
{
    static const SaveCategory category;
    return category;
}

std::string quotedName(const std::string& name)
{
    bool plain = true;
    for (const char c : name) {
        plain = plain && !isControl(static_cast<unsigned char>(c));
    }
    if (plain) {
        return name;
    }
    std::string quoted = "$'";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            quoted += "\\n";
        } else if (c == '\t') {
            quoted += "\\t";
        } else if (c == '\'' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (isControl(byte)) {
            char octal[5];
            std::snprintf(octal, sizeof octal, "\\%03o", byte);
            quoted += octal;
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

} // namespace stavenwick
