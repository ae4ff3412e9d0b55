#include "hook.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <ostream>

extern char** environ;

namespace hook {
namespace {

constexpr int MS_PER_SECOND = 1000;
// Where the kernel has no pidfd, how often the command's end is looked for between its output.
constexpr int EXIT_CHECK_MS = 20;
constexpr int ALIVE_EVERY_MS = 1000;
constexpr size_t READ_CHUNK = 4096;
constexpr int EXEC_FAILED = 127; // as the shell reports a command it could not run
// Reset in the command: the station ignores or catches these, the command should not.
constexpr int DEFAULT_SIGNALS[] = {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT};

int64_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * MS_PER_SECOND + now.tv_nsec / 1000000;
}

// The station's environment with `env` put in: a name `env` sets is taken from it alone.
std::vector<std::string> merged_environment(const std::vector<std::string>& env) {
    std::vector<std::string> all;
    for (char** var = environ; var != nullptr && *var != nullptr; ++var) {
        std::string name = std::string(*var).substr(0, std::string(*var).find('=') + 1);
        bool replaced = false;
        for (const std::string& set : env)
            replaced = replaced || set.compare(0, name.size(), name) == 0;
        if (!replaced)
            all.push_back(*var);
    }
    all.insert(all.end(), env.begin(), env.end());
    return all;
}

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void exec_command(char* const* argv, char* const* envp, int out_fd, int err_fd) {
    setpgid(0, 0);
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd < 0 || dup2(null_fd, STDIN_FILENO) < 0 || dup2(out_fd, STDOUT_FILENO) < 0 ||
        dup2(err_fd, STDERR_FILENO) < 0)
        _exit(EXEC_FAILED);
    // None of the station's descriptors (USB, udev, ledger, event stream) reach the command.
    long max_fd = sysconf(_SC_OPEN_MAX);
    if (syscall(SYS_close_range, 3U, ~0U, 0U) != 0)
        for (long fd = 3; fd < (max_fd > 0 ? max_fd : 1024); ++fd)
            close(static_cast<int>(fd));
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signo : DEFAULT_SIGNALS)
        sigaction(signo, &action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve("/bin/sh", argv, envp);
    _exit(EXEC_FAILED);
}

// One of the command's output pipes, read into whole lines; a line longer than MAX_LINE_BYTES
// keeps its first bytes and counts the rest, so that no output costs unbounded memory.
struct Stream {
    int fd = -1;
    bool results = false; // standard output: key=value lines are results
    std::ostream* shown = nullptr;
    std::string line;
    size_t cut = 0;
};

void end_line(Stream& s, Outcome& outcome) {
    std::string key, value;
    if (s.results && parse_result(s.line, key, value)) {
        if (s.cut > 0)
            ++outcome.dropped_long;
        else if (outcome.results.size() >= MAX_RESULTS)
            ++outcome.dropped_many;
        else
            outcome.results.emplace_back(key, value);
    } else {
        *s.shown << PREFIX << s.line;
        if (s.cut > 0)
            *s.shown << " [" << s.cut << " more bytes not shown]";
        *s.shown << std::endl;
    }
    s.line.clear();
    s.cut = 0;
}

void close_stream(Stream& s, Outcome& outcome) {
    if (!s.line.empty() || s.cut > 0)
        end_line(s, outcome);
    close(s.fd);
    s.fd = -1;
}

// Reads what the pipe holds now: 1 when it may hold more, 0 at its end (or a read error: it
// is closed, a last line ended), -1 when it holds nothing now.
int read_some(Stream& s, Outcome& outcome) {
    char chunk[READ_CHUNK];
    ssize_t n = read(s.fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
        return 1;
    if (n < 0 && errno == EAGAIN)
        return -1;
    if (n <= 0) {
        close_stream(s, outcome);
        return 0;
    }
    for (ssize_t i = 0; i < n; ++i) {
        if (chunk[i] == '\n')
            end_line(s, outcome);
        else if (s.line.size() < MAX_LINE_BYTES)
            s.line += chunk[i];
        else
            ++s.cut;
    }
    return 1;
}

// What the pipe still holds once the command ended; a process that left its group may hold
// the pipe open: that is not waited for.
void drain(Stream& s, Outcome& outcome) {
    if (s.fd < 0)
        return;
    fcntl(s.fd, F_SETFL, O_NONBLOCK);
    while (read_some(s, outcome) == 1) {
    }
    if (s.fd >= 0)
        close_stream(s, outcome);
}

void close_pipe(int fds[2]) {
    for (int k = 0; k < 2; ++k)
        if (fds[k] >= 0)
            close(fds[k]);
}

} // namespace

