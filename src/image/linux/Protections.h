// What guards a file beyond its content, and whether a directory lets an entry be replaced.
#pragma once

namespace stavenwick {

// Gives the file open at to the owner, group, extended attributes (the ACL among them), file
// flags (chattr's) and mode of the file open at from, and no attribute from has not. False where
// any of them cannot be kept exactly.
bool copyProtections(int from, int to);

// Whether the directory (any handle, O_PATH too) lets entries be added but neither removed nor
// renamed: append-only or immutable.
bool isAppendOnly(int directory);

} // namespace stavenwick
