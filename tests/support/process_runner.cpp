#include "process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace {

[[noreturn]] void exec_child(const std::vector<std::string>& argv, const ProcessOptions& options,
                             int out_fd, int err_fd) {
    dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
    dup2(out_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    for (const std::string& entry : options.env)
        putenv(const_cast<char*>(entry.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    bool ready = options.cwd.empty() || chdir(options.cwd.c_str()) == 0;
    if (ready && options.uid >= 0 && geteuid() == 0)
        ready = setgid(options.gid) == 0 && setuid(options.uid) == 0;
    if (ready)
        execv(args[0], args.data());
    _exit(127);
}

} // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
    int out_pipe[2], err_pipe[2];
    ProcessResult result;
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        return result;
    pid_t pid = fork();
    if (pid == 0)
        exec_child(argv, options, out_pipe[1], err_pipe[1]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeout_ms);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* into[2] = {&result.out, &result.err};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        ::poll(fds, 2, 50);
        for (int k = 0; k < 2; ++k) {
            char chunk[4096];
            ssize_t n = fds[k].revents != 0 ? read(fds[k].fd, chunk, sizeof chunk) : 1;
            if (n > 0 && fds[k].revents != 0)
                into[k]->append(chunk, static_cast<size_t>(n));
            if (n <= 0) { // the end: poll passes over it from now on
                close(fds[k].fd);
                fds[k].fd = -1;
            }
        }
        if (!result.stopped && options.stop_when && options.stop_when(result.out)) {
            result.stopped = true;
            kill(pid, SIGTERM);
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            deadline = std::chrono::steady_clock::time_point::max();
        }
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    result.signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
    return result;
}
