#include "serve.h"

#include "http.h"
#include "refresher.h"
#include "routes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

namespace web {

namespace {

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int PORT_LAST = 65535;
constexpr int DECIMAL = 10;
const char* const DEFAULT_LISTEN = "127.0.0.1:8080";

// The address to listen on, as given: 127.0.0.1:8080, 0.0.0.0:8080, [::1]:8080. Port 0 takes
// any free port (the "Serving" line names it).
struct Listen {
    sockaddr_storage address{};
    socklen_t length = 0;
    std::string host; // as shown in the URL: 127.0.0.1 or [::1]
};

bool parse_port(const std::string& text, in_port_t& port) {
    if (text.empty() || text.size() > 5)
        return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * DECIMAL + (c - '0');
    }
    if (value > PORT_LAST)
        return false;
    port = htons(static_cast<uint16_t>(value));
    return true;
}

bool parse_listen(const std::string& text, Listen& out) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    std::string host = text.substr(0, colon);
    in_port_t port = 0;
    if (!parse_port(text.substr(colon + 1), port))
        return false;
    out.host = host;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&out.address);
        in6->sin6_family = AF_INET6, in6->sin6_port = port, out.length = sizeof *in6;
        return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &in6->sin6_addr) == 1;
    }
    auto* in4 = reinterpret_cast<sockaddr_in*>(&out.address);
    in4->sin_family = AF_INET, in4->sin_port = port, out.length = sizeof *in4;
    return inet_pton(AF_INET, host.c_str(), &in4->sin_addr) == 1;
}

int port_of(const sockaddr_storage& address) {
    return ntohs(address.ss_family == AF_INET6
                     ? reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port
                     : reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

// The listening socket, its port filled in; -1 with `error` naming the address and the fix.
int bind_listen(Listen& listen_on, const std::string& given, std::string& error) {
    int fd = socket(listen_on.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int on = 1;
    // A server stopped a moment ago leaves connections in TIME_WAIT: they must not keep its
    // successor off the port (Linux still refuses a second listener).
    if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
        bind(fd, reinterpret_cast<sockaddr*>(&listen_on.address), listen_on.length) == 0 &&
        listen(fd, SOMAXCONN) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&listen_on.address), &listen_on.length) == 0)
        return fd;
    const int cause = errno;
    if (fd >= 0)
        close(fd);
    error = "cannot listen at " + given + ": ";
    if (cause == EADDRINUSE)
        error += "another program listens there; pick another port with --listen (such as "
                 "--listen " +
                 listen_on.host + ":8081)";
    else if (cause == EADDRNOTAVAIL)
        error += "no network interface of this host has that address; give one of its "
                 "addresses with --listen, or 127.0.0.1";
    else if (cause == EACCES)
        error += "a port below 1024 needs privileges; pick a port from 1024 up with --listen";
    else
        error += std::strerror(cause);
    return -1;
}

int open_reader(const std::string& location, std::unique_ptr<ledger::Ledger>& led) {
    led = ledger::make_ledger(location, "", "");
    std::string error;
    if (led->open_read(error) == 0)
        return 0;
    std::cerr << "korvofw-ledger: " << error << std::endl;
    return -1;
}

} // namespace

int serve(const std::string& location, const std::vector<std::string>& args) {
    std::string given = DEFAULT_LISTEN;
    if (args.size() == 2 && args[0] == "--listen")
        given = args[1];
    else if (!args.empty()) {
        std::cerr << "korvofw-ledger: serve takes only --listen ADDR:PORT\n";
        return EXIT_USAGE;
    }
    Listen listen_on;
    if (!parse_listen(given, listen_on)) {
        std::cerr << "korvofw-ledger: invalid --listen \"" << given
                  << "\" (give a numeric address and a port, such as 127.0.0.1:8080, "
                     "0.0.0.0:8080 or [::1]:8080)\n";
        return EXIT_USAGE;
    }
    // One reader for the line's texts, one for the device lookups.
    std::unique_ptr<ledger::Ledger> line_reader, device_reader;
    if (open_reader(location, line_reader) != 0 || open_reader(location, device_reader) != 0)
        return EXIT_FAILED;
    std::string error;
    const int fd = bind_listen(listen_on, given, error);
    if (fd < 0) {
        std::cerr << "korvofw-ledger: " << error << std::endl;
        return EXIT_FAILED;
    }
    // Every thread started from here on leaves SIGINT and SIGTERM to sigwait() below; a client
    // that goes away mid-reply is an error of that write, not the end of the server.
    signal(SIGPIPE, SIG_IGN);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    Refresher line(*line_reader);
    Routes routes(line, *device_reader, location);
    HttpServer server;
    line.start();
    auto handle = [&routes](const std::string& method, const std::string& path) {
        return routes.handle(method, path);
    };
    if (server.start(fd, handle, Limits(), error) != 0) {
        close(fd);
        std::cerr << "korvofw-ledger: " << error << std::endl;
        return EXIT_FAILED;
    }
    std::cout << "Serving " << ledger::shown_location(location) << " at http://" << listen_on.host
              << ":" << port_of(listen_on.address) << "/" << std::endl;
    int caught = 0;
    while (sigwait(&stop_signals, &caught) != 0) {
    }
    server.stop();
    line.stop();
    routes.wait_for_exports();
    std::cout << "Stopped." << std::endl;
    return 0;
}

} // namespace web
