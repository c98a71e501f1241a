// Writes a file's whole content so that readers find the earlier file or the new one, never a
// part of either, wherever that keeps the file's protections, and nothing of the attempt is left
// behind when it fails.
#pragma once

#include "image/FileError.h"

#include <cstddef>
#include <string>

namespace stavenwick {

// Writes size bytes as the whole content of the file at path. It succeeds wherever a plain
// open (create, truncate) and write of the path would, and the kernel's checks on such an open
// apply (links and files planted in shared directories among them). The system resolves the
// path as a plain open would, following symbolic links where it allows them.
// - An existing regular file is replaced by a temporary written beside it and flushed to disk
//   first, with the old file's owner, group, mode, ACL and extended attributes; a link to it
//   stays a link, hard links to it keep the old content. Where those protections cannot be
//   kept, or the system refuses a step that a plain write does not take (a directory that may
//   not be written, is append-only or has no free inode, a bind-mounted file), it is written in
//   place instead, but only once the room for it is reserved and the file size limit checked:
//   where the room cannot be had, the old file stays as it was.
// - A path that names nothing yet is created with a plain create's permissions, complete.
// - Anything else that opens for writing (a FIFO, a device) is written in place; a directory
//   or a socket is an error and stays as it was. A FIFO whose reader leaves reports EPIPE, and
//   the SIGPIPE the write raised is discarded.
// A name with an embedded NUL is refused (EINVAL).
// Returns false, with the reason in error, when the file was not written; the path then holds
// what it held before. The one exception is error.saved: the new content is in place, but its
// directory could not be flushed, so it may not outlive a crash. No temporary outlives a
// failure, nor SIGINT, SIGTERM, SIGHUP or SIGQUIT: the calling thread holds them back while a
// name of the save's exists or a file is rewritten in place, and they end the program right
// after. Saves from several threads are safe, but a program whose other threads may take those
// signals must block them there too.
bool writeFileAtomically(const std::string& path, const void* data, std::size_t size,
                         FileError& error);

// For tests: called, where set, once the new content is complete (and its temporary has a
// name) and right before the old file is replaced or its first byte changes.
void setBeforeChangeHook(void (*hook)());

} // namespace stavenwick
