#pragma once

// The runtime folder holds the sockets of the message channel and the windows' control state.
// It is $ZELK_RUNTIME_DIR if set, else $XDG_RUNTIME_DIR/zelk, else /tmp/zelk-<uid>. It must be a
// folder (not a link to one) owned by the user with no group or other permissions; it is created
// with mode 0700 when missing.

#include <cstddef>
#include <string>

namespace zelk::posix {

// Longest window title; socket paths are <folder>/<title>.
inline constexpr size_t kMaxTitleLength = 64;
// Longest folder path that leaves room for every title in a socket address.
inline constexpr size_t kMaxRuntimeFolderLength = 107 - 1 - kMaxTitleLength;

// The folder named by the two variables' values (null or empty when unset) for user uid.
std::string ResolveRuntimeFolder(const char* zelkRuntimeDir, const char* xdgRuntimeDir,
                                 unsigned uid);
// The same, from this process's environment and effective user.
std::string RuntimeFolderFromEnvironment();

enum class RuntimeFolderProblem {
    kNone,
    kPathTooLong,
    kCannotCreate,  // missing and could not be made (its parent is missing, for one)
    kNotFolder,     // a file, socket or symbolic link stands there
    kNotOwned,      // owned by another user
    kOpenToOthers,  // group or other permissions set
};

struct RuntimeFolderCheck {
    RuntimeFolderProblem problem = RuntimeFolderProblem::kNone;
    std::string message;  // what is wrong, for the user; empty when nothing is

    bool ok() const { return problem == RuntimeFolderProblem::kNone; }
};

// Creates the folder with mode 0700 when it is missing and checks that it is safe to use.
RuntimeFolderCheck PrepareRuntimeFolder(const std::string& folder);

}  // namespace zelk::posix
