#pragma once

// Whole files read and replaced at once. A replacement is atomic: the new contents go to a
// temporary file in the same folder, which is flushed to the disk and then renamed over the old
// file, so a reader (or a process started after a crash, a kill or a full disk) sees the old file
// or the new one, never a part of either.

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace zelk::posix {

// Writes bytes to a file descriptor as write(2) does: the count written, or -1 with errno set.
// Tests put a failing one in place of the system's to stand for a full disk.
using WriteFunction = std::function<ssize_t(int fd, const void* data, size_t size)>;

enum class ReadResult { kRead, kMissing, kFailed };

// The file's whole contents; kMissing when there is no file, kFailed (with a reason) when it
// cannot be read.
ReadResult ReadWholeFile(const std::string& path, std::string* contents, std::string* error);

// Replaces the file at path (creating it when missing) with contents. The temporary file is
// created exclusively (a link standing in its place is never followed) and takes the old file's
// permission bits and, as far as this process may, its owner and group; a new file gets the usual
// ones under the process's umask. A file this process may not write is refused, not replaced.
// Other hard links to the old file keep the old contents. A path that is a
// symbolic link has its target replaced, so the link stays. False with a reason when anything
// fails; the old file is then untouched and no temporary file is left behind. A null write
// function is the system's write(2).
bool ReplaceWholeFile(const std::string& path, std::string_view contents, std::string* error,
                      const WriteFunction& write = nullptr);

}  // namespace zelk::posix
