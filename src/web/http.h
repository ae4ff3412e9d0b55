// The HTTP server: libmicrohttpd's daemon behind one small interface. A handler turns each
// request into a reply; this unit adds the headers every reply carries and enforces the limits.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

struct MHD_Daemon;

namespace web {

// A reply's body that is produced while it is sent (the export): never all in memory.
class BodySource {
  public:
    virtual ~BodySource() = default;
    // Up to `max` bytes into `buf`: their count; 0 at the end; -1 when the body cannot be
    // completed (the connection is then closed, so the client sees it cut short).
    virtual ssize_t next(char* buf, size_t max) = 0;
    // The client is gone or the server stops: no more bytes are wanted.
    virtual void cancel() = 0;
};

struct Header {
    std::string name, value;
};

struct Reply {
    int status = 200;
    std::string content_type;
    std::string body;
    std::vector<Header> headers;
    std::shared_ptr<BodySource> stream; // when set, the body comes from it instead
};

// The request's method and its path as sent: not decoded, without the query.
using Handler = std::function<Reply(const std::string& method, const std::string& path)>;

// Limits that keep one client from starving the others.
struct Limits {
    size_t memory_per_connection = 32 * 1024; // the request line and headers must fit
    unsigned connections = 256;
    unsigned connections_per_ip = 64;
    unsigned timeout_s = 10; // an idle or half-sent request is dropped after this
    unsigned threads = 4;
};

class HttpServer {
  public:
    HttpServer() = default;
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;
    // Serves on the bound, listening socket (which it then owns). 0, or -1 with `error` set.
    int start(int listen_fd, Handler handler, const Limits& limits, std::string& error);
    // Closes the socket and every connection; ends the replies' streams.
    void stop();

  private:
    MHD_Daemon* daemon_ = nullptr;
    Handler handler_;
};

} // namespace web
