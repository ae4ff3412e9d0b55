#include "events.h"

#include "write_all.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace events {

namespace {

constexpr char FD_PREFIX[] = "fd:";
constexpr size_t FD_PREFIX_LENGTH = sizeof FD_PREFIX - 1;

volatile sig_atomic_t hangup_seen = 0;

void note_hangup(int) {
    hangup_seen = 1;
}

int64_t utc_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// "fd:N" names an open descriptor: N, or -1.
int inherited_fd(const std::string& path) {
    const char* digits = path.c_str() + FD_PREFIX_LENGTH;
    if (*digits < '0' || *digits > '9')
        return -1;
    errno = 0;
    char* end = nullptr;
    long fd = std::strtol(digits, &end, 10);
    if (*end != '\0' || errno != 0 || fd > INT32_MAX || fcntl(static_cast<int>(fd), F_GETFD) < 0)
        return -1;
    return static_cast<int>(fd);
}

int open_file(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

} // namespace

EventStream::~EventStream() {
    if (owned_ && fd_ >= 0)
        ::close(fd_);
}

int EventStream::open(const std::string& path) {
    path_ = path;
    if (path.compare(0, FD_PREFIX_LENGTH, FD_PREFIX) == 0) {
        fd_ = inherited_fd(path);
        if (fd_ < 0) {
            std::cerr << "--events " << path
                      << ": no such open descriptor; give fd:N with a descriptor the station is "
                         "started with, or a file"
                      << std::endl;
            return -1;
        }
        owned_ = false;
        return 0;
    }
    fd_ = path.empty() ? -1 : open_file(path);
    if (fd_ < 0) {
        std::cerr << "Cannot open the event file " << path
                  << " for --events: " << (path.empty() ? "no name given" : std::strerror(errno))
                  << "; give a file in a directory the station may write" << std::endl;
        return -1;
    }
    owned_ = true;
    return 0;
}

void EventStream::reopen() {
    if (!owned_ || fd_ < 0)
        return;
    int fd = open_file(path_);
    if (fd < 0) {
        drop("open again", errno);
        return;
    }
    ::close(fd_);
    fd_ = fd;
}

void EventStream::drop(const char* what, int cause) {
    std::cerr << "Cannot " << what << " the event stream " << path_ << ": " << std::strerror(cause)
              << "; no more events are written until the station is started again" << std::endl;
    if (owned_)
        ::close(fd_);
    fd_ = -1;
}

void EventStream::emit(const std::string& type, nlohmann::json fields) {
    if (hangup_seen != 0) {
        hangup_seen = 0;
        reopen();
    }
    if (fd_ < 0)
        return;
    // The envelope first, so that a person reading the file sees what each line is.
    nlohmann::ordered_json event;
    event["v"] = VERSION;
    event["type"] = type;
    event["time"] = utc_ms();
    event["station"] = station.empty() ? nlohmann::json() : nlohmann::json(station);
    event["port"] = port.empty() ? nlohmann::json() : nlohmann::json(port);
    if (fields.is_object())
        for (auto& field : fields.items())
            event[field.key()] = std::move(field.value());
    // Text that is no UTF-8 (a file name, a server's message) is replaced, never refused.
    std::string line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    line += '\n';
    if (!write_all(fd_, line.data(), line.size()))
        drop("write to", errno);
}

void catch_hangup() {
    struct sigaction action {};
    action.sa_handler = note_hangup;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

} // namespace events
