#include "process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace {

void exec_child(const std::vector<std::string>& argv, const ProcessOptions& options, int out_fd,
                int err_fd) {
    dup2(out_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, STDIN_FILENO);
    for (const std::string& entry : options.env)
        putenv(const_cast<char*>(entry.c_str()));
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
        _exit(127);
    if (options.uid >= 0 && geteuid() == 0 &&
        (setgid(options.gid) != 0 || setuid(options.uid) != 0))
        _exit(127);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

bool drain(int fd, std::string& into) {
    char chunk[4096];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0)
        into.append(chunk, static_cast<size_t>(n));
    return n > 0;
}

} // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
    int out_pipe[2], err_pipe[2];
    ProcessResult result;
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        return result;
    pid_t pid = fork();
    if (pid == 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        exec_child(argv, options, out_pipe[1], err_pipe[1]);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);

    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeout_ms);
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
        int ready = ::poll(fds, 2, 50);
        if (ready > 0) {
            if (fds[0].revents != 0)
                out_open = drain(out_pipe[0], result.out);
            if (fds[1].revents != 0)
                err_open = drain(err_pipe[0], result.err);
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
    close(out_pipe[0]);
    close(err_pipe[0]);

    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (WIFEXITED(wstatus))
        result.status = WEXITSTATUS(wstatus);
    else if (WIFSIGNALED(wstatus))
        result.signal = WTERMSIG(wstatus);
    return result;
}
