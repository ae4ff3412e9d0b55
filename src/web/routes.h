// What each address of the server answers: the pages' files, the line's texts, one device's
// history and the export. Read-only: no request reaches the ledger but through its readers.
#pragma once

#include "http.h"
#include "ledger.h"
#include "refresher.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

namespace web {

class Routes {
  public:
    static constexpr int MOST_EXPORTS = 2; // each holds a reader and a thread
    // A lookup waits this long for the one before it; a ledger that slow holds one thread
    // of the server, not every thread a device page asks from.
    static constexpr std::chrono::seconds DEVICE_WAIT{2};

    // `devices` (opened with open_read()) answers the device lookups, one at a time; each
    // export opens its own reader of `location`.
    Routes(Refresher& line, ledger::Ledger& devices, const std::string& location)
        : line_(line), devices_(devices), location_(location) {}
    Reply handle(const std::string& method, const std::string& path);
    // Until every export's thread has ended (after the server stopped, which cancels them).
    void wait_for_exports();

  private:
    Reply line_text(bool metrics);
    Reply device(const std::string& id_text);
    Reply export_csv(bool head);

    Refresher& line_;
    ledger::Ledger& devices_;
    std::timed_mutex devices_mutex_;
    const std::string location_;
    std::mutex exports_mutex_;
    std::condition_variable export_ended_;
    int exports_ = 0;
};

} // namespace web
