#include "platform/posix/whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/posix/unique_fd.h"

namespace zelk::posix {

namespace {

bool Fail(std::string* error, const std::string& what, int code) {
    if (error != nullptr)
        *error = what + ": " + std::strerror(code);
    return false;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates a file of a name no one else uses beside `path`, exclusively.
int CreateTemporary(const std::string& path, mode_t mode, std::string* name) {
    static std::atomic<unsigned> counter{0};
    const size_t slash = path.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        *name = folder + "." + base + "." + std::to_string(getpid()) + "." +
                std::to_string(counter.fetch_add(1)) + ".tmp";
        const int fd = open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

bool WriteAll(int fd, std::string_view contents, const WriteFunction& write) {
    size_t done = 0;
    while (done < contents.size()) {
        const ssize_t wrote = write ? write(fd, contents.data() + done, contents.size() - done)
                                    : ::write(fd, contents.data() + done, contents.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            if (wrote == 0)
                errno = EIO;
            return false;
        }
        done += static_cast<size_t>(wrote);
    }
    return true;
}

}  // namespace

ReadResult ReadWholeFile(const std::string& path, std::string* contents, std::string* error) {
    contents->clear();
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ENOENT)
            return ReadResult::kMissing;
        Fail(error, "cannot open " + path, errno);
        return ReadResult::kFailed;
    }
    char chunk[4096];
    for (;;) {
        const ssize_t got = read(fd.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            Fail(error, "cannot read " + path, errno);
            return ReadResult::kFailed;
        }
        if (got == 0)
            return ReadResult::kRead;
        contents->append(chunk, static_cast<size_t>(got));
    }
}

bool ReplaceWholeFile(const std::string& path, std::string_view contents, std::string* error,
                      const WriteFunction& write) {
    std::string target = path;
    struct stat status {};
    if (lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
        char resolved[PATH_MAX];
        if (realpath(path.c_str(), resolved) == nullptr)
            return Fail(error, "cannot follow the link " + path, errno);
        target = resolved;
    }
    const bool exists = stat(target.c_str(), &status) == 0;
    if (exists && !S_ISREG(status.st_mode))
        return Fail(error, "cannot replace " + target, EISDIR);
    // A file its owner made read-only stays as it is, as the platform leaves it.
    if (exists && access(target.c_str(), W_OK) != 0)
        return Fail(error, "cannot write " + target, errno);

    std::string temporary;
    UniqueFd fd(CreateTemporary(target, 0666, &temporary));
    if (!fd.valid())
        return Fail(error, "cannot create a file beside " + target, errno);
    // Past here every failure removes the temporary file.
    auto failed = [&](const std::string& what) {
        const int code = errno;
        unlink(temporary.c_str());
        return Fail(error, what, code);
    };
    if (exists) {
        // The owner as far as this process may give it (a user cannot give a file away).
        if (fchown(fd.get(), status.st_uid, status.st_gid) != 0)
            (void)!fchown(fd.get(), static_cast<uid_t>(-1), status.st_gid);
        if (fchmod(fd.get(), status.st_mode & 07777) != 0)
            return failed("cannot give " + temporary + " the permissions of " + target);
    }
    if (!WriteAll(fd.get(), contents, write))
        return failed("cannot write " + temporary);
    if (fsync(fd.get()) != 0)
        return failed("cannot flush " + temporary);
    if (close(fd.Release()) != 0)
        return failed("cannot close " + temporary);
    if (rename(temporary.c_str(), target.c_str()) != 0)
        return failed("cannot rename " + temporary + " to " + target);
    // The rename itself reaches the disk with the folder; a folder that cannot be flushed (some
    // file systems refuse) leaves the replacement done all the same.
    UniqueFd folder(open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid())
        fsync(folder.get());
    return true;
}

}  // namespace zelk::posix
