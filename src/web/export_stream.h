// /export.csv: korvofw-ledger LEDGER export's bytes, read by a thread of its own through its own
// reader and handed to the connection as it sends them, a bounded buffer at a time.
#pragma once

#include "http.h"
#include "ledger.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace web {

class ExportStream : public BodySource {
  public:
    static constexpr size_t BUFFERED = 256 * 1024; // the reader waits while this much is unsent

    // Starts the thread that reads every row of `led` (opened with open_read(), owned from
    // now on) as CSV; `ended` runs on that thread when it is done with the ledger.
    static std::shared_ptr<ExportStream> start(std::unique_ptr<ledger::Ledger> led,
                                               const std::string& location,
                                               std::function<void()> ended);
    ssize_t next(char* buf, size_t max) override;
    void cancel() override;

  private:
    void run(std::unique_ptr<ledger::Ledger> led, const std::string& location);
    void put(const std::string& text);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::string buffer_;
    bool done_ = false, failed_ = false, cancelled_ = false;
};

} // namespace web
