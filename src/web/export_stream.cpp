#include "export_stream.h"

#include <cstring>
#include <iostream>
#include <thread>

namespace web {

std::shared_ptr<ExportStream> ExportStream::start(std::unique_ptr<ledger::Ledger> led,
                                                  const std::string& location,
                                                  std::function<void()> ended) {
    std::shared_ptr<ExportStream> stream = std::make_shared<ExportStream>();
    // The thread holds the stream too, so it lives on when the connection lets it go.
    std::thread(
        [stream, location, ended](std::unique_ptr<ledger::Ledger> reader) {
            stream->run(std::move(reader), location);
            ended();
        },
        std::move(led))
        .detach();
    return stream;
}

void ExportStream::put(const std::string& text) {
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait(hold, [&] { return cancelled_ || buffer_.size() < BUFFERED; });
    if (!cancelled_)
        buffer_ += text;
    changed_.notify_all();
}

void ExportStream::run(std::unique_ptr<ledger::Ledger> led, const std::string& location) {
    put(ledger::csv_header());
    std::string error;
    const int read = led->rows(
        ledger::ALL_ROWS, 0, [this](const ledger::AttemptRow& r) { put(ledger::csv_line(r)); },
        error);
    led.reset();
    if (read != 0)
        std::cerr << "korvofw-ledger: the export of " << ledger::shown_location(location)
                  << " stopped, the client got it cut short: " << error << std::endl;
    std::lock_guard<std::mutex> hold(mutex_);
    done_ = true, failed_ = read != 0;
    changed_.notify_all();
}

ssize_t ExportStream::next(char* buf, size_t max) {
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait(hold, [&] { return done_ || !buffer_.empty(); });
    if (buffer_.empty())
        return failed_ ? -1 : 0;
    const size_t n = std::min(max, buffer_.size());
    std::memcpy(buf, buffer_.data(), n);
    buffer_.erase(0, n);
    changed_.notify_all();
    return static_cast<ssize_t>(n);
}

void ExportStream::cancel() {
    std::lock_guard<std::mutex> hold(mutex_);
    cancelled_ = true;
    buffer_.clear();
    changed_.notify_all();
}

} // namespace web
