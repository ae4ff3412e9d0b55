#include "http.h"

#include <microhttpd.h>

#include <cstring>

namespace web {

namespace {

constexpr size_t STREAM_BLOCK = 64 * 1024;

// Headers on every reply: nothing is sniffed into another type, nothing is framed, loaded or
// run but our own files, and no address leaks to other sites.
const Header SECURITY_HEADERS[] = {
    {"X-Content-Type-Options", "nosniff"},
    {"Content-Security-Policy", "default-src 'self'; img-src 'self' data:; style-src 'self'; "
                                "script-src 'self'; frame-ancestors 'none'"},
    {"Referrer-Policy", "no-referrer"},
};

// The path reaches the handler as sent: a %-escape is then simply no route's, so no decoded
// '/', '.' or NUL can make a path that no one checked.
size_t keep_escapes(void*, MHD_Connection*, char* text) {
    return std::strlen(text);
}

ssize_t read_stream(void* cls, uint64_t, char* buf, size_t max) {
    ssize_t n = (*static_cast<std::shared_ptr<BodySource>*>(cls))->next(buf, max);
    if (n < 0)
        return MHD_CONTENT_READER_END_WITH_ERROR;
    return n == 0 ? MHD_CONTENT_READER_END_OF_STREAM : n;
}

void free_stream(void* cls) {
    auto* source = static_cast<std::shared_ptr<BodySource>*>(cls);
    (*source)->cancel();
    delete source;
}

MHD_Response* make_response(Reply& reply) {
    if (!reply.stream)
        return MHD_create_response_from_buffer(reply.body.size(), reply.body.data(),
                                               MHD_RESPMEM_MUST_COPY);
    auto* source = new std::shared_ptr<BodySource>(reply.stream);
    MHD_Response* response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, STREAM_BLOCK,
                                                               read_stream, source, free_stream);
    if (response == nullptr)
        free_stream(source);
    return response;
}

MHD_Result answer(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t* upload_size, void** request_state) {
    // The first call comes with the headers alone: a reply queued then closes the connection
    // after it. GET and HEAD are answered at the next call, keeping the connection; the other
    // methods, which no route takes, at once, their bodies never read.
    static int headers_seen;
    const bool reads = std::strcmp(method, "GET") == 0 || std::strcmp(method, "HEAD") == 0;
    if (*request_state == nullptr && reads) {
        *request_state = &headers_seen;
        return MHD_YES;
    }
    if (*upload_size != 0) {
        *upload_size = 0;
        return MHD_YES;
    }
    Reply reply = (*static_cast<Handler*>(cls))(method, url);
    MHD_Response* response = make_response(reply);
    if (response == nullptr)
        return MHD_NO;
    if (!reply.content_type.empty())
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.content_type.c_str());
    for (const Header& h : SECURITY_HEADERS)
        MHD_add_response_header(response, h.name.c_str(), h.value.c_str());
    for (const Header& h : reply.headers)
        MHD_add_response_header(response, h.name.c_str(), h.value.c_str());
    MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
    MHD_destroy_response(response);
    return queued;
}

} // namespace

HttpServer::~HttpServer() {
    stop();
}

int HttpServer::start(int listen_fd, Handler handler, const Limits& limits, std::string& error) {
    handler_ = std::move(handler);
    // A thread pool on epoll: one slow client holds a connection, never a thread's others.
    daemon_ = MHD_start_daemon(
        MHD_USE_EPOLL_INTERNAL_THREAD, 0, nullptr, nullptr, answer, &handler_,
        MHD_OPTION_LISTEN_SOCKET, listen_fd, MHD_OPTION_THREAD_POOL_SIZE, limits.threads,
        MHD_OPTION_CONNECTION_LIMIT, limits.connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        limits.connections_per_ip, MHD_OPTION_CONNECTION_TIMEOUT, limits.timeout_s,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits.memory_per_connection,
        MHD_OPTION_UNESCAPE_CALLBACK, keep_escapes, nullptr, MHD_OPTION_END);
    if (daemon_ == nullptr) {
        error = "the HTTP server did not start (libmicrohttpd refused its settings)";
        return -1;
    }
    return 0;
}

void HttpServer::stop() {
    if (daemon_ != nullptr)
        MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}

} // namespace web
