#pragma once

// Starts the built worker and speaker tool as child processes with their own environment, and
// waits for them with a deadline (a pidfd, so nothing polls in a loop).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace zelk::tools::testing {

inline std::string ReadFile(const std::string& path) {
    std::stringstream content;
    content << std::ifstream(path).rdbuf();
    return content.str();
}

class Child {
  public:
    // env: variables to set ("" removes one) on top of this process's environment. The child's
    // output goes to outputBase + ".out" and ".err", and it runs in outputBase's folder, where
    // whatever it writes into its current directory stays with the test.
    Child(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
          const std::string& outputBase)
        : out_(outputBase + ".out"), err_(outputBase + ".err") {
        const std::string directory = outputBase.substr(0, outputBase.rfind('/') + 1);
        std::map<std::string, std::string> merged;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const size_t equals = entry.find('=');
            if (equals != std::string::npos)
                merged[entry.substr(0, equals)] = entry.substr(equals + 1);
        }
        for (const auto& [name, value] : env) {
            if (value.empty())
                merged.erase(name);
            else
                merged[name] = value;
        }
        std::vector<std::string> envText;
        for (const auto& [name, value] : merged)
            envText.push_back(name + "=" + value);

        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        std::vector<char*> envs;
        for (const std::string& e : envText)
            envs.push_back(const_cast<char*>(e.c_str()));
        envs.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envs.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (pid_ > 0)
            pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    }

    ~Child() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            int status;
            ::waitpid(pid_, &status, 0);
        }
        if (pidfd_ >= 0)
            ::close(pidfd_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0 && pidfd_ >= 0; }
    void Signal(int signal) { ::kill(pid_, signal); }

    // The exit code, or -1 when the child did not end within timeoutMs (or ended by a signal:
    // then 128 + the signal).
    int Wait(int timeoutMs = 30000) {
        if (reaped_)
            return exitCode_;
        pollfd wait{pidfd_, POLLIN, 0};
        if (::poll(&wait, 1, timeoutMs) != 1)
            return -1;
        int status = 0;
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return exitCode_;
    }

    std::string out() const { return ReadFile(out_); }
    std::string err() const { return ReadFile(err_); }

  private:
    std::string out_;
    std::string err_;
    pid_t pid_ = -1;
    int pidfd_ = -1;
    bool reaped_ = false;
    int exitCode_ = -1;
};

// Waits until ready() holds, looking again whenever something is created in folder (inotify, no
// polling loop); false after timeoutMs without it.
template <typename Ready>
bool WaitInFolder(const std::string& folder, Ready ready, int timeoutMs) {
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch < 0)
        return false;
    ::inotify_add_watch(watch, folder.c_str(), IN_CREATE | IN_MOVED_TO);
    bool done = ready();
    while (!done) {
        pollfd wait{watch, POLLIN, 0};
        if (::poll(&wait, 1, timeoutMs) != 1)
            break;
        alignas(inotify_event) char events[4096];
        while (::read(watch, events, sizeof events) > 0) {
        }
        done = ready();
    }
    ::close(watch);
    return done;
}

}  // namespace zelk::tools::testing
