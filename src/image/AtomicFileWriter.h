// Writes a file's whole content so that readers find the earlier file or the new one, never a
// part of either, wherever that keeps the file's protections, and nothing of the attempt is left
// behind when it fails.
#pragma once

#include "image/FileError.h"

#include <cstddef>
#include <initializer_list>
#include <string>

namespace stavenwick {

// A piece of the content: the file is its pieces one after the other.
struct Bytes {
    const void* data;
    std::size_t size;
};

// Writes the pieces as the whole content of the file at path (a UTF-8 name on Windows). The
// name is opened as a plain open for writing opens it (creating it, not truncating it), so it
// succeeds wherever such an open and a write would, and fails as that open fails: the system
// resolves links, applies permissions and its rules on files planted in shared directories, and
// waits for a lease to end or a FIFO's reader to come.
// - A regular file is replaced by a temporary written beside it and flushed to disk first, with
//   the old file's owner, group, mode, ACL, extended attributes and file flags; a link to it
//   stays a link. Where those cannot be kept, where the file has other names (hard links), which
//   a plain write would change too, or where the system refuses a step that a plain write does
//   not take (a directory that may not be written or opened, is append-only or has no free
//   inode, a bind-mounted file, no /proc to name the opened file), it is written in place
//   instead, but only once the room for it is reserved or seen free: where the room cannot be
//   had, the old file stays as it was. A file the open created is removed again if the save
//   fails.
// - Anything else that opens for writing (a FIFO, a device, a pipe behind /dev/stdout) is
//   written as a stream, as a shell's redirection writes it.
// - Content past the file size limit (RLIMIT_FSIZE) is refused before any byte is written
//   (EFBIG), with no SIGXFSZ.
// A name with an embedded NUL is refused (EINVAL).
// Returns false, with the reason in error, when the file was not written; the path then holds
// what it held before. The one exception is error.saved: the new content is in place, but its
// directory could not be flushed, so it may not outlive a crash. No temporary outlives a
// failure, nor SIGINT, SIGTERM, SIGHUP or SIGQUIT: the calling thread holds them back while it
// writes a regular file, and they end the program right after. A SIGPIPE that the save's own
// write raises (a reader that left) is reported as EPIPE; any other SIGPIPE stays pending for
// the caller. Saves from several threads are safe, but a program whose other threads may take
// those signals must block them there too.
bool writeFileAtomically(const std::string& path, std::initializer_list<Bytes> content,
                         FileError& error);

} // namespace stavenwick