bool parse_result(const std::string& line, std::string& key, std::string& value) {
    size_t eq = line.find('=');
    if (eq == 0 || eq == std::string::npos)
        return false;
    for (size_t i = 0; i < eq; ++i) {
        char c = line[i];
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '.' || c == '-';
        if (!ok)
            return false;
    }
    key = line.substr(0, eq);
    value = line.substr(eq + 1);
    return true;
}

int run(const std::string& command, const std::vector<std::string>& env, int timeout_s,
        std::ostream& out, std::ostream& err, Outcome& outcome,
        const std::function<void()>& alive) {
    outcome = Outcome();
    int out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        outcome.why = std::string("no pipe for its output: ") + std::strerror(errno);
        close_pipe(out_pipe);
        return -1;
    }
    std::vector<std::string> vars = merged_environment(env);
    std::vector<char*> envp;
    for (std::string& var : vars)
        envp.push_back(&var[0]);
    envp.push_back(nullptr);
    std::string sh = "sh", dash_c = "-c", text = command;
    char* argv[] = {&sh[0], &dash_c[0], &text[0], nullptr};

    const int64_t start = monotonic_ms(), deadline = start + int64_t(timeout_s) * MS_PER_SECOND;
    pid_t pid = fork();
    if (pid == 0)
        exec_command(argv, envp.data(), out_pipe[1], err_pipe[1]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (pid < 0) {
        outcome.why = std::string("cannot start a process: ") + std::strerror(errno);
        close(out_pipe[0]);
        close(err_pipe[0]);
        return -1;
    }
    setpgid(pid, pid); // the child does so too: whichever runs first, the group exists at once
    Stream streams[2];
    streams[0].fd = out_pipe[0], streams[0].results = true, streams[0].shown = &out;
    streams[1].fd = err_pipe[0], streams[1].shown = &err;
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));

    int wstatus = 0;
    bool exited = false, timed_out = false;
    for (;;) {
        if (!exited && waitpid(pid, &wstatus, WNOHANG) == pid) {
            exited = true;
            kill(-pid, SIGKILL); // what it left running in its group
        }
        if (exited && streams[0].fd < 0 && streams[1].fd < 0)
            break;
        int64_t left = deadline - monotonic_ms();
        if (left <= 0)
            break;
        pollfd fds[3];
        nfds_t count = 0;
        for (const Stream& s : streams)
            if (s.fd >= 0)
                fds[count++] = {s.fd, POLLIN, 0};
        if (alive)
            alive();
        int wait_ms = static_cast<int>(std::min<int64_t>(left, ALIVE_EVERY_MS));
        if (!exited && pidfd >= 0)
            fds[count++] = {pidfd, POLLIN, 0};
        else if (!exited && wait_ms > EXIT_CHECK_MS)
            wait_ms = EXIT_CHECK_MS;
        if (poll(fds, count, wait_ms) <= 0)
            continue; // a signal (a stop waits for the command) or the time passed
        for (Stream& s : streams)
            for (nfds_t k = 0; k < count; ++k)
                if (s.fd >= 0 && fds[k].fd == s.fd && fds[k].revents != 0)
                    read_some(s, outcome);
    }
    if (!exited) {
        timed_out = true;
        kill(-pid, SIGKILL);
        while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
        }
    }
    for (Stream& s : streams)
        drain(s, outcome);
    if (pidfd >= 0)
        close(pidfd);
    outcome.ms = monotonic_ms() - start;
    if (timed_out)
        outcome.status = TIMED_OUT;
    else if (WIFSIGNALED(wstatus))
        outcome.status = SIGNALLED, outcome.code = WTERMSIG(wstatus);
    else
        outcome.code = WEXITSTATUS(wstatus), outcome.status = outcome.code == 0 ? PASSED : EXITED;
    return 0;
}

std::string status_text(const Outcome& outcome, int timeout_s) {
    switch (outcome.status) {
    case PASSED:
        return "passed";
    case EXITED:
        return "exit status " + std::to_string(outcome.code);
    case SIGNALLED:
        return "signal " + std::to_string(outcome.code);
    case TIMED_OUT:
        return "time limit of " + std::to_string(timeout_s) + " s";
    default:
        return "not started: " + outcome.why;
    }
}

} // namespace hook
