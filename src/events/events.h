// The event stream (--events): one JSON object per line, written and flushed as it happens, for
// the tools around the station (a test framework, a label printer, the factory's MES).
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace events {

// Changes only when a field changes meaning or goes away; new types and fields keep it.
constexpr int VERSION = 1;

class EventStream {
  public:
    EventStream() = default;
    EventStream(const EventStream&) = delete;
    EventStream& operator=(const EventStream&) = delete;
    ~EventStream();

    // The station's name and its port, in every event (empty: written as null).
    std::string station;
    std::string port;

    // A file, appended to (created when missing), or "fd:N", a descriptor the station was
    // started with. 0, or -1 after saying on stderr why.
    int open(const std::string& path);
    // Opens the file again under its name (logrotate moved it); a descriptor stays as it is.
    // A file that cannot be opened again drops the stream, after saying why.
    void reopen();
    bool active() const { return fd_ >= 0; }
    // Adds "v", "type", "time" (UTC ms), "station" and "port" to fields and writes the line.
    // A failed write is reported once on stderr and the stream dropped: the station goes on.
    void emit(const std::string& type, nlohmann::json fields);

  private:
    std::string path_;
    int fd_ = -1;
    bool owned_ = false; // opened here, so closed here

    void drop(const char* what, int cause);
};

// SIGHUP asks the stream to open its file again before its next line (logrotate's
// postrotate); SIGPIPE is ignored, so that a reader that went away costs only the stream.
void catch_hangup();

} // namespace events
