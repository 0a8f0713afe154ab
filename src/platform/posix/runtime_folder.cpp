#include "platform/posix/runtime_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zelk::posix {

namespace {

bool IsSet(const char* value) {
    return value != nullptr && value[0] != '\0';
}

RuntimeFolderCheck Problem(RuntimeFolderProblem problem, const std::string& folder,
                           const std::string& what) {
    return RuntimeFolderCheck{problem, "runtime folder " + folder + " " + what};
}

std::string Octal(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777u);
    return text;
}

}  // namespace

std::string ResolveRuntimeFolder(const char* zelkRuntimeDir, const char* xdgRuntimeDir,
                                 unsigned uid) {
    if (IsSet(zelkRuntimeDir))
        return zelkRuntimeDir;
    if (IsSet(xdgRuntimeDir))
        return std::string(xdgRuntimeDir) + "/zelk";
    return "/tmp/zelk-" + std::to_string(uid);
}

std::string RuntimeFolderFromEnvironment() {
    return ResolveRuntimeFolder(std::getenv("ZELK_RUNTIME_DIR"), std::getenv("XDG_RUNTIME_DIR"),
                                static_cast<unsigned>(::geteuid()));
}

RuntimeFolderCheck PrepareRuntimeFolder(const std::string& folder) {
    if (folder.empty())
        return Problem(RuntimeFolderProblem::kCannotCreate, "\"\"", "has no name");
    if (folder.size() > kMaxRuntimeFolderLength) {
        return Problem(RuntimeFolderProblem::kPathTooLong, folder,
                       "is too long for socket addresses (" + std::to_string(folder.size()) +
                           " characters, at most " + std::to_string(kMaxRuntimeFolderLength) + ")");
    }
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0) {
        if (errno != ENOENT)
            return Problem(RuntimeFolderProblem::kCannotCreate, folder,
                           std::string("cannot be examined: ") + std::strerror(errno));
        if (::mkdir(folder.c_str(), 0700) == 0) {
            // The process's umask may have taken the owner's own bits away.
            ::chmod(folder.c_str(), 0700);
        } else if (errno != EEXIST) {
            return Problem(RuntimeFolderProblem::kCannotCreate, folder,
                           std::string("cannot be created: ") + std::strerror(errno));
        }
        if (::lstat(folder.c_str(), &info) != 0)
            return Problem(RuntimeFolderProblem::kCannotCreate, folder,
                           std::string("cannot be examined: ") + std::strerror(errno));
    }
    if (!S_ISDIR(info.st_mode))
        return Problem(
            RuntimeFolderProblem::kNotFolder, folder,
            S_ISLNK(info.st_mode) ? "is a symbolic link, not a folder" : "is not a folder");
    if (info.st_uid != ::geteuid())
        return Problem(RuntimeFolderProblem::kNotOwned, folder,
                       "belongs to user " + std::to_string(info.st_uid) + ", not to user " +
                           std::to_string(::geteuid()));
    if ((info.st_mode & 077) != 0)
        return Problem(RuntimeFolderProblem::kOpenToOthers, folder,
                       "has mode " + Octal(info.st_mode) +
                           "; it must give no permissions to group or others (chmod 700)");
    return RuntimeFolderCheck{};
}

}  // namespace zelk::posix
