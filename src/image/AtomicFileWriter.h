// Writes a file's whole content so that readers find the earlier file or the new one, never a
// part of either, and nothing of the attempt is left behind when it fails.
#pragma once

#include "image/FileError.h"

#include <cstddef>
#include <string>

namespace stavenwick {

// Writes size bytes as the whole content of the file at path. The system resolves the path as
// a plain open would, following symbolic links where it allows them.
// - An existing regular file must be writable. It is replaced by a temporary written beside it
//   and flushed to disk first; the new file keeps the old one's permissions, and its owner where
//   the process may set it. A link to it stays a link. Hard links to it keep the old content.
// - A path that names nothing yet is created as a plain create would, through a temporary too.
// - Anything else that opens for writing (a FIFO, a device) is written in place; a directory
//   or a socket is an error and stays as it was.
// Returns false, with the reason in error, when the file was not written; the path then holds
// what it held before. No temporary outlives a failure, nor SIGINT, SIGTERM, SIGHUP or SIGQUIT
// arriving during the write (the signal then ends the program as it would have).
bool writeFileAtomically(const std::string& path, const void* data, std::size_t size,
                         FileError& error);

// For tests: called, where set, once the temporary is complete and right before it replaces the
// file.
void setBeforeReplaceHook(void (*hook)());

} // namespace stavenwick
