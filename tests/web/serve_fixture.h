// korvofw-ledger LEDGER serve as a test runs it: started on a free port, asked over plain
// sockets (every byte as sent, whatever a client library would refuse), stopped with SIGTERM.
#pragma once

#include "ledger_fixture.h"

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cstring>

// What came back: the status line's code (0: the server dropped the connection without one),
// the header lines and the body.
struct Answer {
    int status = 0;
    std::string head, body;
    // The value of a header, "" when it is not there.
    std::string header(const std::string& name) const {
        std::string lower = head, key = "\r\n" + name + ": ";
        for (std::string* s : {&lower, &key})
            for (char& c : *s)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        size_t at = lower.find(key);
        if (at == std::string::npos)
            return "";
        at += key.size();
        return head.substr(at, head.find("\r\n", at) - at);
    }
};

// A connection to the port on this host; -1 when nothing listens there and that may be.
inline int connect_to(int port, bool may_refuse = false) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET, to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        EXPECT_TRUE(may_refuse) << "connecting to port " << port << ": " << strerror(errno);
        close(fd);
        return -1;
    }
    timeval bound{20, 0}; // a server that neither answers nor drops fails the test, not hangs it
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    return fd;
}

// Reads to the end of the connection and splits the answer.
inline Answer read_answer(int fd) {
    std::string got;
    char chunk[65536];
    ssize_t n;
    while ((n = recv(fd, chunk, sizeof chunk, 0)) > 0)
        got.append(chunk, static_cast<size_t>(n));
    EXPECT_FALSE(n < 0 && errno == EAGAIN) << "neither answered nor dropped within 20 s";
    close(fd);
    Answer a;
    size_t end = got.find("\r\n\r\n");
    if (got.rfind("HTTP/1.", 0) != 0 || end == std::string::npos)
        return a;
    a.status = std::atoi(got.c_str() + 9);
    a.head = got.substr(0, end + 2), a.body = got.substr(end + 4);
    return a;
}

// Sends the bytes as they are (the server may cut them short by dropping the connection).
inline Answer send_raw(int port, const std::string& bytes, bool may_refuse = false) {
    int fd = connect_to(port, may_refuse);
    if (fd < 0)
        return Answer();
    for (size_t at = 0; at < bytes.size();) {
        ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        at += static_cast<size_t>(n);
    }
    return read_answer(fd);
}

// HTTP/1.0: the server closes the connection after its answer.
inline Answer ask(int port, const std::string& path, const std::string& method = "GET",
                  bool may_refuse = false) {
    return send_raw(port, method + " " + path + " HTTP/1.0\r\nHost: localhost\r\n\r\n", may_refuse);
}

// A port nothing listens on now, for a program that takes no port 0.
inline int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET, at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length), 0);
    close(fd);
    return ntohs(at.sin_port);
}

// Starts the program with its standard output (and error, if asked) into `out`; its pid.
inline pid_t spawn(std::vector<std::string> args, int out, bool with_errors = false) {
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out, STDOUT_FILENO);
        if (with_errors)
            dup2(out, STDERR_FILENO);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Tries `done` up to `tries` times, `pause_ms` apart, for what a server does once a second or
// so; whether it held (the caller checks what it waited for).
template <typename Done> bool eventually(Done done, int tries = 200, int pause_ms = 50) {
    for (int k = 0; k < tries; ++k, usleep(pause_ms * 1000))
        if (done())
            return true;
    return false;
}

// What promtool finds wrong with a metrics text; "" when nothing.
inline std::string promtool_errors(const std::string& metrics, const ScratchDir& scratch) {
    write_text(scratch.path("metrics.txt"), metrics);
    ProcessResult r =
        run_process({"/bin/sh", "-c", "promtool check metrics < " + scratch.path("metrics.txt")});
    return r.status == 0 ? "" : "promtool: " + r.out + r.err;
}

class Server {
  public:
    // Starts serve on the ledger; waits (bounded) for its "Serving" line and takes the port.
    explicit Server(const std::string& location,
                    std::vector<std::string> args = {"--listen", "127.0.0.1:0"}) {
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        args.insert(args.begin(), {KORVOFW_LEDGER_BIN, location, "serve"});
        pid_ = spawn(args, out[1]);
        close(out[1]);
        out_ = out[0];
        pollfd p{out_, POLLIN, 0};
        char c;
        while (said.find('\n') == std::string::npos && poll(&p, 1, 20000) == 1 &&
               read(out_, &c, 1) == 1)
            said += c;
        const size_t at = said.rfind(':');
        port = at == std::string::npos ? 0 : std::atoi(said.c_str() + at + 1);
        EXPECT_GT(port, 0) << "serve said: " << said;
    }
    ~Server() { stop(); }
    // SIGTERM (or another signal); the exit status, and the rest of what it printed in `said`.
    int stop(int signal = SIGTERM) {
        if (pid_ <= 0)
            return status_;
        kill(pid_, signal);
        char chunk[256];
        ssize_t n;
        while ((n = read(out_, chunk, sizeof chunk)) > 0)
            said.append(chunk, static_cast<size_t>(n));
        close(out_);
        int wstatus = 0;
        waitpid(pid_, &wstatus, 0);
        pid_ = -1;
        status_ = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
        return status_;
    }
    std::string said;
    int port = 0;

  private:
    pid_t pid_ = -1;
    int out_ = -1, status_ = -1;
};

const std::string HTML_NAME = "<script>alert(1)</script>";
const std::string QUOTED_NAME = "st \"q\"\nx";
const std::string COMMIT = "0123456789abcdef0123456789abcdef01234567";

// A ledger that real stations wrote, served.
class Serve : public LedgerTest {
  protected:
    // Two stations on the bench: HTML in one's name, a quote and a newline in the other's; one
    // device of the first fails its flash verification; the second tests its device.
    void make_line() {
        ProcessResult a = play("a", "device 1 1\nwait\ndevice 1 2 fault=stuck\nwait\ndevice 1 3\n",
                               station(HTML_NAME, "a.bin", "10"));
        ASSERT_EQ(a.status, 0) << a.err;
        std::vector<std::string> tested = station(QUOTED_NAME, "b.bin", "40");
        tested.insert(tested.end(), {"--after", "echo fw=1.2"});
        ProcessResult b = play("b", "device 2 1\n", tested);
        ASSERT_EQ(b.status, 0) << b.err;
        ASSERT_EQ(rows().size(), 4u);
    }
    std::vector<std::string> station(const std::string& name, const char* image, const char* from) {
        return {"-f", "fw.hex", "-e",   image, "-I",   from,       "-r",     "0x8700",    "-s",
                "5",  "-v",     COMMIT, "-t",  "0102", "--ledger", location, "--station", name};
    }
    // Every row and the schema, as the database's own dump tool writes them.
    std::string dump() const {
        ProcessResult r =
            run_process(GetParam() == POSTGRES
                            ? std::vector<std::string>{"/usr/bin/pg_dump", "--no-owner",
                                                       "--restrict-key=korvofw", "-d", location}
                            : std::vector<std::string>{"/usr/bin/sqlite3", location, ".dump"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(has(r.out, "CREATE TABLE")) << r.out;
        return r.out;
    }
};
